// BSTR: a 4-byte length in bytes, then the characters, then a zero character. The BSTR points at
// the first character, so it reads as an ordinary zero-terminated UTF-16 string, and its length
// (which may include embedded zeros) sits just before it.
#include <stdlib.h>
#include <string.h>

#include "oleauto.h"
#include "platform/faults/faults.h"

namespace {

constexpr size_t kPrefixBytes = sizeof(uint32_t);
// The largest length whose byte count fits the 32-bit prefix.
constexpr UINT kMaxChars = (UINT32_MAX - kPrefixBytes - sizeof(OLECHAR)) / sizeof(OLECHAR);

BSTR Allocate(const OLECHAR* text, UINT len) {
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

}  // namespace

extern "C" {

BSTR SysAllocString(const OLECHAR* text) {
  if (platform::FaultCheck("SysAllocString")) return nullptr;
  if (text == nullptr) return nullptr;
  UINT len = 0;
  while (text[len] != 0) ++len;
  return Allocate(text, len);
}

BSTR SysAllocStringLen(const OLECHAR* text, UINT len) {
  if (platform::FaultCheck("SysAllocString")) return nullptr;
  return Allocate(text, len);
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
