// The Win32 stand-in: code page conversions, last error, system messages, currency formatting.

#include "platform/win32/win32.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <monetary.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/faults/faults.h"
#include "platform/win32/codepage.h"
#include "platform/win32/currency.h"
#include "support/TempDir.h"

namespace {

class Win32Test : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::FaultSet("ProcessCodePage", "");
    platform::FaultClearAll();
  }
};

// Converts bytes of code page cp to UTF-16 the way callers do: size query, then conversion.
std::u16string ToWide(UINT cp, const std::string& bytes, DWORD flags = 0) {
  int needed =
      MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::u16string wide(static_cast<size_t>(needed), u'\0');
  if (needed == 0) return wide;
  int written = MultiByteToWideChar(cp, flags, bytes.data(), static_cast<int>(bytes.size()),
                                    &wide[0], needed);
  EXPECT_EQ(needed, written);
  return wide;
}

std::string ToBytes(UINT cp, const std::u16string& wide, BOOL* usedDefault = nullptr,
                    const char* defaultChar = nullptr) {
  int needed = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                   defaultChar, usedDefault);
  std::string bytes(static_cast<size_t>(needed), '\0');
  if (needed == 0) return bytes;
  int written = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), &bytes[0],
                                    needed, defaultChar, usedDefault);
  EXPECT_EQ(needed, written);
  return bytes;
}

TEST_F(Win32Test, ProcessCodePageOfTheCLocaleIsUtf8) {
  EXPECT_EQ(65001u, GetACP());
  platform::FaultSet("ProcessCodePage", "936");
  EXPECT_EQ(936u, GetACP());
  platform::FaultSet("ProcessCodePage", "54321");  // unknown: unchanged
  EXPECT_EQ(936u, GetACP());
  platform::FaultSet("ProcessCodePage", "");
  EXPECT_EQ(65001u, GetACP());
}

TEST_F(Win32Test, LocaleCharsetNamesMapToCodePages) {
  EXPECT_EQ(65001u, platform::CodePageForCharset("ANSI_X3.4-1968").number);
  EXPECT_EQ(65001u, platform::CodePageForCharset("UTF-8").number);
  EXPECT_EQ(1252u, platform::CodePageForCharset("ISO-8859-1").number);
  EXPECT_EQ(1252u, platform::CodePageForCharset("CP1252").number);
  EXPECT_EQ(936u, platform::CodePageForCharset("GBK").number);
  EXPECT_EQ(936u, platform::CodePageForCharset("GB2312").number);
  platform::CodePage gb18030 = platform::CodePageForCharset("GB18030");
  EXPECT_EQ(936u, gb18030.number);
  EXPECT_EQ("GB18030", gb18030.iconvName);  // converts its four-byte sequences too
  EXPECT_EQ(950u, platform::CodePageForCharset("BIG5").number);
  EXPECT_EQ(932u, platform::CodePageForCharset("SHIFT_JIS").number);
  EXPECT_EQ(20866u, platform::CodePageForCharset("KOI8-R").number);
  EXPECT_EQ(65001u, platform::CodePageForCharset("NO-SUCH-CHARSET").number);
}

TEST_F(Win32Test, Utf8RoundTripWithLengthRules) {
  const char* text =
      "Temp \xE6\xB8\xA9\xE5\xBA\xA6 \xC2\xB0"
      "C \xF0\x9F\x98\x80";  // "Temp 温度 °C 😀"
  const std::u16string expected = u"Temp \u6E29\u5EA6 \u00B0C \U0001F600";
  // -1 counts and converts the terminator; a zero size asks for the length.
  ASSERT_EQ(static_cast<int>(expected.size()) + 1,
            MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0));
  OLECHAR wide[32];
  ASSERT_EQ(static_cast<int>(expected.size()) + 1,
            MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 32));
  EXPECT_EQ(expected, std::u16string(wide));
  // An explicit length converts no terminator.
  EXPECT_EQ(5, MultiByteToWideChar(CP_UTF8, 0, text, 5, wide, 32));
  // Too small a buffer fails.
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  char bytes[32];
  ASSERT_EQ(static_cast<int>(strlen(text)) + 1,
            WideCharToMultiByte(CP_UTF8, 0, expected.c_str(), -1, nullptr, 0, nullptr, nullptr));
  BOOL usedDefault = TRUE;
  ASSERT_EQ(static_cast<int>(strlen(text)) + 1,
            WideCharToMultiByte(CP_ACP, 0, expected.c_str(), -1, bytes, 32, nullptr, &usedDefault));
  EXPECT_STREQ(text, bytes);
  EXPECT_FALSE(usedDefault);
  // The four bytes of the emoji are written whole or not at all.
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\U0001F600", 2, bytes, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST_F(Win32Test, InvalidUtf8BecomesReplacementCharacterOrFailsWhenAsked) {
  const std::u16string r = u"\uFFFD";
  EXPECT_EQ(u"a" + r + u"(b", ToWide(CP_UTF8, "a\xC3(b"));
  EXPECT_EQ(r + r, ToWide(CP_UTF8, "\xC0\xAF"));                  // overlong
  EXPECT_EQ(r + r + r, ToWide(CP_UTF8, "\xED\xA0\x80"));          // encoded surrogate
  EXPECT_EQ(r + r + r + r, ToWide(CP_UTF8, "\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_EQ(u"x" + r, ToWide(CP_UTF8, "x\xE6\xB8"));              // truncated: one character
  EXPECT_EQ(r + u"y", ToWide(CP_UTF8, "\xE6\xB8y"));
  EXPECT_EQ(r, ToWide(CP_UTF8, "\xFF"));

  OLECHAR wide[8];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3(b", -1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xE6\xB8", 2, nullptr, 0));
  EXPECT_EQ(1, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "\xE6\xB8\xA9", 3, wide, 8));
}

TEST_F(Win32Test, LoneSurrogatesAreReplacedInUtf8OrRefused) {
  BOOL usedDefault = FALSE;
  EXPECT_EQ("\xEF\xBF\xBDx", ToBytes(CP_UTF8, std::u16string(u"\xD800x"), &usedDefault));
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ("x\xEF\xBF\xBD", ToBytes(CP_UTF8, std::u16string(u"x\xDC00"), &usedDefault));
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ("\xF0\x9F\x98\x80", ToBytes(CP_UTF8, u"\U0001F600", &usedDefault));
  EXPECT_FALSE(usedDefault);

  char bytes[8];
  const char16_t lone[] = {0xD800, 0};
  SetLastError(0);
  EXPECT_EQ(
      0, WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, -1, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST_F(Win32Test, Windows1252RoundTripAndUnrepresentableCharacters) {
  platform::FaultSet("ProcessCodePage", "1252");
  EXPECT_EQ(1252u, GetACP());
  EXPECT_EQ(u"\u20AC caf\u00E9 \u2122 \u0081", ToWide(CP_ACP, "\x80 caf\xE9 \x99 \x81"));
  BOOL usedDefault = TRUE;
  EXPECT_EQ("\x80 caf\xE9 \x99 \x81",
            ToBytes(CP_ACP, u"\u20AC caf\u00E9 \u2122 \u0081", &usedDefault));
  EXPECT_FALSE(usedDefault);
  // One default character per code point, surrogate pairs included.
  EXPECT_EQ("T?x?", ToBytes(1252, u"T\u6E29x\U0001F600", &usedDefault));
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ("#", ToBytes(1252, u"\u0100", &usedDefault, "#"));
  EXPECT_TRUE(usedDefault);
  // The process code page stays UTF-8 for an explicit CP_UTF8.
  EXPECT_EQ(u"\u00E9", ToWide(CP_UTF8, "\xC3\xA9"));
}

TEST_F(Win32Test, GbkRoundTripThroughTheProcessCodePage) {
  platform::FaultSet("ProcessCodePage", "936");
  const std::string gbk = "\xCE\xC2\xB6\xC8";  // 温度
  EXPECT_EQ(u"\u6E29\u5EA6", ToWide(CP_ACP, gbk));
  EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, gbk.c_str(), -1, nullptr, 0));
  BOOL usedDefault = TRUE;
  EXPECT_EQ(gbk, ToBytes(CP_ACP, u"\u6E29\u5EA6", &usedDefault));
  EXPECT_FALSE(usedDefault);
  EXPECT_EQ(5, WideCharToMultiByte(CP_ACP, 0, u"\u6E29\u5EA6", -1, nullptr, 0, nullptr, nullptr));
  // A trail byte that looks like a backslash belongs to its character.
  std::u16string withBackslashTrail = ToWide(936, "\x81\x5C");
  ASSERT_EQ(1u, withBackslashTrail.size());
  EXPECT_NE(u'\\', withBackslashTrail[0]);
  EXPECT_EQ("\x81\x5C", ToBytes(936, withBackslashTrail));
}

TEST_F(Win32Test, GbkReportsUnrepresentableAndInvalidInput) {
  BOOL usedDefault = FALSE;
  EXPECT_EQ("\xCE\xC2?", ToBytes(936, u"\u6E29\U0001F600", &usedDefault));
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ("?a", ToBytes(936, std::u16string{0xD800, u'a'}, &usedDefault));  // lone surrogate
  EXPECT_TRUE(usedDefault);
  char bytes[8];
  const char16_t lone[] = {u'a', 0xDC00, 0};
  EXPECT_EQ(0,
            WideCharToMultiByte(936, WC_ERR_INVALID_CHARS, lone, -1, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  // A double-byte default character is used whole.
  EXPECT_EQ("\xA1\xF5", ToBytes(936, u"\U0001F600", &usedDefault, "\xA1\xF5"));
  // A lead byte without a trail becomes U+FFFD and never swallows the ASCII byte after it.
  EXPECT_EQ(u"\uFFFD a", ToWide(936, "\x81 a"));
  EXPECT_EQ(u"a\uFFFD", ToWide(936, "a\x81"));
  OLECHAR wide[8];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, "a\x81", 2, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST_F(Win32Test, ArbitraryInputConvertsToTheLengthThatWasQueried) {
  std::mt19937 random(20261208);
  for (UINT cp : {65001u, 1252u, 936u}) {
    for (int round = 0; round < 500; ++round) {
      std::string bytes(random() % 24 + 1, '\0');
      for (char& b : bytes) b = static_cast<char>(random() % 4 == 0 ? 'a' : random());
      std::u16string wide = ToWide(cp, bytes);
      ASSERT_FALSE(wide.empty()) << cp;
      // Every code unit sequence converts back, with the length the query gave.
      std::u16string units(random() % 12 + 1, u'\0');
      for (char16_t& u : units) {
        u = static_cast<char16_t>(random() % 3 == 0 ? 0xD800 + random() % 0x800 : random());
      }
      BOOL usedDefault;
      std::string back = ToBytes(cp, units, &usedDefault);
      ASSERT_FALSE(back.empty()) << cp;
    }
  }
}

TEST_F(Win32Test, BadArgumentsAndInjectedFaultsFailWithLastError) {
  OLECHAR wide[8];
  char bytes[8];
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, nullptr, -1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a", 0, wide, 8));
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a", -2, wide, 8));
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 8));
  EXPECT_EQ(0, MultiByteToWideChar(54321, 0, "a", 1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0x1000, "a", 1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FLAGS), GetLastError());
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", 1, bytes, -1, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  platform::FaultInject("MultiByteToWideChar", E_FAIL);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a", -1, wide, 8));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
  EXPECT_EQ(2, MultiByteToWideChar(CP_UTF8, 0, "a", -1, wide, 8));  // fired once
  platform::FaultInject("WideCharToMultiByte", E_FAIL);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"a", -1, bytes, 8, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST_F(Win32Test, LastErrorBelongsToTheThread) {
  SetLastError(ERROR_ACCESS_DENIED);
  DWORD seenByOther = 1;
  std::thread other([&] {
    seenByOther = GetLastError();
    SetLastError(ERROR_INVALID_HANDLE);
  });
  other.join();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), seenByOther);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

// The system text of code, or "<none>" when FormatMessageA gives none.
std::string SystemText(DWORD code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, LANG_USER_DEFAULT, reinterpret_cast<char*>(&text), 0, nullptr);
  if (length == 0) {
    EXPECT_EQ(nullptr, text);
    return "<none>";
  }
  std::string result(text);
  EXPECT_EQ(result.size(), length);
  LocalFree(text);
  return result;
}

TEST_F(Win32Test, FormatMessageKnowsTheSystemTableOnly) {
  EXPECT_EQ("Unspecified error\r\n", SystemText(0x80004005));
  EXPECT_EQ("Type mismatch.\r\n", SystemText(0x80020005));
  EXPECT_EQ("The parameter is incorrect.\r\n", SystemText(0x80070057));
  EXPECT_EQ("The system cannot find the file specified.\r\n", SystemText(0x80070002));
  EXPECT_EQ("The system cannot find the file specified.\r\n", SystemText(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ("No mapping for the Unicode character exists in the target multi-byte code page.\r\n",
            SystemText(ERROR_NO_UNICODE_TRANSLATION));
  for (DWORD unknown :
       {0x80040E14u, 0x80040E37u, 0x800A0CC1u, 0x800A0BCDu, 0x800A0E78u, 0u, 0x80070001u, 1u}) {
    EXPECT_EQ("<none>", SystemText(unknown)) << std::hex << unknown;
    EXPECT_EQ(static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND), GetLastError());
  }
  // Into the caller's buffer: the whole text with its terminator, or nothing.
  char buffer[19];
  EXPECT_EQ(
      0u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80004005, 0, buffer, 18, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  char larger[20];
  EXPECT_EQ(
      19u, FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80004005, 0, larger, 20, nullptr));
  EXPECT_STREQ("Unspecified error\r\n", larger);
  platform::FaultInject("FormatMessageA", E_FAIL);
  EXPECT_EQ("<none>", SystemText(0x80004005));
}

std::string Currency(const char* value) {
  char text[64];
  int written = GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, value, nullptr, text, 64);
  if (written == 0) return "<fail>";
  EXPECT_EQ(strlen(text) + 1, static_cast<size_t>(written));
  return text;
}

TEST_F(Win32Test, CurrencyInTheCLocaleRoundsToTwoPlaces) {
  EXPECT_EQ("1234.50", Currency("1234.5"));
  EXPECT_EQ("-1234.57", Currency("-1234.567"));
  EXPECT_EQ("1000.00", Currency("999.995"));
  EXPECT_EQ("0.01", Currency("0.005"));
  EXPECT_EQ("0.00", Currency("-0.001"));
  EXPECT_EQ("12.00", Currency("0012"));
  EXPECT_EQ("0.50", Currency(".5"));
  EXPECT_EQ("922337203685477.58", Currency("922337203685477.5807"));
  for (const char* bad : {"", "-", ".", "12a", "1e5", " 1", "+1", "1.2.3"}) {
    EXPECT_EQ("<fail>", Currency(bad)) << bad;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  char text[8];
  EXPECT_EQ(8, GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, "1234.5", nullptr, nullptr, 0));
  EXPECT_EQ(0, GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, "1234.5", nullptr, text, 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(8, GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, "1234.5", nullptr, text, 8));
  int dummyFormat = 0;
  EXPECT_EQ(0, GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, "1", &dummyFormat, text, 8));
  platform::FaultInject("GetCurrencyFormatA", E_FAIL);
  EXPECT_EQ("<fail>", Currency("1"));
}

TEST_F(Win32Test, CurrencyLayoutFollowsMonetaryConventions) {
  platform::MonetaryConventions us;
  us.currencySymbol = "$";
  us.thousandsSeparator = ",";
  us.grouping = "\3\3";
  std::string text;
  ASSERT_TRUE(platform::FormatCurrencyText("1234567.891", us, &text));
  EXPECT_EQ("$1,234,567.89", text);
  ASSERT_TRUE(platform::FormatCurrencyText("-999", us, &text));
  EXPECT_EQ("-$999.00", text);
  us.negativeSignPosition = 0;
  ASSERT_TRUE(platform::FormatCurrencyText("-1234.5", us, &text));
  EXPECT_EQ("($1,234.50)", text);

  platform::MonetaryConventions de;
  de.currencySymbol = "\xE2\x82\xAC";
  de.decimalPoint = ",";
  de.thousandsSeparator = ".";
  de.grouping = "\3";
  de.positiveSymbolPrecedes = de.negativeSymbolPrecedes = 0;
  de.positiveSeparatedBySpace = de.negativeSeparatedBySpace = 1;
  ASSERT_TRUE(platform::FormatCurrencyText("1234567.5", de, &text));
  EXPECT_EQ("1.234.567,50 \xE2\x82\xAC", text);
  ASSERT_TRUE(platform::FormatCurrencyText("-12.345", de, &text));
  EXPECT_EQ("-12,35 \xE2\x82\xAC", text);

  platform::MonetaryConventions indian = us;
  indian.grouping = "\3\2";
  indian.negativeSignPosition = 2;
  indian.fractionDigits = 0;
  ASSERT_TRUE(platform::FormatCurrencyText("-1234567.5", indian, &text));
  EXPECT_EQ("$12,34,568-", text);
  EXPECT_FALSE(platform::FormatCurrencyText("12,5", indian, &text));
  EXPECT_EQ("$12,34,568-", text);  // untouched on failure
}

// Makes the locales usable by setlocale: installed already, or compiled with localedef into
// dir and found through LOCPATH (all of them, as LOCPATH hides the installed ones). False when
// neither works on this machine.
bool ProvideLocales(const std::vector<std::string>& sources, const TempDir& dir) {
  unsetenv("LOCPATH");
  bool installed = true;
  for (const std::string& source : sources) {
    locale_t locale = newlocale(LC_MONETARY_MASK, (source + ".UTF-8").c_str(), nullptr);
    if (locale == nullptr) {
      installed = false;
    } else {
      freelocale(locale);
    }
  }
  if (installed) return true;
  for (const std::string& source : sources) {
    std::string command =
        "localedef -i " + source + " -f UTF-8 " + dir.File(source + ".UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return false;
  }
  setenv("LOCPATH", dir.Path().c_str(), 1);
  return true;
}

// GetCurrencyFormatA under the LC_MONETARY locale name, next to what strfmon, which reads the
// same conventions independently, makes of the same amount.
void ExpectCurrencyUnderLocale(const char* name, const char* value, double amount,
                               const std::string& expected) {
  ASSERT_NE(nullptr, setlocale(LC_MONETARY, name)) << name;
  std::string text = Currency(value);
  char reference[64];
  ASSERT_GT(strfmon(reference, sizeof reference, "%n", amount), 0);
  setlocale(LC_MONETARY, "C");
  EXPECT_EQ(expected, text) << name;
  EXPECT_EQ(std::string(reference), text) << name;
}

TEST_F(Win32Test, CurrencyFollowsTheLocaleConventions) {
  TempDir dir;
  if (!ProvideLocales({"en_US", "de_DE"}, dir)) {
    GTEST_SKIP() << "locales en_US and de_DE are neither installed nor can be made here";
  }
  ExpectCurrencyUnderLocale("en_US.UTF-8", "1234567.75", 1234567.75, "$1,234,567.75");
  ExpectCurrencyUnderLocale("en_US.UTF-8", "-1234.25", -1234.25, "-$1,234.25");
  ExpectCurrencyUnderLocale("en_US.UTF-8", ".5", 0.5, "$0.50");
  ExpectCurrencyUnderLocale("de_DE.UTF-8", "1234567.75", 1234567.75, "1.234.567,75 \xE2\x82\xAC");
  ExpectCurrencyUnderLocale("de_DE.UTF-8", "-1234.25", -1234.25, "-1.234,25 \xE2\x82\xAC");
  unsetenv("LOCPATH");
}

}  // namespace
