// The process code page as the other stand-ins see it: a kind that the character-length
// functions read on every call, and a description (Windows number, iconv name) that the
// conversions use.
//
// The kind is one relaxed atomic byte, so that the hot paths (_mbclen per non-ASCII byte of a
// scanned document) read it without locks. It is resolved from the locale the first time it is
// needed; the fault seam's "ProcessCodePage" setting replaces it.
#ifndef ZEMA_PLATFORM_WIN32_CODEPAGE_H
#define ZEMA_PLATFORM_WIN32_CODEPAGE_H

#include <atomic>
#include <string>

#include "platform/win32/win32.h"

namespace platform {

// How a code page splits bytes into characters and how it is converted.
enum class CodePageKind : unsigned char {
  kUnresolved = 0,  // not looked up yet (process code page only)
  kUtf8,            // by hand
  kWindows1252,     // by hand
  kDoubleByte,      // lead 0x81-0xFE, trail 0x40-0xFE except 0x7F (GBK, UHC, Big5); iconv
  kShiftJis,        // lead 0x81-0x9F or 0xE0-0xFC, trail 0x40-0xFC except 0x7F; iconv
  kSingleByte,      // any other charset: one byte per character; iconv
};

// A code page the conversions can handle.
struct CodePage {
  UINT number = CP_UTF8;
  CodePageKind kind = CodePageKind::kUtf8;
  std::string iconvName;  // the charset name iconv knows it by ("" for the hand-made ones)
};

// The Windows number given to a locale charset that has none of its own; conversions with it
// (or CP_ACP) use the locale's charset name.
constexpr UINT kLocaleCharsetCodePage = 0xFFFF;

extern std::atomic<unsigned char> g_processCodePageKind;

// Looks the process code page up from the locale (slow path of ProcessCodePageKind).
CodePageKind ResolveProcessCodePage();

// The kind of the process code page; resolves it on first use.
inline CodePageKind ProcessCodePageKind() {
  unsigned char kind = g_processCodePageKind.load(std::memory_order_relaxed);
  if (kind != 0) return static_cast<CodePageKind>(kind);
  return ResolveProcessCodePage();
}

// The process code page (resolved on first use).
CodePage ProcessCodePage();

// The code page for a number given to a conversion (CP_ACP: the process's). False when the
// number is not a code page this system can convert.
bool LookUpCodePage(UINT number, CodePage* codePage);

// The code page that the charset name of a locale (nl_langinfo(CODESET)) stands for. "C" and
// "POSIX" locales ("ANSI_X3.4-1968") are UTF-8.
CodePage CodePageForCharset(const char* charset);

// Whether b can begin a double-byte character of kind (kDoubleByte, kShiftJis).
inline bool IsLeadByte(CodePageKind kind, unsigned char b) {
  if (kind == CodePageKind::kDoubleByte) return b >= 0x81 && b <= 0xFE;
  if (kind == CodePageKind::kShiftJis) return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
  return false;
}

// Whether b can follow a lead byte of kind.
inline bool IsTrailByte(CodePageKind kind, unsigned char b) {
  if (kind == CodePageKind::kDoubleByte) return b >= 0x40 && b <= 0xFE && b != 0x7F;
  if (kind == CodePageKind::kShiftJis) return b >= 0x40 && b <= 0xFC && b != 0x7F;
  return false;
}

// The length of a valid UTF-8 sequence at s (reading no further than a zero byte), or 0 when
// the bytes at s do not begin one.
size_t Utf8SequenceLength(const unsigned char* s);

}  // namespace platform

#endif
