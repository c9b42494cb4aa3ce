// The process code page: looked up from the locale's charset when first needed, or replaced by
// the "ProcessCodePage" setting of the fault seam.

#include "platform/win32/codepage.h"

#include <iconv.h>
#include <langinfo.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/faults/faults.h"
#include "platform/utf/utf.h"
#include "platform/win32/win32.h"

namespace platform {

std::atomic<unsigned char> g_processCodePageKind{0};

namespace {

std::mutex g_processMutex;
CodePage g_processCodePage;  // valid once g_processCodePageKind is non-zero
std::atomic<UINT> g_processCodePageNumber{CP_UTF8};

struct KnownCodePage {
  UINT number;
  CodePageKind kind;
  const char* iconvName;
};

// The code pages known by number. The hand-made ones need no iconv name.
constexpr KnownCodePage kKnownCodePages[] = {
    {CP_UTF8, CodePageKind::kUtf8, ""},
    {1252, CodePageKind::kWindows1252, ""},
    {936, CodePageKind::kDoubleByte, "CP936"},
    {949, CodePageKind::kDoubleByte, "CP949"},
    {950, CodePageKind::kDoubleByte, "CP950"},
    {932, CodePageKind::kShiftJis, "CP932"},
    {1250, CodePageKind::kSingleByte, "CP1250"},
    {1251, CodePageKind::kSingleByte, "CP1251"},
    {1253, CodePageKind::kSingleByte, "CP1253"},
    {1254, CodePageKind::kSingleByte, "CP1254"},
    {1255, CodePageKind::kSingleByte, "CP1255"},
    {1256, CodePageKind::kSingleByte, "CP1256"},
    {1257, CodePageKind::kSingleByte, "CP1257"},
    {1258, CodePageKind::kSingleByte, "CP1258"},
    {20866, CodePageKind::kSingleByte, "KOI8-R"},
    {21866, CodePageKind::kSingleByte, "KOI8-U"},
    {20932, CodePageKind::kSingleByte, "EUC-JP"},
    {28592, CodePageKind::kSingleByte, "ISO-8859-2"},
    {28593, CodePageKind::kSingleByte, "ISO-8859-3"},
    {28594, CodePageKind::kSingleByte, "ISO-8859-4"},
    {28595, CodePageKind::kSingleByte, "ISO-8859-5"},
    {28596, CodePageKind::kSingleByte, "ISO-8859-6"},
    {28597, CodePageKind::kSingleByte, "ISO-8859-7"},
    {28598, CodePageKind::kSingleByte, "ISO-8859-8"},
    {28599, CodePageKind::kSingleByte, "ISO-8859-9"},
    {28603, CodePageKind::kSingleByte, "ISO-8859-13"},
    {28605, CodePageKind::kSingleByte, "ISO-8859-15"},
};

// Locale charset names (compared without case and punctuation) and their code pages.
struct CharsetAlias {
  const char* name;
  UINT number;
};
constexpr CharsetAlias kCharsetAliases[] = {
    {"UTF8", CP_UTF8},    {"ANSIX341968", CP_UTF8}, {"ASCII", CP_UTF8},  {"USASCII", CP_UTF8},
    {"CP1252", 1252},     {"WINDOWS1252", 1252},    {"ISO88591", 1252},  {"LATIN1", 1252},
    {"GBK", 936},         {"GB2312", 936},          {"GB18030", 936},    {"CP936", 936},
    {"EUCCN", 936},       {"CP949", 949},           {"EUCKR", 949},      {"UHC", 949},
    {"BIG5", 950},        {"BIG5HKSCS", 950},       {"CP950", 950},      {"SJIS", 932},
    {"SHIFTJIS", 932},    {"CP932", 932},           {"EUCJP", 20932},    {"KOI8R", 20866},
    {"KOI8U", 21866},     {"CP1250", 1250},         {"CP1251", 1251},    {"ISO88592", 28592},
    {"ISO88595", 28595},  {"ISO88597", 28597},      {"ISO88599", 28599}, {"ISO885913", 28603},
    {"ISO885915", 28605},
};

std::string Normalized(const char* name) {
  std::string out;
  for (const char* p = name; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (std::isalnum(c)) out += static_cast<char>(std::toupper(c));
  }
  return out;
}

bool IconvKnows(const char* name) {
  iconv_t cd = iconv_open("UTF-16LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

bool FromTable(UINT number, CodePage* codePage) {
  for (const KnownCodePage& known : kKnownCodePages) {
    if (known.number == number) {
      codePage->number = known.number;
      codePage->kind = known.kind;
      codePage->iconvName = known.iconvName;
      return true;
    }
  }
  return false;
}

}  // namespace

CodePage CodePageForCharset(const char* charset) {
  CodePage codePage;  // UTF-8 unless the charset says otherwise
  if (charset == nullptr || *charset == '\0') return codePage;
  std::string name = Normalized(charset);
  for (const CharsetAlias& alias : kCharsetAliases) {
    if (name == alias.name) {
      FromTable(alias.number, &codePage);
      // A double-byte locale converts under its own charset name (GB18030 is wider than CP936).
      if (codePage.kind == CodePageKind::kDoubleByte || codePage.kind == CodePageKind::kShiftJis) {
        if (IconvKnows(charset)) codePage.iconvName = charset;
      }
      return codePage;
    }
  }
  if (IconvKnows(charset)) {
    codePage.number = kLocaleCharsetCodePage;
    codePage.kind = CodePageKind::kSingleByte;
    codePage.iconvName = charset;
  }
  return codePage;
}

CodePageKind ResolveProcessCodePage() {
  std::lock_guard<std::mutex> lock(g_processMutex);
  unsigned char kind = g_processCodePageKind.load(std::memory_order_acquire);
  if (kind != 0) return static_cast<CodePageKind>(kind);
  g_processCodePage = CodePageForCharset(nl_langinfo(CODESET));
  g_processCodePageNumber.store(g_processCodePage.number, std::memory_order_relaxed);
  g_processCodePageKind.store(static_cast<unsigned char>(g_processCodePage.kind),
                              std::memory_order_release);
  return g_processCodePage.kind;
}

CodePage ProcessCodePage() {
  if (g_processCodePageKind.load(std::memory_order_acquire) == 0) ResolveProcessCodePage();
  std::lock_guard<std::mutex> lock(g_processMutex);
  return g_processCodePage;
}

bool LookUpCodePage(UINT number, CodePage* codePage) {
  // The OEM and thread code pages are the process code page here.
  if (number == CP_ACP || number == 1 /* CP_OEMCP */ || number == 3 /* CP_THREAD_ACP */) {
    *codePage = ProcessCodePage();
    return true;
  }
  if (FromTable(number, codePage)) return true;
  if (number == kLocaleCharsetCodePage) {
    CodePage process = ProcessCodePage();
    if (process.number != kLocaleCharsetCodePage) return false;
    *codePage = process;
    return true;
  }
  char name[16];
  std::snprintf(name, sizeof name, "CP%u", number);
  if (!IconvKnows(name)) return false;
  codePage->number = number;
  codePage->kind = CodePageKind::kSingleByte;
  codePage->iconvName = name;
  return true;
}

size_t Utf8SequenceLength(const unsigned char* s) {
  // A zero byte ends the text: it is no continuation byte, so decoding stops there.
  char32_t codePoint;
  size_t length;
  return utf::DecodeUtf8(s, 4, &codePoint, &length) ? length : 0;
}

}  // namespace platform

UINT GetACP() {
  if (platform::g_processCodePageKind.load(std::memory_order_acquire) == 0) {
    platform::ResolveProcessCodePage();
  }
  return platform::g_processCodePageNumber.load(std::memory_order_relaxed);
}

namespace platform {
namespace {

// The "ProcessCodePage" setting: a code page number, or "" (or "0") for the locale's. An unknown
// code page leaves the process code page as it was.
void ApplyCodePageSetting(const std::string& value) {
  const UINT cp = static_cast<UINT>(std::strtoul(value.c_str(), nullptr, 10));
  CodePage codePage;
  if (cp != CP_ACP && !LookUpCodePage(cp, &codePage)) return;
  std::lock_guard<std::mutex> lock(g_processMutex);
  if (cp == CP_ACP) {
    // Back to the locale's code page, looked up again at the next use.
    g_processCodePageKind.store(0, std::memory_order_release);
    return;
  }
  g_processCodePage = codePage;
  g_processCodePageNumber.store(codePage.number, std::memory_order_relaxed);
  g_processCodePageKind.store(static_cast<unsigned char>(codePage.kind), std::memory_order_release);
}

[[maybe_unused]] const bool g_listening =
    (FaultListen("ProcessCodePage", &ApplyCodePageSetting), true);

}  // namespace
}  // namespace platform
