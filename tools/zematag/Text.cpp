#include "Text.h"

#include <fmt/format.h>

#include <cstring>

#include "platform/utf/utf.h"

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

// UTF-8 and UTF-16 through the project's one codec (platform/utf/utf.h).
bool IsUtf8(const std::string& text) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.data());
  size_t pos = 0;
  while (pos < text.size()) {
    char32_t codePoint = 0;
    size_t length = 0;
    if (!platform::utf::DecodeUtf8(bytes + pos, text.size() - pos, &codePoint, &length))
      return false;
    pos += length;
  }
  return true;
}

size_t Utf16Length(const std::string& utf8) {
  return platform::utf::Utf16Length(utf8, platform::utf::Malformed::kOnePerByte);
}

BSTR NewBstr(const std::string& utf8) {
  if (!IsUtf8(utf8)) return nullptr;
  const std::u16string wide = platform::utf::Utf8ToUtf16(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

std::string FromBstr(BSTR text) {
  return platform::utf::Utf16ToUtf8(std::u16string_view(text, SysStringLen(text)));
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
