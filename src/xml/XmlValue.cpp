#include "xml/XmlValue.h"

#include "platform/crt/crt.h"
#include "platform/utf/utf.h"
#include "platform/win32/win32.h"
#include "xml/XmlEntities.h"

namespace {

typedef unsigned char Byte;

constexpr size_t kMaxReferenceLength = 9;  // bytes between "&" and ";"
constexpr uint32_t kMaxCharacter = 0x10FFFF;

int DigitValue(Byte c, int base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The character number a reference names (the bytes between "&" and ";"), 0 for none.
uint32_t ReferenceNumber(const Byte* reference, size_t length) {
  if (length == 0 || reference[0] != '#') {
    return LookUpXmlEntity(reinterpret_cast<const char*>(reference), length);
  }
  Byte folded[kMaxReferenceLength];
  for (size_t i = 0; i < length; ++i) {
    Byte c = reference[i];
    folded[i] = c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
  }
  size_t i = 1;
  int base = 10;
  if (length >= 2 && folded[1] == 'x') {
    base = 16;
    i = 2;
  }
  uint32_t number = 0;
  for (; i < length; ++i) {
    int digit = DigitValue(folded[i], base);
    if (digit < 0) break;
    number = number * base + digit;  // at most 8 digits: no overflow
  }
  return number;
}

// Appends the character number in the process code page; false when it has no form there.
bool AppendCharacter(std::string& out, uint32_t number) {
  if (number == 0 || number > kMaxCharacter) return false;
  OLECHAR units[2];
  const int unitCount = static_cast<int>(platform::utf::EncodeUtf16(number, units));
  char bytes[5];
  BOOL usedDefault = FALSE;
  int written =
      WideCharToMultiByte(CP_ACP, 0, units, unitCount, bytes, sizeof bytes, nullptr, &usedDefault);
  if (written <= 0 || usedDefault) return false;
  out.append(bytes, written);
  return true;
}

}  // namespace

std::string DecodeXmlValue(const char* value, size_t length) {
  std::string out;
  out.reserve(length);
  const Byte* p = reinterpret_cast<const Byte*>(value);
  const Byte* const end = p + length;
  while (p < end) {
    if (*p != '&') {
      size_t n = crt::MbCharLen(p);
      if (n > static_cast<size_t>(end - p)) n = end - p;
      out.append(reinterpret_cast<const char*>(p), n);
      p += n;
      continue;
    }
    const Byte* reference = p + 1;
    size_t referenceLength = 0;
    bool complete = false;
    while (reference + referenceLength < end) {
      Byte c = reference[referenceLength];
      if (c == ';') {
        complete = true;
        break;
      }
      if (c >= 0x80 || referenceLength == kMaxReferenceLength) break;
      ++referenceLength;
    }
    if (!complete) {
      out += '&';
      ++p;
      continue;
    }
    const size_t written = referenceLength + 2;  // with "&" and ";"
    if (!AppendCharacter(out, ReferenceNumber(reference, referenceLength))) {
      out.append(reinterpret_cast<const char*>(p), written);
    }
    p += written;
  }
  return out;
}
