// The run-time library stand-in: character lengths, comparisons and copies per code page, and
// _gcvt number formatting.

#include "platform/crt/crt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/faults/faults.h"
#include "platform/win32/win32.h"

namespace {

class CrtTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::FaultSet("ProcessCodePage", ""); }
};

size_t Len(const char* s) { return crt::_mbclen(reinterpret_cast<const unsigned char*>(s)); }

const unsigned char* U(const char* s) { return reinterpret_cast<const unsigned char*>(s); }

TEST_F(CrtTest, Utf8CharacterLengthsNeverStepOverBadOrTruncatedSequences) {
  platform::FaultSet("ProcessCodePage", "65001");
  EXPECT_EQ(1u, Len("a"));
  EXPECT_EQ(1u, Len(""));
  EXPECT_EQ(2u, Len("\xC3\xA9"));
  EXPECT_EQ(3u, Len("\xE6\xB8\xA9"));
  EXPECT_EQ(4u, Len("\xF0\x9F\x98\x80"));
  EXPECT_EQ(1u, Len("\xE6\xB8"));      // truncated by the terminator
  EXPECT_EQ(1u, Len("\xC3"));          // trail byte 0
  EXPECT_EQ(1u, Len("\xC0\xAF"));      // overlong
  EXPECT_EQ(1u, Len("\xED\xA0\x80"));  // encoded surrogate
  EXPECT_EQ(1u, Len("\xF4\x90\x80\x80"));
  EXPECT_EQ(1u, Len("\xA9"));  // stray trail byte
  EXPECT_EQ(1u, Len("\xFF"));
  EXPECT_EQ(0u, crt::_mbclen(nullptr));
}

TEST_F(CrtTest, GbkCharacterLengthsKeepTrailBytesThatLookLikeAscii) {
  platform::FaultSet("ProcessCodePage", "936");
  EXPECT_EQ(2u, Len("\xCE\xC2"));
  EXPECT_EQ(2u, Len("\x81\x5C"));  // trail byte '\\'
  EXPECT_EQ(2u, Len("\x81\x7C"));  // trail byte '|'
  EXPECT_EQ(2u, Len("\xFE\x40"));  // trail byte '@'
  EXPECT_EQ(1u, Len("\x81\x7F"));  // 0x7F is no trail byte
  EXPECT_EQ(1u, Len("\x81"));      // lead before the terminator
  EXPECT_EQ(1u, Len("\x80"));
  EXPECT_EQ(1u, Len("\xFF\x41"));
  EXPECT_EQ(1u, crt::MbCharLen(U("\\")));

  platform::FaultSet("ProcessCodePage", "1252");
  EXPECT_EQ(1u, Len("\xCE\xC2"));
  EXPECT_EQ(1u, Len("\xE6\xB8\xA9"));
}

TEST_F(CrtTest, CopyNeverSplitsACharacterAndPadsLikeStrncpy) {
  platform::FaultSet("ProcessCodePage", "65001");
  unsigned char dst[8];
  memset(dst, 'X', sizeof dst);
  crt::_mbsnbcpy(dst, U("a\xE6\xB8\xA9z"), 3);  // the 3-byte character does not fit
  EXPECT_EQ(std::string("a\0\0XXXXX", 8), std::string(reinterpret_cast<char*>(dst), 8));
  memset(dst, 'X', sizeof dst);
  crt::_mbsnbcpy(dst, U("a\xE6\xB8\xA9z"), 4);  // exactly full: no terminator added
  EXPECT_EQ(std::string("a\xE6\xB8\xA9XXXX"), std::string(reinterpret_cast<char*>(dst), 8));
  memset(dst, 'X', sizeof dst);
  crt::_mbsnbcpy(dst, U("ab"), 6);
  EXPECT_EQ(std::string("ab\0\0\0\0XX", 8), std::string(reinterpret_cast<char*>(dst), 8));
  // A truncated sequence is copied byte by byte and the copy stops at the terminator.
  memset(dst, 'X', sizeof dst);
  crt::_mbsnbcpy(dst, U("\xE6\xB8"), 4);
  EXPECT_EQ(std::string("\xE6\xB8\0\0XXXX", 8), std::string(reinterpret_cast<char*>(dst), 8));

  platform::FaultSet("ProcessCodePage", "936");
  memset(dst, 'X', sizeof dst);
  crt::_mbsnbcpy(dst, U("\x81\x5C\x81\x5C"), 3);
  EXPECT_EQ(std::string("\x81\x5C\0XXXXX", 8), std::string(reinterpret_cast<char*>(dst), 8));
}

TEST_F(CrtTest, ComparisonsWorkByCharacterAndFoldOnlyAsciiLetters) {
  platform::FaultSet("ProcessCodePage", "65001");
  EXPECT_EQ(0, crt::_mbscmp(U("Tag1"), U("Tag1")));
  EXPECT_LT(crt::_mbscmp(U("Tag"), U("Tag1")), 0);
  EXPECT_GT(crt::_mbscmp(U("tag"), U("Tag")), 0);
  EXPECT_EQ(0, crt::_mbsicmp(U("FBLib.XML"), U("fblib.xml")));
  EXPECT_LT(crt::_mbsicmp(U("abc"), U("ABD")), 0);
  EXPECT_NE(0, crt::_mbsicmp(U("\xC3\x89"), U("\xC3\xA9")));  // É and é are not folded
  EXPECT_LT(crt::_mbscmp(U("z"), U("\xC3\xA9")), 0);

  platform::FaultSet("ProcessCodePage", "936");
  // Trail bytes 'A' and 'a' belong to different characters and must not be folded.
  EXPECT_NE(0, crt::_mbsicmp(U("\x81\x41"), U("\x81\x61")));
  // A single byte orders below a double-byte character, whose value is lead * 256 + trail.
  EXPECT_LT(crt::_mbscmp(U("\xFF"), U("\x81\x40")), 0);
  EXPECT_EQ(0, crt::_mbsicmp(U("\xCE\xC2T"), U("\xCE\xC2t")));
}

std::string Gcvt(double value, int digits) {
  std::vector<char> buffer(static_cast<size_t>(digits) + 8, '#');
  return crt::_gcvt(value, digits, buffer.data());
}

TEST_F(CrtTest, GcvtPlainNotationWithinTheDigitRange) {
  EXPECT_EQ("12.", Gcvt(12.0, 20));
  EXPECT_EQ("0.5", Gcvt(0.5, 20));
  EXPECT_EQ("0.", Gcvt(0.0, 20));
  EXPECT_EQ("0.", Gcvt(-0.0, 20));
  EXPECT_EQ("-2.5", Gcvt(-2.5, 10));
  EXPECT_EQ("0.10000000000000000555", Gcvt(0.1, 20));
  EXPECT_EQ("3.141590118", Gcvt(static_cast<double>(3.14159f), 10));
  EXPECT_EQ("1234.57", Gcvt(1234.5678, 6));
  EXPECT_EQ("10.", Gcvt(9.99, 2));
  EXPECT_EQ("12345678901234567168.", Gcvt(12345678901234567890.0, 20));
  // Any number of digits: the exact binary value, without trailing zeros.
  EXPECT_EQ("0.1000000000000000055511151231257827021181583404541015625", Gcvt(0.1, 5000));
  std::string large = Gcvt(1e300, 400);
  EXPECT_EQ(302u, large.size());
  EXPECT_EQ("100000000000000005250476025520442024870", large.substr(0, 39));
  EXPECT_EQ('.', large.back());
}

TEST_F(CrtTest, GcvtExponentNotationOutsideTheDigitRange) {
  EXPECT_EQ("1.e+021", Gcvt(1e21, 20));
  EXPECT_EQ("1.5e+020", Gcvt(1.5e20, 5));
  EXPECT_EQ("1.5e-005", Gcvt(1.5e-5, 10));
  EXPECT_EQ("1.500000000000000038e-005", Gcvt(1.5e-5, 20));  // the binary value's digits
  EXPECT_EQ("5.e-002", Gcvt(0.05, 10));
  EXPECT_EQ("-1.2346e+008", Gcvt(-123456789.0, 5));
  EXPECT_EQ("1.e+005", Gcvt(99999.5, 5));            // rounding moves it past the digit range
  EXPECT_EQ("-1.2345e-300", Gcvt(-1.2345e-300, 5));  // the longest form fills digits + 8
  EXPECT_EQ("1.e+308", Gcvt(1e308, 1));
  EXPECT_EQ("1.#INF", Gcvt(1.0 / 0.0, 1));
  EXPECT_EQ("-1.#INF", Gcvt(-1.0 / 0.0, 1));
  EXPECT_EQ("1.#QNAN", Gcvt(__builtin_nan(""), 1));
  EXPECT_EQ("2.", Gcvt(2.0, 0));  // fewer than one digit counts as one
}

}  // namespace
