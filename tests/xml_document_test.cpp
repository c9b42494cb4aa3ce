// The document model and parser: the element index, its sizing and growth, tree building with
// the recovery of unbalanced nesting, the result log and the well-formed test.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/XmlIndexCheck.h"
#include "xml/XmlDocument.h"
#include "xml_test_helpers.h"

namespace {

class XmlDocumentTest : public ::testing::Test {
 protected:
  const XmlElementEntry& E(uint32_t position) {
    const XmlElementEntry* entry = document.Entry(position);
    EXPECT_NE(entry, nullptr) << "position " << position;
    static const XmlElementEntry kNone = {};
    return entry != nullptr ? *entry : kNone;
  }
  uint32_t Depth(uint32_t position) { return E(position).flags & kXmlDepthMask; }
  uint32_t StartTagLength(uint32_t position) {
    return E(position).tagLengths & kXmlStartTagLengthMask;
  }
  uint32_t EndTagLength(uint32_t position) {
    return E(position).tagLengths >> kXmlEndTagLengthShift;
  }
  // Names of the children of position in sibling order.
  std::string Children(uint32_t position) {
    std::string names;
    for (uint32_t child = E(position).firstChild; child != 0; child = E(child).nextSibling) {
      names += document.TagName(child) + ",";
    }
    return names;
  }

  CodePageScope utf8{CP_UTF8};
  CXmlDocument document;
};

TEST_F(XmlDocumentTest, NewAndNullDocumentsHaveNoIndex) {
  EXPECT_EQ(document.Entry(0), nullptr);
  EXPECT_EQ(document.Capacity(), 0u);
  EXPECT_EQ(CheckXmlIndex(document), "");
  EXPECT_FALSE(document.SetText(nullptr));
  EXPECT_EQ(document.ResultLog(), "");
  EXPECT_EQ(document.Capacity(), 0u);

  ASSERT_TRUE(Parse(document, "<a/>"));
  EXPECT_NE(document.Capacity(), 0u);
  EXPECT_FALSE(document.SetText(nullptr));
  EXPECT_EQ(document.Text(), "");
  EXPECT_EQ(document.Capacity(), 0u);
  EXPECT_EQ(document.BlockTableSlots(), 0u);
  EXPECT_EQ(document.Entry(0), nullptr);
  EXPECT_EQ(CheckXmlIndex(document), "");
}

TEST_F(XmlDocumentTest, EmptyTextIsNotWellFormedAndLogsNothing) {
  EXPECT_FALSE(Parse(document, ""));
  EXPECT_EQ(document.ResultLog(), "");
  EXPECT_EQ(document.NextFree(), 1u);
  EXPECT_EQ(document.Capacity(), 8u);
  EXPECT_EQ(E(0).length, 0u);
  EXPECT_EQ(E(0).firstChild, 0u);
}

TEST_F(XmlDocumentTest, TextWithoutElementsLogsNoRootElement) {
  for (const char* text : {"  \r\n\t", "<!-- only a comment -->", "plain text", "<?pi?>"}) {
    EXPECT_FALSE(Parse(document, text)) << text;
    EXPECT_EQ(document.ResultLog(), "<no_root_element/>") << text;
    EXPECT_EQ(document.NextFree(), 1u);
    EXPECT_EQ(E(0).length, strlen(text));
  }
}

TEST_F(XmlDocumentTest, IndexesAWellFormedDocument) {
  const std::string text = "<?xml version=\"1.0\"?>\n<a x=\"1\">\n <b/>\n <c>t</c>\n</a>\n";
  ASSERT_TRUE(Parse(document, text));
  EXPECT_EQ(document.ResultLog(), "");
  ASSERT_EQ(document.NextFree(), 4u);

  EXPECT_EQ(E(0).length, text.size());
  EXPECT_EQ(E(0).firstChild, 1u);
  EXPECT_EQ(E(0).flags, 0u);

  const uint32_t a = 1, b = 2, c = 3;
  EXPECT_EQ(E(a).start, 22u);
  EXPECT_EQ(E(a).length, text.size() - 1 - 22);
  EXPECT_EQ(StartTagLength(a), 9u);
  EXPECT_EQ(EndTagLength(a), 4u);
  EXPECT_EQ(E(a).flags, kXmlFirstChild);
  EXPECT_EQ(E(a).parent, 0u);
  EXPECT_EQ(E(a).previousSibling, a);  // the only top-level element is its own last sibling
  EXPECT_EQ(Children(a), "b,c,");

  EXPECT_EQ(E(b).length, 4u);
  EXPECT_EQ(StartTagLength(b), 4u);
  EXPECT_EQ(EndTagLength(b), 0u);
  EXPECT_EQ(E(b).flags, kXmlFirstChild | 1u);
  EXPECT_EQ(E(b).previousSibling, c);
  EXPECT_EQ(E(b).nextSibling, c);

  EXPECT_EQ(E(c).length, 8u);
  EXPECT_EQ(EndTagLength(c), 4u);
  EXPECT_EQ(E(c).flags, 1u);
  EXPECT_EQ(E(c).previousSibling, b);
  EXPECT_EQ(E(c).nextSibling, 0u);
  EXPECT_EQ(E(c).parent, a);
  EXPECT_TRUE(document.IsWellFormed());
}

TEST_F(XmlDocumentTest, TopLevelSiblingsMakeTheDocumentNotWellFormed) {
  EXPECT_FALSE(Parse(document, "<a/><b/>"));
  EXPECT_EQ(document.ResultLog(), "<root_has_sibling/>");
  EXPECT_EQ(Children(0), "a,b,");
  EXPECT_EQ(E(0).flags & kXmlNotWellFormed, 0u);
  EXPECT_EQ(E(1).previousSibling, 2u);
  EXPECT_EQ(E(2).flags & kXmlFirstChild, 0u);
}

TEST_F(XmlDocumentTest, UnendedElementKeepsItsStartTagAsExtent) {
  EXPECT_FALSE(Parse(document, "<a><b></a>"));
  EXPECT_EQ(document.ResultLog(), "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"7\"/>");
  EXPECT_EQ(E(2).flags, kXmlFirstChild | kXmlUnended | 1u);
  EXPECT_EQ(E(2).length, 3u);
  EXPECT_EQ(E(2).tagLengths, 3u);
  EXPECT_EQ(E(1).length, 10u);
  EXPECT_EQ(EndTagLength(1), 4u);
  EXPECT_EQ(E(1).flags & kXmlUnended, 0u);
  EXPECT_NE(E(0).flags & kXmlNotWellFormed, 0u);

  EXPECT_FALSE(Parse(document, "<a>"));
  EXPECT_EQ(document.ResultLog(), "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"3\"/>");
  EXPECT_EQ(E(1).flags, kXmlFirstChild | kXmlUnended);
}

TEST_F(XmlDocumentTest, ChildrenOfAnUnendedElementFollowItAsSiblings) {
  EXPECT_FALSE(Parse(document, "<a><b><c/></a>"));
  EXPECT_EQ(Children(1), "b,c,");
  EXPECT_EQ(Children(2), "");
  EXPECT_EQ(E(3).parent, 1u);
  EXPECT_EQ(E(3).previousSibling, 2u);
  EXPECT_EQ(E(3).flags, 1u);  // no longer a first child; depth follows its new parent
  EXPECT_EQ(E(2).previousSibling, 3u);

  // Several unended elements closed by one end tag, innermost first in the log.
  const std::string text = "<r><a><x/><b><y><z/></y></r>";
  EXPECT_FALSE(Parse(document, text));
  EXPECT_EQ(document.ResultLog(),
            "<unended_start_tag tagname=\"b\" offset=\"10\" offset2=\"25\"/>"
            "<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"25\"/>");
  EXPECT_EQ(Children(1), "a,x,b,y,");
  EXPECT_EQ(Children(5), "z,");
  EXPECT_EQ(Depth(5), 1u);
  EXPECT_EQ(Depth(6), 2u);

  // At the end of the text the elements go to the top level.
  EXPECT_FALSE(Parse(document, "<a><b/><c><d/>"));
  EXPECT_EQ(Children(0), "a,b,c,d,");
  EXPECT_EQ(document.ResultLog(),
            "<unended_start_tag tagname=\"c\" offset=\"7\" offset2=\"14\"/>"
            "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"14\"/>"
            "<root_has_sibling/>");
}

TEST_F(XmlDocumentTest, LoneEndTagIsLoggedAndSkipped) {
  EXPECT_FALSE(Parse(document, "<a></b></a>"));
  EXPECT_EQ(document.ResultLog(), "<lone_end_tag tagname=\"b\" offset=\"3\"/>");
  EXPECT_EQ(E(1).length, 11u);
  EXPECT_EQ(E(1).flags, kXmlFirstChild | kXmlErrorInside);
  EXPECT_EQ(E(0).flags, kXmlNotWellFormed);

  EXPECT_FALSE(Parse(document, "</x><a/>"));
  EXPECT_EQ(document.ResultLog(), "<lone_end_tag tagname=\"x\" offset=\"0\"/>");
  EXPECT_EQ(E(0).flags, kXmlNotWellFormed | kXmlErrorInside);
}

TEST_F(XmlDocumentTest, EndTagClosesTheInnermostOpenElementOfItsName) {
  // The inner a is closed; the outer one stays open to the end, and its child b moves up.
  EXPECT_FALSE(Parse(document, "<a><b><a></a></b>"));
  EXPECT_EQ(document.ResultLog(),
            "<unended_start_tag tagname=\"a\" offset=\"0\" offset2=\"17\"/><root_has_sibling/>");
  EXPECT_EQ(Children(0), "a,b,");
  EXPECT_EQ(Children(2), "a,");
  EXPECT_EQ(E(3).length, 7u);
  // The end-tag name may go on after the open name with "=", "[" or "]".
  EXPECT_TRUE(Parse(document, "<a></a[1]>"));
  EXPECT_TRUE(Parse(document, "<a></a=>"));
  // Names compare exactly: case matters and a longer name does not close a shorter one.
  EXPECT_FALSE(Parse(document, "<a></A></ab></a>"));
  EXPECT_EQ(
      document.ResultLog(),
      "<lone_end_tag tagname=\"A\" offset=\"3\"/><lone_end_tag tagname=\"ab\" offset=\"7\"/>");
  EXPECT_TRUE(Parse(document, "<a ></a\n>"));

  // After a lone end tag, deeper matches are still found among the open elements.
  EXPECT_FALSE(Parse(document, "<r><a></x><b><c></b><d></d></r>"));
  EXPECT_EQ(document.ResultLog(),
            "<lone_end_tag tagname=\"x\" offset=\"6\"/>"
            "<unended_start_tag tagname=\"c\" offset=\"13\" offset2=\"17\"/>"
            "<unended_start_tag tagname=\"a\" offset=\"3\" offset2=\"28\"/>");
  EXPECT_EQ(Children(1), "a,b,d,");
  EXPECT_EQ(Children(3), "c,");
  EXPECT_EQ(E(1).length, 31u);
}

TEST_F(XmlDocumentTest, ErrorFlagMovesToTheParentOfAnUnendedElement) {
  EXPECT_FALSE(Parse(document, "<a><b><1></a>"));
  EXPECT_EQ(document.ResultLog(),
            "<first_tag_syntax offset=\"6\"/>"
            "<unended_start_tag tagname=\"b\" offset=\"3\" offset2=\"10\"/>");
  EXPECT_EQ(E(2).flags & kXmlErrorInside, 0u);
  EXPECT_NE(E(1).flags & kXmlErrorInside, 0u);
}

TEST_F(XmlDocumentTest, SyntaxErrorsGoToTheLogInTheOrderFound) {
  EXPECT_FALSE(Parse(document, "<r><1a></r>"));
  EXPECT_EQ(document.ResultLog(), "<first_tag_syntax offset=\"3\"/>");
  EXPECT_EQ(E(1).flags, kXmlFirstChild | kXmlErrorInside);
  EXPECT_EQ(E(0).flags, kXmlNotWellFormed);

  EXPECT_FALSE(Parse(document, "<1a"));
  EXPECT_EQ(document.ResultLog(),
            "<first_tag_syntax offset=\"0\"/><unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"
            "<no_root_element/>");

  EXPECT_FALSE(Parse(document, "<r></x><!-- x"));
  EXPECT_EQ(document.ResultLog(),
            "<lone_end_tag tagname=\"x\" offset=\"3\"/>"
            "<unterminated_tag_syntax type=\"comment\" offset=\"7\"/>"
            "<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"13\"/>");

  EXPECT_FALSE(Parse(document, "<r><a b='>"));
  EXPECT_EQ(document.ResultLog(),
            "<unterminated_tag_syntax type=\"start_tag\" offset=\"3\"/>"
            "<unended_start_tag tagname=\"r\" offset=\"0\" offset2=\"10\"/>");
  EXPECT_EQ(document.NextFree(), 2u);  // the unterminated start tag is not an element
}

TEST_F(XmlDocumentTest, BadDeclarationInADocumentTypeIsLoggedOnly) {
  EXPECT_TRUE(Parse(document, "<!DOCTYPE r [<!X>]><r/>"));
  EXPECT_EQ(document.ResultLog(), "<doctype_tag_syntax offset=\"0\"/>");
  EXPECT_EQ(E(0).flags, 0u);
}

TEST_F(XmlDocumentTest, AttributeValuesHideMarkupFromTheParser) {
  EXPECT_TRUE(Parse(document, "<a b='x>y'/>"));
  EXPECT_EQ(E(1).length, 12u);
  // An unquoted value keeps the "/": the start tag stays open.
  EXPECT_FALSE(Parse(document, "<a b=c/>"));
  EXPECT_NE(E(1).flags & kXmlUnended, 0u);
}

TEST_F(XmlDocumentTest, LogEscapesTextValues) {
  EXPECT_FALSE(Parse(document, "<a\"&'<>"));
  EXPECT_EQ(document.ResultLog(),
            "<unended_start_tag tagname=\"a&quot;&amp;&apos;&lt;\" offset=\"0\" offset2=\"7\"/>");
  EXPECT_FALSE(Parse(document, "<r></a<b></r>"));
  EXPECT_EQ(document.ResultLog(), "<lone_end_tag tagname=\"a&lt;b\" offset=\"3\"/>");
}

// A log takes entries while it is at most 999 characters long.
TEST_F(XmlDocumentTest, ResultLogDropsEntriesOnceLongerThan999Characters) {
  // "<r>" then end tags named to make the log exactly `target` characters before a last entry.
  auto logAt = [&](size_t target) {
    std::string text = "<r>";
    std::string expected;
    auto entry = [](const std::string& name, size_t offset) {
      return "<lone_end_tag tagname=\"" + name + "\" offset=\"" + std::to_string(offset) + "\"/>";
    };
    while (expected.size() + entry("b", text.size()).size() + 60 < target) {
      expected += entry("b", text.size());
      text += "</b>";
    }
    // A filler whose entry brings the log to exactly target characters.
    size_t fillerLength = target - expected.size() - entry("", text.size()).size();
    std::string filler(fillerLength, 'f');
    expected += entry(filler, text.size());
    EXPECT_EQ(expected.size(), target);
    text += "</" + filler + ">";
    const std::string last = entry("z", text.size());
    text += "</z></r>";
    EXPECT_FALSE(Parse(document, text));
    return std::make_pair(expected, last);
  };
  auto [at999, last999] = logAt(999);
  EXPECT_EQ(document.ResultLog(), at999 + last999);
  auto [at1000, last1000] = logAt(1000);
  EXPECT_EQ(document.ResultLog(), at1000);

  // The closing entries of the parse are dropped too.
  std::string many = "<r>";
  for (int i = 0; i < 200; ++i) many += "</x>";
  EXPECT_FALSE(Parse(document, many + "<a><b>"));
  EXPECT_LT(document.ResultLog().size(), 1100u);
  EXPECT_EQ(document.ResultLog().find("unended"), std::string::npos);
}

TEST_F(XmlDocumentTest, IndexIsSizedFromTheTextAndGrowsByHalf) {
  std::string text(1000, ' ');
  text += "<a/>";
  ASSERT_TRUE(Parse(document, text));
  EXPECT_EQ(document.Capacity(), 1004u / 64 + 8);
  EXPECT_EQ(document.BlockTableSlots(), 4u);

  // 100 elements in 409 bytes: 14 entries at first, then 21, 31, 46, 69, 103.
  std::string many = "<r>";
  for (int i = 0; i < 99; ++i) many += "<a/>";
  many += "</r>";
  CXmlDocument fresh;
  ASSERT_TRUE(fresh.SetText(many.c_str()));
  EXPECT_EQ(CheckXmlIndex(fresh), "");
  EXPECT_EQ(fresh.NextFree(), 101u);
  EXPECT_EQ(fresh.Capacity(), 103u);

  // The capacity stays for the next parse.
  ASSERT_TRUE(fresh.SetText("<a/>"));
  EXPECT_EQ(fresh.Capacity(), 103u);
  EXPECT_EQ(fresh.NextFree(), 2u);
}

// Simulates the growth of the index: grow by half when full, never past the next block's end.
uint64_t ExpectedCapacity(uint64_t textLength, uint64_t elements) {
  uint64_t capacity = 0;
  auto grow = [&](uint64_t wanted) {
    uint64_t limit = capacity == 0 ? 65536 : (((capacity - 1) >> 16) + 2) * 65536;
    capacity = std::min(wanted, limit);
  };
  while (capacity < textLength / 64 + 8) grow(textLength / 64 + 8);
  for (uint64_t nextFree = 1; nextFree <= elements; ++nextFree) {
    if (nextFree == capacity) grow(nextFree + nextFree / 2);
  }
  return capacity;
}

TEST_F(XmlDocumentTest, IndexGrowsBlockByBlock) {
  // 300,000 elements need five blocks; the block table then grows from 4 to 2 * 4 + 4 slots.
  std::string text = "<r>";
  for (int i = 0; i < 299999; ++i) text += "<a/>";
  text += "</r>";
  ASSERT_TRUE(Parse(document, text));
  EXPECT_EQ(document.NextFree(), 300001u);
  EXPECT_EQ(document.Capacity(), ExpectedCapacity(text.size(), 300000));
  EXPECT_EQ(document.BlockTableSlots(), 12u);
  const uint32_t last = 300000;
  EXPECT_EQ(last >> 16, 4u);
  EXPECT_EQ(E(last).start, text.size() - 8);
  EXPECT_EQ(E(last).parent, 1u);
  EXPECT_EQ(E(0x10000).previousSibling, 0xFFFFu);
  EXPECT_EQ(E(0xFFFF).nextSibling, 0x10000u);

  // A text long enough to need several blocks from the start gets them at once.
  std::string wide(9000000, ' ');
  wide += "<a/>";
  CXmlDocument fresh;
  ASSERT_TRUE(Parse(fresh, wide));
  EXPECT_EQ(fresh.Capacity(), wide.size() / 64 + 8);
  EXPECT_EQ(fresh.BlockTableSlots(), 4u);
}

TEST_F(XmlDocumentTest, DeepAndBrokenDocumentsParseInLinearTime) {
  const auto started = std::chrono::steady_clock::now();
  // 200,000 unended elements closed by one end tag.
  std::string chain = "<r>";
  for (int i = 0; i < 200000; ++i) chain += "<a>";
  chain += "</r>";
  EXPECT_FALSE(Parse(document, chain));
  EXPECT_EQ(E(1).length, chain.size());
  EXPECT_EQ(Depth(200001), 1u);
  EXPECT_EQ(E(200000).nextSibling, 200001u);

  // A deep stack of open elements and many end tags that close none of them.
  std::string lone;
  for (int i = 0; i < 100000; ++i) lone += "<a>";
  for (int i = 0; i < 100000; ++i) lone += "</b>";
  EXPECT_FALSE(Parse(document, lone));
  EXPECT_EQ(Depth(100000), 0u);  // all went to the top level at the end

  // The same with distinct names, and with an end-tag name of many possible cuts.
  std::string distinct;
  for (int i = 0; i < 50000; ++i) distinct += "<a" + std::to_string(i) + ">";
  for (int i = 0; i < 50000; ++i) distinct += "</b" + std::to_string(i) + ">";
  distinct += "</";
  for (int i = 0; i < 50000; ++i) distinct += "x=";
  distinct += "></a0>";
  EXPECT_FALSE(Parse(document, distinct));
  EXPECT_EQ(E(1).length, distinct.size());

  // Nesting deeper than the depth field saturates it.
  std::string deep;
  for (int i = 0; i < 70000; ++i) deep += "<a>";
  for (int i = 0; i < 70000; ++i) deep += "</a>";
  EXPECT_TRUE(Parse(document, deep));
  EXPECT_EQ(Depth(65535), 65534u);
  EXPECT_EQ(Depth(65536), 65535u);
  EXPECT_EQ(Depth(70000), 65535u);

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_LT(seconds, 20.0);
}

TEST_F(XmlDocumentTest, EveryParseStartsAfresh) {
  EXPECT_FALSE(Parse(document, "<a></b>"));
  EXPECT_NE(document.ResultLog(), "");
  ASSERT_TRUE(document.FindNext("a"));
  EXPECT_TRUE(Parse(document, "<x/>"));
  EXPECT_EQ(document.ResultLog(), "");
  EXPECT_EQ(document.Current(), 0u);
  EXPECT_EQ(document.Parent(), 0u);
  EXPECT_EQ(document.CurrentChild(), 0u);
  EXPECT_EQ(E(0).flags, 0u);
  EXPECT_EQ(document.NextFree(), 2u);
}

TEST_F(XmlDocumentTest, GbkNamesWithMarkupLikeTrailBytes) {
  CodePageScope gbk(936);
  // 0x81 0x5C ("\" as trail), 0x81 0x2F and 0x81 0x3E (no characters: "/" and ">" count).
  const std::string text = "<r\x81\\><\x81/><a\x81></a\x81></r\x81\\>";
  EXPECT_TRUE(Parse(document, text));
  EXPECT_EQ(document.ResultLog(), "");
  EXPECT_EQ(document.TagName(1), "r\x81\\");
  EXPECT_EQ(Children(1), "\x81,a\x81,");
  EXPECT_EQ(E(2).length, 4u);

  // In UTF-8 the same bytes are no characters; the end tag still matches byte for byte.
  CodePageScope utf(CP_UTF8);
  EXPECT_TRUE(Parse(document, text));
  EXPECT_EQ(document.TagName(1), "r\x81");
}

TEST_F(XmlDocumentTest, ArbitraryBytesNeverBreakTheIndex) {
  // A small deterministic generator over markup-heavy bytes.
  const char alphabet[] = "<>/!?-[]=\"' abDCE\x81\\\xC3\xA9";
  uint32_t state = 12345;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int length = 1 + round % 60;
    for (int i = 0; i < length; ++i) {
      state = state * 1103515245u + 12345u;
      text += alphabet[(state >> 16) % (sizeof alphabet - 1)];
    }
    CodePageScope page(round % 2 == 0 ? CP_UTF8 : 936);
    bool wellFormed = Parse(document, text);
    EXPECT_EQ(wellFormed, document.IsWellFormed());
    if (wellFormed) {
      EXPECT_EQ(E(0).flags & kXmlNotWellFormed, 0u) << text;
    }
  }
}

}  // namespace
