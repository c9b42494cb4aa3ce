// The platform's UTF-8/UTF-16 codec.
#include "platform/utf/utf.h"

#include <gtest/gtest.h>

namespace platform {
namespace utf {
namespace {

TEST(Utf, WellFormedTextRoundTripsAtEveryLengthLimit) {
  // The first and last code point of each UTF-8 length, and the ends of the BMP around the
  // surrogates.
  const char32_t points[] = {0x0,    0x7F,   0x80,    0x7FF,    0x800, 0xD7FF,
                             0xE000, 0xFFFF, 0x10000, 0x10FFFF, 0xFFFD};
  const size_t lengths[] = {1, 1, 2, 2, 3, 3, 3, 3, 4, 4, 3};
  for (size_t k = 0; k < sizeof points / sizeof points[0]; ++k) {
    char bytes[4];
    ASSERT_EQ(EncodeUtf8(points[k], bytes), lengths[k]) << std::hex << points[k];
    char32_t decoded = 0;
    size_t length = 0;
    EXPECT_TRUE(DecodeUtf8(reinterpret_cast<unsigned char*>(bytes), lengths[k], &decoded, &length));
    EXPECT_EQ(decoded, points[k]);
    EXPECT_EQ(length, lengths[k]);
    char16_t units[2] = {0, 0};
    const size_t unitCount = EncodeUtf16(points[k], units);
    EXPECT_EQ(unitCount, points[k] >= 0x10000 ? 2u : 1u);
    EXPECT_TRUE(DecodeUtf16(units, unitCount, &decoded, &length));
    EXPECT_EQ(decoded, points[k]);
  }
  const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf8ToUtf16(text), u"a\u00E9\u20AC\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"a\u00E9\u20AC\U0001F600"), text);
  EXPECT_EQ(Utf16Length(text), 5u);
}

TEST(Utf, MalformedUtf8IsReplacedPerSubpartOrPerByte) {
  struct Case {
    const char* bytes;
    std::u16string perSubpart;
    std::u16string perByte;
  } cases[] = {
      {"\xE2\x82"
       "A",
       u"\uFFFD"
       "A",
       u"\uFFFD\uFFFD"
       "A"},                                                           // cut short
      {"\xC0\x80", u"\uFFFD\uFFFD", u"\uFFFD\uFFFD"},                  // overlong lead
      {"\xE0\x9F\xBF", u"\uFFFD\uFFFD\uFFFD", u"\uFFFD\uFFFD\uFFFD"},  // overlong
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", u"\uFFFD\uFFFD\uFFFD"},  // a surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // > U+10FFFF
      {"\xF0\x9F\x98", u"\uFFFD", u"\uFFFD\uFFFD\uFFFD"},  // last character cut short
      {"\x80", u"\uFFFD", u"\uFFFD"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToUtf16(c.bytes), c.perSubpart) << c.bytes;
    EXPECT_EQ(Utf8ToUtf16(c.bytes, Malformed::kOnePerByte), c.perByte) << c.bytes;
    EXPECT_EQ(Utf16Length(c.bytes), c.perSubpart.size());
    EXPECT_EQ(Utf16Length(c.bytes, Malformed::kOnePerByte), c.perByte.size());
  }
}

TEST(Utf, LoneSurrogatesBecomeTheReplacementCharacter) {
  const char16_t high[] = {0xD83D, u'x'};
  const char16_t low[] = {0xDE00};
  char32_t decoded = 0;
  size_t length = 0;
  EXPECT_FALSE(DecodeUtf16(high, 2, &decoded, &length));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(decoded, kReplacement);
  EXPECT_FALSE(DecodeUtf16(high, 1, &decoded, &length));  // a pair cut short
  EXPECT_FALSE(DecodeUtf16(low, 1, &decoded, &length));
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(high, 2)), "\xEF\xBF\xBDx");
  char bytes[4];
  EXPECT_EQ(EncodeUtf8(0xD800, bytes), 3u);
  EXPECT_EQ(std::string(bytes, 3), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace utf
}  // namespace platform
