// The one UTF-8/UTF-16 codec of the project: the code-page conversions (win32), the
// data-access stand-in (ado), the XML reader and the command-line tool all decode and encode
// through it.
//
// Header only and free of any other part of the project (standard headers alone), so that the
// tool, which sees the library through its public interface only, can use it too. Nothing here
// allocates except the whole-text helpers at the end; nothing fails except by its result.
//
// Rules (those of the Unicode standard): a well-formed UTF-8 character is the shortest form of
// a code point up to U+10FFFF that is not a surrogate. A malformed one is replaced by U+FFFD;
// DecodeUtf8 tells the caller how many bytes the malformed part spans (the lead byte and the
// continuation bytes that were valid so far, its "maximal subpart"), and the caller decides
// whether one U+FFFD stands for that span or for each byte. In UTF-16 a surrogate that is not
// part of a pair has no code point; encoders write U+FFFD for it.
#ifndef ZEMA_PLATFORM_UTF_UTF_H
#define ZEMA_PLATFORM_UTF_UTF_H

#include <stddef.h>

#include <string>
#include <string_view>

namespace platform {
namespace utf {

constexpr char32_t kReplacement = 0xFFFD;

constexpr bool IsHighSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool IsLowSurrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
constexpr bool IsSurrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// Decodes the UTF-8 character that begins s[0] (n >= 1 bytes available). True for a
// well-formed one: *codePoint is its code point and *length its bytes (1 to 4). False for a
// malformed one: *length is its maximal subpart (1 to 3 bytes) and *codePoint is U+FFFD.
inline bool DecodeUtf8(const unsigned char* s, size_t n, char32_t* codePoint, size_t* length) {
  const unsigned char lead = s[0];
  *length = 1;
  if (lead < 0x80) {
    *codePoint = lead;
    return true;
  }
  size_t expected = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  char32_t value = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    expected = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    expected = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    expected = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  }
  *codePoint = kReplacement;
  if (expected == 0) return false;
  size_t taken = 1;
  while (taken < expected && taken < n) {
    const unsigned char next = s[taken];
    if (next < (taken == 1 ? low : 0x80) || next > (taken == 1 ? high : 0xBF)) break;
    value = (value << 6) | (next & 0x3F);
    ++taken;
  }
  *length = taken;
  if (taken != expected) return false;
  *codePoint = value;
  return true;
}

// Writes the UTF-8 form of a code point (up to U+10FFFF; a surrogate is written as U+FFFD)
// into bytes[0..4) and returns its length, 1 to 4.
inline size_t EncodeUtf8(char32_t codePoint, char* bytes) {
  if (IsSurrogate(codePoint) || codePoint > 0x10FFFF) codePoint = kReplacement;
  if (codePoint < 0x80) {
    bytes[0] = static_cast<char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (codePoint >> 6));
    bytes[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    bytes[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (codePoint >> 18));
  bytes[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
  return 4;
}

// Writes the UTF-16 form of a code point (up to U+10FFFF) into units[0..2) and returns its
// length, 1 or 2.
inline size_t EncodeUtf16(char32_t codePoint, char16_t* units) {
  if (codePoint < 0x10000) {
    units[0] = static_cast<char16_t>(codePoint);
    return 1;
  }
  codePoint -= 0x10000;
  units[0] = static_cast<char16_t>(0xD800 + (codePoint >> 10));
  units[1] = static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF));
  return 2;
}

// Decodes the UTF-16 character that begins w[0] (n >= 1 units available). True with its code
// point and *length (1, or 2 for a surrogate pair); false for a surrogate that is not part of a
// pair: *length 1, *codePoint U+FFFD.
inline bool DecodeUtf16(const char16_t* w, size_t n, char32_t* codePoint, size_t* length) {
  const char32_t unit = w[0];
  *length = 1;
  if (!IsSurrogate(unit)) {
    *codePoint = unit;
    return true;
  }
  if (IsHighSurrogate(unit) && n >= 2 && IsLowSurrogate(w[1])) {
    *codePoint = 0x10000 + ((unit - 0xD800) << 10) + (w[1] - 0xDC00);
    *length = 2;
    return true;
  }
  *codePoint = kReplacement;
  return false;
}

// How a whole-text decoder replaces a malformed UTF-8 character: one U+FFFD for its maximal
// subpart (as the platform's code-page conversion does), or one for each of its bytes.
enum class Malformed { kOnePerSubpart, kOnePerByte };

// UTF-8 text as UTF-16; malformed characters replaced as asked.
inline std::u16string Utf8ToUtf16(std::string_view text,
                                  Malformed malformed = Malformed::kOnePerSubpart) {
  std::u16string wide;
  wide.reserve(text.size());
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t i = 0;
  while (i < text.size()) {
    if (bytes[i] < 0x80) {
      wide.push_back(bytes[i++]);
      continue;
    }
    char32_t codePoint;
    size_t length;
    if (!DecodeUtf8(bytes + i, text.size() - i, &codePoint, &length) &&
        malformed == Malformed::kOnePerByte)
      length = 1;
    char16_t units[2] = {0, 0};
    wide.append(units, EncodeUtf16(codePoint, units));
    i += length;
  }
  return wide;
}

// The UTF-16 length of UTF-8 text decoded as Utf8ToUtf16 decodes it.
inline size_t Utf16Length(std::string_view text, Malformed malformed = Malformed::kOnePerSubpart) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t units = 0;
  size_t i = 0;
  while (i < text.size()) {
    char32_t codePoint;
    size_t length;
    if (!DecodeUtf8(bytes + i, text.size() - i, &codePoint, &length) &&
        malformed == Malformed::kOnePerByte)
      length = 1;
    units += codePoint >= 0x10000 ? 2 : 1;
    i += length;
  }
  return units;
}

// Appends UTF-16 text as UTF-8 to *out; a surrogate outside a pair becomes U+FFFD.
inline void AppendUtf8(const char16_t* text, size_t length, std::string* out) {
  out->reserve(out->size() + length);
  size_t i = 0;
  while (i < length) {
    if (text[i] < 0x80) {
      // A run of ASCII goes in whole, a byte per unit.
      size_t end = i + 1;
      while (end < length && text[end] < 0x80) ++end;
      const size_t at = out->size();
      out->resize(at + (end - i));
      char* bytes = &(*out)[at];
      while (i < end) *bytes++ = static_cast<char>(text[i++]);
      continue;
    }
    char32_t codePoint;
    size_t taken;
    DecodeUtf16(text + i, length - i, &codePoint, &taken);
    char bytes[4];
    out->append(bytes, EncodeUtf8(codePoint, bytes));
    i += taken;
  }
}

inline std::string Utf16ToUtf8(std::u16string_view text) {
  std::string utf8;
  AppendUtf8(text.data(), text.size(), &utf8);
  return utf8;
}

}  // namespace utf
}  // namespace platform

#endif
