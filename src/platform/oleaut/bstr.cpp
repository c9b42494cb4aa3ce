// BSTR: a 4-byte length in bytes, then the characters, then a zero character. The BSTR points at
// the first character, so it reads as an ordinary zero-terminated UTF-16 string, and its length
// (which may include embedded zeros) sits just before it.
#include <stdlib.h>
#include <string.h>

#include "oleauto.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/internal.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);
// The largest length whose byte count fits the 32-bit prefix.
constexpr UINT kMaxChars = (UINT32_MAX - kPrefixBytes - sizeof(OLECHAR)) / sizeof(OLECHAR);

}  // namespace

namespace platform {

BSTR AllocBstr(const OLECHAR* text, UINT len) {
  if (len > kMaxChars) return nullptr;
  const uint32_t bytes = len * static_cast<uint32_t>(sizeof(OLECHAR));
  char* block = static_cast<char*>(malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  memcpy(block, &bytes, kPrefixBytes);
  BSTR result = reinterpret_cast<BSTR>(block + kPrefixBytes);
  if (text != nullptr) memcpy(result, text, bytes);
  result[len] = 0;
  return result;
}

BSTR AllocBstrFromAscii(std::string_view text) {
  BSTR result = AllocBstr(nullptr, static_cast<UINT>(text.size()));
  if (result == nullptr) return nullptr;
  for (size_t i = 0; i < text.size(); ++i) result[i] = static_cast<unsigned char>(text[i]);
  return result;
}

bool BstrToAscii(BSTR text, std::string* ascii) {
  const UINT len = SysStringLen(text);
  ascii->resize(len);
  for (UINT i = 0; i < len; ++i) {
    if (text[i] == 0 || text[i] > 0x7F) return false;
    (*ascii)[i] = static_cast<char>(text[i]);
  }
  return true;
}

}  // namespace platform

extern "C" {

BSTR SysAllocString(const OLECHAR* text) {
  if (platform::FaultCheck("SysAllocString")) return nullptr;
  if (text == nullptr) return nullptr;
  UINT len = 0;
  while (text[len] != 0) ++len;
  return platform::AllocBstr(text, len);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT len) {
  if (platform::FaultCheck("SysAllocString")) return nullptr;
  return platform::AllocBstr(text, len);
}

void SysFreeString(BSTR text) {
  if (text != nullptr) free(reinterpret_cast<char*>(text) - kPrefixBytes);
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  uint32_t bytes;
  memcpy(&bytes, reinterpret_cast<const char*>(text) - kPrefixBytes, kPrefixBytes);
  return bytes / sizeof(OLECHAR);
}

}  // extern "C"
