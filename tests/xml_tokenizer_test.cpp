// The tokenizer of the XML document: token kinds and extents, names, attribute-value tracking,
// end markers, document types, syntax errors and multi-byte safety.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/XmlTokenizer.h"
#include "xml_test_helpers.h"

namespace {

struct Tokens {
  std::vector<XmlToken> tokens;  // without the end-of-text token
  std::string errors;
};

Tokens Tokenize(const std::string& text) {
  Tokens result;
  CXmlTokenizer tokenizer(text.c_str(), text.size());
  uint32_t expectedStart = 0;
  for (;;) {
    XmlToken token;
    tokenizer.Next(token);
    EXPECT_EQ(token.start, expectedStart) << "tokens must follow each other in " << text;
    if (token.kind == XmlTokenKind::EndOfText) break;
    EXPECT_GT(token.length, 0u) << text;
    expectedStart = token.start + token.length;
    result.tokens.push_back(token);
    if (result.tokens.size() > text.size()) {
      ADD_FAILURE() << "no progress in " << text;
      break;
    }
  }
  EXPECT_EQ(expectedStart, text.size());
  result.errors = tokenizer.SyntaxErrors();
  return result;
}

std::string Piece(const std::string& text, const XmlToken& token) {
  return text.substr(token.start, token.length);
}

std::string Name(const std::string& text, const XmlToken& token) {
  return text.substr(token.nameFirst, token.nameLast + 1 - token.nameFirst);
}

// The kinds and pieces of every token, for compact expectations.
std::string Describe(const std::string& text) {
  Tokens result = Tokenize(text);
  std::string out;
  for (const XmlToken& token : result.tokens) {
    static const char* const kNames[] = {"end",   "start", "endtag",  "text",    "ws",
                                         "cdata", "pi",    "comment", "doctype", "error"};
    out += kNames[static_cast<int>(token.kind)];
    if (token.emptyElement) out += "/";
    out += "[" + Piece(text, token) + "]";
  }
  return out;
}

class XmlTokenizerTest : public ::testing::Test {
 protected:
  CodePageScope utf8{CP_UTF8};
};

TEST_F(XmlTokenizerTest, SplitsADocumentIntoTokensWithOffsetsAndNames) {
  const std::string text =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a=\"1\"><!-- c --><![CDATA[x<y]]>"
      "text <b/></r >";
  EXPECT_EQ(Describe(text),
            "pi[<?xml version=\"1.0\"?>]ws[\n]doctype[<!DOCTYPE r>]ws[\n]start[<r a=\"1\">]"
            "comment[<!-- c -->]cdata[<![CDATA[x<y]]>]text[text ]start/[<b/>]endtag[</r >]");
  Tokens result = Tokenize(text);
  ASSERT_EQ(result.tokens.size(), 10u);
  EXPECT_EQ(Name(text, result.tokens[0]), "xml");
  EXPECT_EQ(Name(text, result.tokens[4]), "r");
  EXPECT_EQ(result.tokens[4].start, 35u);
  EXPECT_EQ(Name(text, result.tokens[8]), "b");
  EXPECT_EQ(Name(text, result.tokens[9]), "r");
  EXPECT_EQ(result.errors, "");
}

TEST_F(XmlTokenizerTest, EmptyNamesHaveLastBeforeFirst) {
  const std::string text = "</><?>";
  Tokens result = Tokenize(text);
  ASSERT_EQ(result.tokens.size(), 2u);
  EXPECT_EQ(result.tokens[0].kind, XmlTokenKind::EndTag);
  EXPECT_EQ(result.tokens[0].nameFirst, 2u);
  EXPECT_EQ(result.tokens[0].nameLast, 1u);
  EXPECT_EQ(result.tokens[1].kind, XmlTokenKind::ProcessingInstruction);
  EXPECT_EQ(result.tokens[1].nameFirst, 5u);
  EXPECT_EQ(result.tokens[1].nameLast, 4u);
}

TEST_F(XmlTokenizerTest, NamesRunUpToWhitespaceSlashOrGreaterOnly) {
  const std::string text = "<a=b\"c<d/></x[1]\t><?p?>";
  Tokens result = Tokenize(text);
  ASSERT_EQ(result.tokens.size(), 3u);
  EXPECT_EQ(Name(text, result.tokens[0]), "a=b\"c<d");
  EXPECT_TRUE(result.tokens[0].emptyElement);
  EXPECT_EQ(Name(text, result.tokens[1]), "x[1]");
  EXPECT_EQ(Name(text, result.tokens[2]), "p?");
}

TEST_F(XmlTokenizerTest, TellsEmptyElementTagsFromOpenStartTags) {
  EXPECT_EQ(Describe("<a/>"), "start/[<a/>]");
  EXPECT_EQ(Describe("<a />"), "start/[<a />]");
  EXPECT_EQ(Describe("<a\n/>"), "start/[<a\n/>]");
  EXPECT_EQ(Describe("<a b='c'/>"), "start/[<a b='c'/>]");
  EXPECT_EQ(Describe("<a b=\"c\"/>"), "start/[<a b=\"c\"/>]");
  EXPECT_EQ(Describe("<a b=c/>"), "start[<a b=c/>]");
  EXPECT_EQ(Describe("<a b/>"), "start[<a b/>]");
  EXPECT_EQ(Describe("<a/ >"), "start[<a/ >]");
  // The rule looks at the bytes before "/>" only.
  EXPECT_EQ(Describe("<a b= />"), "start/[<a b= />]");
}

TEST_F(XmlTokenizerTest, QuotedAttributeValuesHideGreaterSigns) {
  EXPECT_EQ(Describe("<a b='x>y'/>"), "start/[<a b='x>y'/>]");
  EXPECT_EQ(Describe("<a b=\"x'>\"c>"), "start[<a b=\"x'>\"c>]");
  EXPECT_EQ(Describe("<a b = \t'>'>t"), "start[<a b = \t'>'>]text[t]");
  // A second "=" in a row does not count; the quote after it still opens a value.
  EXPECT_EQ(Describe("<a b==\">\">"), "start[<a b==\">\">]");
  // Quotes outside attribute values mean nothing.
  EXPECT_EQ(Describe("<a 'b>c'>"), "start[<a 'b>]text[c'>]");
  EXPECT_EQ(Describe("<a b=c'>'>"), "start[<a b=c'>]text['>]");
}

TEST_F(XmlTokenizerTest, EndMarkersMayReuseTheOpeningBytes) {
  EXPECT_EQ(Describe("<!-->x"), "comment[<!-->]text[x]");
  EXPECT_EQ(Describe("<!--->"), "comment[<!--->]");
  EXPECT_EQ(Describe("<!-- a -- > b -->"), "comment[<!-- a -- > b -->]");
  EXPECT_EQ(Describe("<?>x"), "pi[<?>]text[x]");
  EXPECT_EQ(Describe("<?a > b ?>"), "pi[<?a > b ?>]");
  EXPECT_EQ(Describe("<![C]]>"), "cdata[<![C]]>]");
  EXPECT_EQ(Describe("<![CDATA[ ]> ]]>"), "cdata[<![CDATA[ ]> ]]>]");
}

TEST_F(XmlTokenizerTest, DocumentTypeEndsAfterItsInternalSubset) {
  EXPECT_EQ(Describe("<!DOCTYPE r [<!ENTITY e \"a>b\"><!-- > --><?p > ?>"
                     "<!ATTLIST r a CDATA 'x\">'><!NOTATION n SYSTEM \"'>\">]><r/>"),
            "doctype[<!DOCTYPE r [<!ENTITY e \"a>b\"><!-- > --><?p > ?>"
            "<!ATTLIST r a CDATA 'x\">'><!NOTATION n SYSTEM \"'>\">]>]start/[<r/>]");
  // Quotes in the document type's own text are not tracked.
  EXPECT_EQ(Describe("<!DOCTYPE r SYSTEM \"a>b\">"), "doctype[<!DOCTYPE r SYSTEM \"a>]text[b\">]");
  // A "<" that starts no declaration, comment or instruction is ordinary text there.
  EXPECT_EQ(Describe("<!Dx <y>"), "doctype[<!Dx <y>]");
  EXPECT_EQ(Tokenize("<!DOCTYPE r [<!ENTITY e 'x'>]>").errors, "");
}

TEST_F(XmlTokenizerTest, TextAndWhitespaceRuns) {
  EXPECT_EQ(Describe(" \t\r\n"), "ws[ \t\r\n]");
  EXPECT_EQ(Describe("  <a/>"), "ws[  ]start/[<a/>]");
  EXPECT_EQ(Describe("  x > y<a/>z"), "text[  x > y]start/[<a/>]text[z]");
  EXPECT_EQ(Describe(""), "");
}

TEST_F(XmlTokenizerTest, MalformedMarkupBecomesASyntaxErrorEntry) {
  Tokens result = Tokenize("<1a>x");
  EXPECT_EQ(result.errors, "<first_tag_syntax offset=\"0\"/>");
  EXPECT_EQ(Describe("<1a>x"), "error[<1a>]text[x]");

  // The token stops before the next "<", or after a ">" outside quoted values.
  EXPECT_EQ(Describe("<<a/>"), "error[<]start/[<a/>]");
  EXPECT_EQ(Describe("<1 a='>'>"), "error[<1 a='>'>]");
  EXPECT_EQ(Describe("<1 a<b/>"), "error[<1 a]start/[<b/>]");
  EXPECT_EQ(Describe("<>"), "error[<>]");
  EXPECT_EQ(Tokenize("<>").errors, "<first_tag_syntax offset=\"0\"/>");

  EXPECT_EQ(Tokenize("ab<!x>").errors, "<exclamation_tag_syntax offset=\"2\"/>");
  EXPECT_EQ(Describe("ab<!x>"), "text[ab]error[<!x>]");
  EXPECT_EQ(Tokenize("<!-x>").errors, "<comment_tag_syntax offset=\"0\"/>");
  EXPECT_EQ(Describe("<!-x>"), "error[<!-x>]");
  EXPECT_EQ(Tokenize("<![x>").errors, "<cdata_section_syntax offset=\"0\"/>");
  EXPECT_EQ(Describe("<![x><a/>"), "error[<![x>]start/[<a/>]");

  // Inside a document type: a bad declaration is reported and skipped, the document type goes on.
  const std::string doctype = "<a/><!DOCTYPE r [<!X>]><b/>";
  EXPECT_EQ(Tokenize(doctype).errors, "<doctype_tag_syntax offset=\"4\"/>");
  EXPECT_EQ(Describe(doctype), "start/[<a/>]doctype[<!DOCTYPE r [<!X>]>]start/[<b/>]");
  // A bad comment opening there ends the document type as a syntax error.
  EXPECT_EQ(Tokenize("<!DOCTYPE r [<!-x>]>").errors, "<comment_tag_syntax offset=\"0\"/>");
  EXPECT_EQ(Describe("<!DOCTYPE r [<!-x>]>"), "error[<!DOCTYPE r [<!-x>]text[]>]");
}

TEST_F(XmlTokenizerTest, TextEndingInsideATokenNamesWhatWasOpen) {
  struct Case {
    const char* text;
    const char* errors;
  };
  const Case cases[] = {
      {"<a b='x>", "<unterminated_tag_syntax type=\"start_tag\" offset=\"0\"/>"},
      {"x<a", "<unterminated_tag_syntax type=\"start_tag\" offset=\"1\"/>"},
      {"</a", "<unterminated_tag_syntax type=\"end_tag\" offset=\"0\"/>"},
      {"<?x ?", "<unterminated_tag_syntax type=\"processing_instruction\" offset=\"0\"/>"},
      {"<!-- x", "<unterminated_tag_syntax type=\"comment\" offset=\"0\"/>"},
      {"<!--", "<unterminated_tag_syntax type=\"comment\" offset=\"0\"/>"},
      {"<![CDATA[x]]", "<unterminated_tag_syntax type=\"cdata_section\" offset=\"0\"/>"},
      {"<!DOCTYPE r", "<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"},
      {"<!DOCTYPE r [<!ENTITY e '>",
       "<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"},
      {"<!DOCTYPE r [<!", "<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"},
      {"<!DOCTYPE r [<!X",
       "<doctype_tag_syntax offset=\"0\"/>"
       "<unterminated_tag_syntax type=\"document_type\" offset=\"0\"/>"},
      {"<", "<unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
      {"<!", "<unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
      {"<!-", "<unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
      {"<![", "<unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
      {"<1a",
       "<first_tag_syntax offset=\"0\"/><unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
      {"<1 a='>",
       "<first_tag_syntax offset=\"0\"/><unterminated_tag_syntax type=\"tag\" offset=\"0\"/>"},
  };
  for (const Case& c : cases) {
    Tokens result = Tokenize(c.text);
    EXPECT_EQ(result.errors, c.errors) << c.text;
    ASSERT_FALSE(result.tokens.empty()) << c.text;
    EXPECT_EQ(result.tokens.back().kind, XmlTokenKind::SyntaxError) << c.text;
  }
}

TEST_F(XmlTokenizerTest, SyntaxErrorListStopsGrowingPast999Characters) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "<1>";
  Tokens result = Tokenize(text);
  // Each entry is <first_tag_syntax offset="N"/>: 29 characters plus the digits of N.
  std::string expected;
  for (int i = 0; i < 100 && expected.size() <= 999; ++i) {
    expected += "<first_tag_syntax offset=\"" + std::to_string(3 * i) + "\"/>";
  }
  EXPECT_EQ(result.errors, expected);
  EXPECT_GT(result.errors.size(), 999u);
  EXPECT_LT(result.errors.size(), 999u + 40u);
}

TEST_F(XmlTokenizerTest, StartTagsMayBeginWithTheseBytesOnly) {
  for (int c = 1; c < 256; ++c) {
    const std::string text = std::string("<") + static_cast<char>(c) + "x>";
    if (c == '/' || c == '?' || c == '!') continue;
    const bool startsTag =
        c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 0x7F) || c >= 0x80;
    Tokens result = Tokenize(text);
    ASSERT_FALSE(result.tokens.empty());
    EXPECT_EQ(result.tokens[0].kind == XmlTokenKind::StartTag, startsTag) << "byte " << c;
    EXPECT_EQ(result.errors.empty(), startsTag) << "byte " << c;
  }
}

// In GBK a trail byte may be an ASCII byte; it belongs to its character and is never markup.
TEST_F(XmlTokenizerTest, GbkTrailBytesAreNeverMarkup) {
  CodePageScope gbk(936);
  // 0x81 0x5D is one character whose trail byte looks like "]".
  const std::string cdata = "<![CDATA[\x81]]>x]]>";
  EXPECT_EQ(Describe(cdata), "cdata[" + cdata + "]");
  // 0x81 0x2D is no character (0x2D cannot trail): the "-" counts.
  EXPECT_EQ(Describe("<!--\x81-->"), "comment[<!--\x81-->]");
  // 0x81 0x3C and 0x81 0x3E are no characters either: "<" and ">" are markup.
  EXPECT_EQ(Describe("\x81<a/>"), "text[\x81]start/[<a/>]");
  EXPECT_EQ(Describe("<a\x81>b"), "start[<a\x81>]text[b]");
  // A trail byte "\" and "@" inside a name and a value.
  const std::string tag = "<\x81\\a b='\x81@'/>";
  Tokens result = Tokenize(tag);
  ASSERT_EQ(result.tokens.size(), 1u);
  EXPECT_TRUE(result.tokens[0].emptyElement);
  EXPECT_EQ(Name(tag, result.tokens[0]), "\x81\\a");
  // In a document type, a trail byte "E" after "<!" is still a bad declaration.
  EXPECT_EQ(Tokenize("<!DOCTYPE r [<!\x81"
                     "E>]>")
                .errors,
            "<doctype_tag_syntax offset=\"0\"/>");

  // The same CDATA bytes in a single-byte code page end at the first "]]>".
  CodePageScope latin(1252);
  EXPECT_EQ(Describe(cdata), "cdata[<![CDATA[\x81]]>]text[x]]>]");
}

TEST_F(XmlTokenizerTest, Utf8SequencesStayWhole) {
  // "é" and "中" inside names, values and text.
  const std::string text = "<\xC3\xA9 a='\xE4\xB8\xAD>'>\xE4\xB8\xAD</\xC3\xA9>";
  Tokens result = Tokenize(text);
  ASSERT_EQ(result.tokens.size(), 3u);
  EXPECT_EQ(Name(text, result.tokens[0]), "\xC3\xA9");
  EXPECT_EQ(Piece(text, result.tokens[1]), "\xE4\xB8\xAD");
  EXPECT_EQ(Name(text, result.tokens[2]), "\xC3\xA9");
}

}  // namespace
