#include "Text.h"

#include <fmt/format.h>

#include <cstring>

namespace {

// Decodes one UTF-8 sequence at text[*pos]; returns false when it is malformed.
bool NextCodePoint(const std::string& text, size_t* pos, char32_t* codePoint) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  int extra = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    value = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    value = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    value = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    value = lead & 0x07;
  } else {
    return false;
  }
  if (*pos + extra >= text.size()) return false;
  for (int i = 1; i <= extra; ++i) {
    const unsigned char next = byte(*pos + i);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  static const char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
  if (value < kSmallest[extra] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return false;
  *pos += 1 + extra;
  *codePoint = value;
  return true;
}

}  // namespace

std::string Trim(const std::string& text) {
  const char* blanks = " \t\r\n";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

std::string Lower(const std::string& text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool EqualsNoCase(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

bool IsIdentifier(const std::string& text) {
  if (text.empty()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !(digit && i > 0)) return false;
  }
  return true;
}

bool HasControlCharacter(const std::string& text, bool lineBreaks) {
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (lineBreaks && (c == '\t' || c == '\r' || c == '\n')) continue;
    if (c < 0x20 || c == 0x7F) return true;
    // U+0080..U+009F, the C1 controls, are C2 80..C2 9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(text[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

std::string Echo(const std::string& text) {
  constexpr size_t kLimit = 80;  // characters
  std::string shown;
  size_t characters = 0;
  for (const char byte : text) {
    const unsigned char c = static_cast<unsigned char>(byte);
    // Continuation bytes of UTF-8 belong to the character before them.
    if ((c & 0xC0) != 0x80) {
      if (characters == kLimit) return shown + "...";
      ++characters;
    }
    if (c < 0x20 || c == 0x7F)
      shown += fmt::format("\\x{:02X}", c);
    else
      shown.push_back(byte);
  }
  return shown;
}

bool IsUtf8(const std::string& text) {
  size_t pos = 0;
  char32_t codePoint = 0;
  while (pos < text.size())
    if (!NextCodePoint(text, &pos, &codePoint)) return false;
  return true;
}

size_t Utf16Length(const std::string& utf8) {
  size_t pos = 0, units = 0;
  char32_t codePoint = 0;
  while (pos < utf8.size()) {
    if (!NextCodePoint(utf8, &pos, &codePoint)) {
      ++pos;
      codePoint = 0;
    }
    units += codePoint >= 0x10000 ? 2 : 1;
  }
  return units;
}

BSTR NewBstr(const std::string& utf8) {
  std::u16string wide;
  size_t pos = 0;
  char32_t codePoint = 0;
  while (pos < utf8.size()) {
    if (!NextCodePoint(utf8, &pos, &codePoint)) return nullptr;
    if (codePoint >= 0x10000) {
      codePoint -= 0x10000;
      wide.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    } else {
      wide.push_back(static_cast<char16_t>(codePoint));
    }
  }
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string FromBstr(BSTR text) {
  std::string utf8;
  const UINT length = SysStringLen(text);
  for (UINT i = 0; i < length; ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;  // a lone surrogate has no UTF-8 form
    }
    if (c < 0x80) {
      utf8.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      utf8.push_back(static_cast<char>(0xC0 | (c >> 6)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      utf8.push_back(static_cast<char>(0xE0 | (c >> 12)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      utf8.push_back(static_cast<char>(0xF0 | (c >> 18)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      utf8.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return utf8;
}

bool ParseInteger(const std::string& text, long long low, long long high, long long* value) {
  // The tool's shape of a whole number (an optional sign and digits only); the value itself is
  // read by VariantChangeType.
  const std::string trimmed = Trim(text);
  const size_t first = !trimmed.empty() && (trimmed[0] == '+' || trimmed[0] == '-') ? 1 : 0;
  if (first == trimmed.size()) return false;
  for (size_t i = first; i < trimmed.size(); ++i)
    if (trimmed[i] < '0' || trimmed[i] > '9') return false;
  VARIANT source, number;
  VariantInit(&source);
  VariantInit(&number);
  source.bstrVal = NewBstr(trimmed);
  if (source.bstrVal == nullptr) return false;
  source.vt = VT_BSTR;
  const HRESULT result = VariantChangeType(&number, &source, 0, VT_I8);
  VariantClear(&source);
  if (FAILED(result) || number.llVal < low || number.llVal > high) return false;
  *value = number.llVal;
  return true;
}

void CopyText(char* target, size_t size, const std::string& text) {
  std::memset(target, 0, size);
  std::memcpy(target, text.data(), text.size() < size ? text.size() : size - 1);
}
