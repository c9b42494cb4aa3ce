// CXmlTokenizer: splits a document text into the tokens that CXmlDocument builds its element
// index from: start and end tags, text, whitespace, CDATA sections, processing instructions,
// comments and document types. Malformed markup becomes a syntax-error token and an entry in the
// tokenizer's list of syntax errors; the scan always goes on with the next token.
//
// The text is a byte string in the process code page. The scan steps over whole characters, so
// a trail byte is never taken for markup; markup is recognised only among ASCII bytes.
//
// Not thread-safe; the text must stay unchanged while the tokenizer exists.
#ifndef ZEMA_XML_XMLTOKENIZER_H
#define ZEMA_XML_XMLTOKENIZER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

enum class XmlTokenKind : uint8_t {
  EndOfText,              // nothing left; length 0
  StartTag,               // "<name ...>" or "<name .../>" (emptyElement)
  EndTag,                 // "</name ...>"
  Text,                   // up to the next "<" or the end
  Whitespace,             // spaces, tabs, line feeds, carriage returns only
  CDataSection,           // "<![C ... ]]>"
  ProcessingInstruction,  // "<? ... ?>"
  Comment,                // "<!- - ... - ->" (without the blanks)
  DocumentType,           // "<!D ... >" with its internal subset
  SyntaxError,            // malformed or unterminated markup; see SyntaxErrors()
};

struct XmlToken {
  XmlTokenKind kind = XmlTokenKind::EndOfText;
  bool emptyElement = false;  // start tags written in the "/>" form
  uint32_t start = 0;         // offset of the first byte
  uint32_t length = 0;        // bytes
  // Start tags, end tags and processing instructions: offsets of the first and the last byte of
  // the name (nameLast == nameFirst - 1 for an empty name). 0 for other kinds.
  uint32_t nameFirst = 0;
  uint32_t nameLast = 0;
};

class CXmlTokenizer {
 public:
  // REQUIRES: text[length] == 0, no zero byte before it, length < 4 GiB; text outlives this
  // object. The process code page in force now is used for the whole scan.
  CXmlTokenizer(const char* text, size_t length);

  // Fills token with the next token, starting where the previous one ended.
  void Next(XmlToken& token);

  // The offset where the next token starts.
  uint32_t ScanPosition() const { return position; }

  // The entries of every syntax error met so far, in the order found (see XmlLog.h).
  const std::string& SyntaxErrors() const { return syntaxErrors; }

 private:
  template <bool kMultiByte>
  void Scan(XmlToken& token);
  template <bool kMultiByte>
  void ScanSyntaxError(XmlToken& token, const unsigned char* from);
  template <bool kMultiByte>
  void ScanDocumentType(XmlToken& token);
  void Unterminated(XmlToken& token, const char* word);
  void AddSyntaxError(const char* name, uint32_t offset);

  const unsigned char* text;
  uint32_t length;
  uint32_t position = 0;
  // True when a character of the code page may hold an ASCII byte after its first byte; the scan
  // then asks the run-time library for the length of every character that starts at 0x80 or
  // above. Otherwise bytes of 0x80 and above can be passed one by one: they are never markup.
  bool multiByteSteps;
  std::string syntaxErrors;
};

// True when some character of the process code page has an ASCII byte after its first byte
// (double-byte code pages such as GBK). Cached per code page.
bool CodePageHasAsciiTrailBytes();

#endif
