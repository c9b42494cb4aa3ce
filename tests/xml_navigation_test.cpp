// The cursor of the XML document and its reads: finding elements by name, moving between
// levels, name arguments, tag names, attribute lookup and value decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/XmlDocument.h"
#include "xml/XmlEntities.h"
#include "xml/XmlNameArgument.h"
#include "xml_test_helpers.h"

namespace {

class XmlNavigationTest : public ::testing::Test {
 protected:
  // The value of attribute name of element, parsed inside a root (whether or not its start tag
  // stays open).
  std::string Value(const std::string& element, const char* name) {
    Parse(document, "<r>" + element + "</r>");
    return document.ElementAttribute(2, name);
  }

  CodePageScope utf8{CP_UTF8};
  CXmlDocument document;
};

const char kLibrary[] =
    "<?xml version=\"1.0\"?>\n"
    "<FBLib>\n"
    "  <Lib libid='1' libcfg='std'>\n"
    "    <FB moduleid='10' modulecfg='add.xml'/>\n"
    "    <Note/>\n"
    "    <FB moduleid='11' modulecfg='sub.xml'/>\n"
    "  </Lib>\n"
    "  <Other/>\n"
    "  <Lib libid='2' libcfg='ext'>\n"
    "    <FB moduleid='20' modulecfg='pid.xml'/>\n"
    "  </Lib>\n"
    "</FBLib>\n";

TEST_F(XmlNavigationTest, WalksALibraryCatalogueTheWayTheReaderDoes) {
  ASSERT_TRUE(Parse(document, kLibrary));
  ASSERT_TRUE(document.FindNext("FBLib"));
  std::vector<std::string> seen;
  while (document.FindNextChild("Lib")) {
    const std::string lib =
        document.ChildAttribute("libid") + ":" + document.ChildAttribute("libcfg");
    ASSERT_TRUE(document.Descend());
    while (document.FindNextChild("FB")) {
      seen.push_back(lib + "/" + document.ChildAttribute("moduleid") + ":" +
                     document.ChildAttribute("modulecfg"));
    }
    ASSERT_TRUE(document.Ascend());
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{"1:std/10:add.xml", "1:std/11:sub.xml", "2:ext/20:pid.xml"}));
  EXPECT_EQ(document.Parent(), 0u);
  EXPECT_EQ(document.TagName(document.Current()), "FBLib");
}

TEST_F(XmlNavigationTest, FindNextChildStepsThroughMatchingChildren) {
  ASSERT_TRUE(Parse(document, "<FBLib><Lib libid='1'/><x/><Lib libid='2'/></FBLib>"));
  // Right after parsing, the root becomes current first.
  ASSERT_TRUE(document.FindNextChild("Lib"));
  EXPECT_EQ(document.Current(), 1u);
  EXPECT_EQ(document.ChildAttribute("libid"), "1");
  ASSERT_TRUE(document.FindNextChild("Lib"));
  EXPECT_EQ(document.ChildAttribute("libid"), "2");
  const uint32_t second = document.CurrentChild();
  EXPECT_FALSE(document.FindNextChild("Lib"));
  EXPECT_EQ(document.CurrentChild(), second);
  EXPECT_EQ(document.ChildAttribute("libid"), "2");
  // FindNext moves on along the top level and drops the current child.
  EXPECT_FALSE(document.FindNext("FBLib"));
  EXPECT_EQ(document.CurrentChild(), second);

  // With nothing at the top level there is nothing to make current.
  ASSERT_FALSE(Parse(document, "text"));
  EXPECT_FALSE(document.FindNextChild(nullptr));
  EXPECT_EQ(document.Current(), 0u);
}

TEST_F(XmlNavigationTest, DescendAndAscendMoveBetweenLevels) {
  ASSERT_TRUE(Parse(document, "<r><a><b/><c/></a><e/></r>"));
  EXPECT_FALSE(document.Descend());  // no current element
  EXPECT_FALSE(document.Ascend());   // already at the top
  ASSERT_TRUE(document.FindNext("r"));
  // Without a current child the new level has no current element: FindNext starts at the
  // first child.
  ASSERT_TRUE(document.Descend());
  EXPECT_EQ(document.Parent(), 1u);
  EXPECT_EQ(document.Current(), 0u);
  ASSERT_TRUE(document.FindNext(nullptr));
  EXPECT_EQ(document.TagName(document.Current()), "a");
  ASSERT_TRUE(document.FindNextChild("c"));
  ASSERT_TRUE(document.Descend());
  EXPECT_EQ(document.TagName(document.Current()), "c");
  // c has no children: the search fails and leaves the cursor as it was.
  EXPECT_FALSE(document.FindNextChild(nullptr));
  EXPECT_EQ(document.TagName(document.Current()), "c");
  EXPECT_EQ(document.CurrentChild(), 0u);
  EXPECT_FALSE(document.FindNext("e"));  // e is not a sibling of c

  ASSERT_TRUE(document.Ascend());
  EXPECT_EQ(document.TagName(document.Current()), "a");
  EXPECT_EQ(document.TagName(document.CurrentChild()), "c");
  ASSERT_TRUE(document.FindNext("e"));
  EXPECT_EQ(document.CurrentChild(), 0u);
  ASSERT_TRUE(document.Ascend());
  EXPECT_EQ(document.Parent(), 0u);
  EXPECT_EQ(document.TagName(document.CurrentChild()), "e");
  EXPECT_FALSE(document.Ascend());
}

TEST_F(XmlNavigationTest, NamesMatchExactlyOnTheFirstStep) {
  ASSERT_TRUE(Parse(document, "<r><lib/><x:Lib/><Library/><Lib id='1'/><Lib id='2'/></r>"));
  ASSERT_TRUE(document.FindNext("r"));
  EXPECT_TRUE(document.FindNextChild("Lib"));
  EXPECT_EQ(document.ChildAttribute("id"), "1");

  // Predicates and further steps are checked for syntax only.
  for (const char* name : {"Lib[2]", "Lib[@id='2']", "Lib[@id=\"]\"]", "Lib[@id=2 3]", "Lib[@id]",
                           "Lib[last()]", "Lib/FB", "Lib/FB[1]/x", "Lib/@id", "Lib[0]"}) {
    document.SetText("<r><Library/><Lib id='1'/><Lib id='2'/></r>");
    ASSERT_TRUE(document.FindNext("r"));
    EXPECT_TRUE(document.FindNextChild(name)) << name;
    EXPECT_EQ(document.ChildAttribute("id"), "1") << name;
  }
  // Absolute paths and arguments that break the syntax find nothing.
  for (const char* name :
       {"/r", "//r", "/r/Lib", "//r/Lib", "/", "//", "r/", "r ", "r[", "r[1", "r]", "r[@a='x]",
        "r[@a=x", "r[1]x", "r/@a/b", "r/@a[1]", "r=x", "r[a b]"}) {
    ASSERT_TRUE(Parse(document, "<r/>"));
    EXPECT_FALSE(document.FindNext(name)) << name;
    EXPECT_EQ(ClassifyXmlNameArgument(name) == XmlNameArgumentKind::Relative, false) << name;
  }
  EXPECT_EQ(ClassifyXmlNameArgument("/r[@a='x']/b/@c"), XmlNameArgumentKind::Absolute);
  EXPECT_EQ(ClassifyXmlNameArgument("//r[2]"), XmlNameArgumentKind::Absolute);
  EXPECT_EQ(ClassifyXmlNameArgument(""), XmlNameArgumentKind::MatchAll);
  EXPECT_EQ(ClassifyXmlNameArgument(nullptr), XmlNameArgumentKind::MatchAll);

  // A tag name that itself holds brackets matches an argument that goes on after it.
  ASSERT_TRUE(Parse(document, "<a[1]/>"));
  EXPECT_TRUE(document.FindNext("a[1]"));
}

TEST_F(XmlNavigationTest, TagNameStopsAtDelimiters) {
  ASSERT_TRUE(Parse(document, "<r><a\\b/><c;d/><x:y/><e?f/><g!h/><i\"j/><k'l/><m=n/></r>"));
  std::vector<std::string> names;
  for (uint32_t p = 2; p < document.NextFree(); ++p) names.push_back(document.TagName(p));
  EXPECT_EQ(names, (std::vector<std::string>{"a", "c", "x:y", "e", "g", "i", "k", "m"}));
  EXPECT_EQ(document.TagName(0), "");
  EXPECT_EQ(document.TagName(document.NextFree()), "");
}

TEST_F(XmlNavigationTest, FindsAttributesInTheStartTag) {
  EXPECT_EQ(Value("<e a = \"x y\"/>", "a"), "x y");
  EXPECT_EQ(Value("<e a='1' b='2'/>", "b"), "2");
  EXPECT_EQ(Value("<e a='>' b=\"'\"/>", "b"), "'");
  EXPECT_EQ(Value("<e a=1/>", "a"), "1/");  // an unquoted value keeps the "/" before ">"
  EXPECT_EQ(Value("<e a=1 b=2></e>", "b"), "2");
  EXPECT_EQ(Value("<e\ta\n=\r'v'/>", "a"), "v");
  // Without "=" an attribute's value is its own name.
  EXPECT_EQ(Value("<input checked/>", "checked"), "checked");
  EXPECT_EQ(Value("<input checked disabled/>", "checked"), "checked");
  EXPECT_EQ(Value("<input checked></input>", "checked"), "checked");
  // Absent attributes, names that are only prefixes, and the tag name itself.
  EXPECT_EQ(Value("<e ab='1'/>", "a"), "");
  EXPECT_EQ(Value("<e a='1'/>", "ab"), "");
  EXPECT_EQ(Value("<e a='1'/>", "A"), "");
  EXPECT_EQ(Value("<e a='1'/>", "e"), "");
  EXPECT_EQ(Value("<e a='1'/>", ""), "");
  EXPECT_EQ(Value("<e a='1'/>", nullptr), "");
  // "/" ends the attribute list.
  EXPECT_EQ(Value("<e / b='1'></e>", "b"), "");
  // An empty quoted value.
  EXPECT_EQ(Value("<e a=''/>", "a"), "");
  // The requested name may go on with a predicate-like tail.
  EXPECT_EQ(Value("<e a='1'/>", "a[x]"), "1");
}

TEST_F(XmlNavigationTest, ChildAttributeNeedsACurrentChild) {
  ASSERT_TRUE(Parse(document, "<r a='1'><c a='2'/></r>"));
  EXPECT_EQ(document.ChildAttribute("a"), "");
  ASSERT_TRUE(document.FindNext("r"));
  EXPECT_EQ(document.ChildAttribute("a"), "");
  ASSERT_TRUE(document.FindNextChild("c"));
  EXPECT_EQ(document.ChildAttribute("a"), "2");
  EXPECT_EQ(document.ChildAttribute(nullptr), "");
  EXPECT_EQ(document.ElementAttribute(1, "a"), "1");
  // Positions that name no element.
  EXPECT_EQ(document.ElementAttribute(0, "a"), "");
  EXPECT_EQ(document.ElementAttribute(3, "a"), "");
  EXPECT_EQ(document.ElementAttribute(0xFFFFFFFFu, "a"), "");
}

TEST_F(XmlNavigationTest, NavigationOnDocumentsWithoutElements) {
  CXmlDocument fresh;
  EXPECT_FALSE(fresh.FindNext(nullptr));
  EXPECT_FALSE(fresh.FindNextChild(nullptr));
  EXPECT_FALSE(fresh.Descend());
  EXPECT_FALSE(fresh.Ascend());
  EXPECT_EQ(fresh.ChildAttribute("a"), "");
  EXPECT_EQ(fresh.ElementAttribute(1, "a"), "");
  fresh.SetText(nullptr);
  EXPECT_FALSE(fresh.FindNext(nullptr));
  fresh.SetText("");
  EXPECT_FALSE(fresh.FindNextChild("a"));
}

TEST_F(XmlNavigationTest, UnendedElementsAreSearchedLikeAnyOther) {
  ASSERT_FALSE(Parse(document, "<r><a x='1'><b x='2'></r>"));
  ASSERT_TRUE(document.FindNext("r"));
  ASSERT_TRUE(document.FindNextChild("b"));
  EXPECT_EQ(document.ChildAttribute("x"), "2");
  ASSERT_TRUE(Parse(document, "<r><a/><b/></r>"));
}

TEST_F(XmlNavigationTest, DecodesReferencesInValues) {
  EXPECT_EQ(Value("<e v='a&amp;b&#x41;&lt;'/>", "v"), "a&bA<");
  EXPECT_EQ(Value("<e v='&#65;&#X41;&#x4a;&#00000065;'/>", "v"), "AAJA");
  EXPECT_EQ(Value("<e v='&#65x;'/>", "v"), "A");  // digits as far as they go
  EXPECT_EQ(Value("<e v='&apos;&quot;&gt;'/>", "v"), "'\">");
  // References that stay as written.
  EXPECT_EQ(Value("<e v='&nosuch;'/>", "v"), "&nosuch;");
  EXPECT_EQ(Value("<e v='&AMP;'/>", "v"), "&AMP;");
  EXPECT_EQ(Value("<e v='&#0;&#;&#x;&;'/>", "v"), "&#0;&#;&#x;&;");
  EXPECT_EQ(Value("<e v='&#000000065;'/>", "v"), "&#000000065;");  // 10 bytes before ";"
  EXPECT_EQ(Value("<e v='&amp'/>", "v"), "&amp");
  EXPECT_EQ(Value("<e v='a & b;'/>", "v"), "a & b;");
  EXPECT_EQ(Value("<e v='&\xC3\xA9;'/>", "v"), "&\xC3\xA9;");
  EXPECT_EQ(Value("<e v='&#x110000;'/>", "v"), "&#x110000;");
  EXPECT_EQ(Value("<e v='&#xD800;'/>", "v"), "&#xD800;");
  // Characters beyond the 16-bit range go through a surrogate pair.
  EXPECT_EQ(Value("<e v='&#x1F600;'/>", "v"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(Value("<e v='&eacute;&#x4E2D;'/>", "v"), "\xC3\xA9\xE4\xB8\xAD");

  // In Windows-1252 a character the code page lacks stays as written.
  CodePageScope latin(1252);
  EXPECT_EQ(Value("<e v='&eacute;&euro;&alpha;&#x4E2D;'/>", "v"), "\xE9\x80&alpha;&#x4E2D;");
}

std::string Utf8(uint32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST_F(XmlNavigationTest, EntityTableHoldsTheHtmlEntitiesAndApos) {
  ASSERT_EQ(XmlEntityCount(), 253u);
  const XmlEntity* entities = XmlEntities();
  for (size_t i = 1; i < XmlEntityCount(); ++i) {
    EXPECT_LT(std::string(entities[i - 1].name), std::string(entities[i].name));
  }
  EXPECT_EQ(LookUpXmlEntity("apos", 4), 39u);
  EXPECT_EQ(LookUpXmlEntity("nbsp", 4), 160u);
  EXPECT_EQ(LookUpXmlEntity("diams", 5), 9830u);
  EXPECT_EQ(LookUpXmlEntity("Alpha", 5), 913u);
  EXPECT_EQ(LookUpXmlEntity("alpha", 5), 945u);
  EXPECT_EQ(LookUpXmlEntity("ALPHA", 5), 0u);
  EXPECT_EQ(LookUpXmlEntity("sup", 3), 8835u);
  EXPECT_EQ(LookUpXmlEntity("sup1", 4), 185u);
  EXPECT_EQ(LookUpXmlEntity("su", 2), 0u);
  EXPECT_EQ(LookUpXmlEntity("", 0), 0u);
}

TEST_F(XmlNavigationTest, EveryEntityDecodesToItsCharacterInUtf8) {
  std::string element = "<e";
  for (size_t i = 0; i < XmlEntityCount(); ++i) {
    element += " a" + std::to_string(i) + "=\"&" + XmlEntities()[i].name + ";\"";
  }
  element += "/>";
  ASSERT_TRUE(Parse(document, "<r>" + element + "</r>"));
  for (size_t i = 0; i < XmlEntityCount(); ++i) {
    const std::string name = "a" + std::to_string(i);
    EXPECT_EQ(document.ElementAttribute(2, name.c_str()), Utf8(XmlEntities()[i].number))
        << XmlEntities()[i].name;
  }
}

TEST_F(XmlNavigationTest, EntitiesDecodeInWindows1252WhereItHasTheCharacter) {
  CodePageScope latin(1252);
  // What each byte of the code page stands for, as the platform converts it.
  std::vector<uint32_t> byteFor(0x10000, 0);
  for (int b = 1; b < 256; ++b) {
    const char in[1] = {static_cast<char>(b)};
    OLECHAR wide[2] = {};
    if (MultiByteToWideChar(1252, MB_ERR_INVALID_CHARS, in, 1, wide, 2) == 1) byteFor[wide[0]] = b;
  }
  int held = 0;
  for (size_t i = 0; i < XmlEntityCount(); ++i) {
    const XmlEntity& entity = XmlEntities()[i];
    const std::string written = std::string("&") + entity.name + ";";
    const std::string value = Value("<e v=\"" + written + "\"/>", "v");
    if (byteFor[entity.number] != 0) {
      ++held;
      EXPECT_EQ(value, std::string(1, static_cast<char>(byteFor[entity.number]))) << entity.name;
    } else {
      EXPECT_EQ(value, written) << entity.name;
    }
  }
  // Latin-1 (100 entities), the four markup ones, and the 1252 extras such as euro and mdash.
  EXPECT_GT(held, 120);
  EXPECT_LT(held, 253);
}

TEST_F(XmlNavigationTest, GbkTrailBytesStayInsideNamesAndArguments) {
  CodePageScope gbk(936);
  // 0x81 0x5C: a character whose trail byte is "\", which would end a tag name.
  const std::string text = "<r><\x81\\b k='\x81\\&#x4E2D;'/><\x81[ k='2'/></r>";
  ASSERT_TRUE(Parse(document, text));
  EXPECT_EQ(document.TagName(2), "\x81\\b");
  ASSERT_TRUE(document.FindNext("r"));
  ASSERT_TRUE(document.FindNextChild("\x81\\b"));
  EXPECT_EQ(document.ChildAttribute("k"), "\x81\\\xD6\xD0");
  // 0x81 0x5B: "[" as a trail byte is part of the name, not a predicate.
  EXPECT_EQ(ClassifyXmlNameArgument("\x81["), XmlNameArgumentKind::Relative);
  ASSERT_TRUE(document.FindNextChild("\x81["));
  EXPECT_EQ(document.ChildAttribute("k"), "2");

  // In UTF-8 the same bytes are no characters: "\" ends the tag name, "[" opens a predicate.
  CodePageScope utf(CP_UTF8);
  ASSERT_TRUE(Parse(document, text));
  EXPECT_EQ(document.TagName(2), "\x81");
  EXPECT_EQ(ClassifyXmlNameArgument("\x81["), XmlNameArgumentKind::Invalid);
}

TEST_F(XmlNavigationTest, NavigatesAcrossTheFirstBlockBoundary) {
  // 70,000 children: the elements from position 0x10000 on lie in the second block.
  std::string text = "<r>";
  for (int i = 0; i < 70000; ++i) text += "<c n='" + std::to_string(i) + "'/>";
  text += "</r>";
  ASSERT_TRUE(Parse(document, text));
  ASSERT_TRUE(document.FindNext("r"));
  int count = 0;
  uint32_t crossing = 0;
  while (document.FindNextChild("c")) {
    const uint32_t position = document.CurrentChild();
    if (count == 65533) {  // children start at position 2
      EXPECT_EQ(position, 0xFFFFu);
      EXPECT_EQ(document.ChildAttribute("n"), "65533");
    }
    if (count == 65534) {
      crossing = position;
      EXPECT_EQ(document.ChildAttribute("n"), "65534");
    }
    ++count;
  }
  EXPECT_EQ(count, 70000);
  EXPECT_EQ(crossing, 0x10000u);
  EXPECT_EQ(crossing >> 16, 1u);
  EXPECT_EQ(document.CurrentChild(), 70001u);
  EXPECT_EQ(document.ChildAttribute("n"), "69999");
  ASSERT_TRUE(document.Descend());
  EXPECT_EQ(document.Current(), 70001u);
  ASSERT_TRUE(document.Ascend());
  EXPECT_EQ(document.CurrentChild(), 70001u);
  EXPECT_EQ(document.ElementAttribute(0x10001, "n"), "65535");
  EXPECT_EQ(document.Entry(0x10000)->previousSibling, 0xFFFFu);
}

}  // namespace
