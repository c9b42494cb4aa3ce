#include "xml/XmlTokenizer.h"

#include <string.h>

#include <atomic>

#include "platform/crt/crt.h"
#include "platform/win32/win32.h"
#include "xml/XmlLog.h"

namespace {

typedef unsigned char Byte;

// Byte classes inside a start tag and a syntax-error token.
enum : uint8_t {
  kOrdinary = 0,
  kSpace,
  kEquals,
  kQuote,
  kSlash,
  kGreater,
  kLess,
  kZero,
};

struct ByteTables {
  uint8_t tagClass[256];
  bool nameStop[256];    // ends a tag name: whitespace, "/", ">" and the terminating zero
  bool startsName[256];  // may follow "<" in a start tag
  ByteTables() {
    for (int i = 0; i < 256; ++i) {
      tagClass[i] = kOrdinary;
      nameStop[i] = false;
      startsName[i] = i == ':' || i == '_' || (i >= 'A' && i <= 'Z') || i >= 'a';
    }
    for (int c : {' ', '\t', '\n', '\r'}) {
      tagClass[c] = kSpace;
      nameStop[c] = true;
    }
    tagClass['='] = kEquals;
    tagClass['"'] = kQuote;
    tagClass['\''] = kQuote;
    tagClass['/'] = kSlash;
    tagClass['>'] = kGreater;
    tagClass['<'] = kLess;
    tagClass[0] = kZero;
    nameStop['/'] = true;
    nameStop['>'] = true;
    nameStop[0] = true;
  }
};

const ByteTables kTables;

inline bool IsSpace(Byte c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Length of the character at p. The run-time library never steps over the terminating zero.
template <bool kMultiByte>
inline size_t Step(const Byte* p) {
  if (!kMultiByte) return 1;
  return *p < 0x80 ? 1 : crt::_mbclen(p);
}

template <bool kMultiByte>
inline const Byte* FindByte(const Byte* p, const Byte* end, Byte wanted) {
  if (!kMultiByte) {
    const void* found = memchr(p, wanted, end - p);
    return found != nullptr ? static_cast<const Byte*>(found) : end;
  }
  while (p < end && *p != wanted) p += Step<true>(p);
  return p;
}

template <bool kMultiByte>
inline const Byte* ScanName(const Byte* p) {
  while (!kTables.nameStop[*p]) p += Step<kMultiByte>(p);
  return p;
}

// The first ">" at or after p whose preceding characters are count times marker; run is the
// number of markers that stand right before p (opening bytes count). end when there is none.
template <bool kMultiByte>
const Byte* FindClosingMarker(const Byte* p, const Byte* end, Byte marker, int count, int run) {
  if (!kMultiByte) {
    // Without multi-byte characters the bytes before a ">" can be read back directly.
    for (;;) {
      const Byte* g = FindByte<false>(p, end, '>');
      if (g == end) return end;
      if (g[-1] == marker && (count == 1 || g[-2] == marker)) return g;
      p = g + 1;
    }
  }
  while (p < end) {
    Byte c = *p;
    if (c == '>' && run >= count) return p;
    run = c == marker ? run + 1 : 0;
    p += Step<true>(p);
  }
  return end;
}

// Walks the inside of a start tag (from just after its name) or of a syntax-error token up to
// the ">" that ends it, tracking attribute values: after an "=" a quote opens a value that only
// the same quote closes. With stopAtLess a "<" outside a value ends the walk too. Returns the
// position of the ">" (or "<"), or end. *emptyElement tells whether the ">" closes "/>" written
// right after the name or after whitespace or a quote.
template <bool kMultiByte>
const Byte* ScanTagInside(const Byte* p, const Byte* end, const Byte* nameEnd, bool stopAtLess,
                          bool* emptyElement) {
  bool afterEquals = false;
  bool previousSpaceOrQuote = false;
  const Byte* slash = nullptr;
  bool slashCloses = false;
  for (;;) {
    Byte c = *p;
    switch (kTables.tagClass[c]) {
      case kOrdinary:
        afterEquals = false;
        previousSpaceOrQuote = false;
        p += Step<kMultiByte>(p);
        continue;
      case kSpace:
        previousSpaceOrQuote = true;
        ++p;
        continue;
      case kEquals:
        afterEquals = true;
        previousSpaceOrQuote = false;
        ++p;
        continue;
      case kQuote:
        if (afterEquals) {
          const Byte* close = FindByte<kMultiByte>(p + 1, end, c);
          if (close == end) return end;
          p = close;
        }
        afterEquals = false;
        previousSpaceOrQuote = true;
        ++p;
        continue;
      case kSlash:
        slash = p;
        slashCloses = p == nameEnd || previousSpaceOrQuote;
        afterEquals = false;
        previousSpaceOrQuote = false;
        ++p;
        continue;
      case kGreater:
        *emptyElement = slash == p - 1 && slashCloses;
        return p;
      case kLess:
        if (stopAtLess) return p;
        afterEquals = false;
        previousSpaceOrQuote = false;
        ++p;
        continue;
      default:  // the terminating zero
        if (p >= end) return end;
        ++p;
        continue;
    }
  }
}

// The end of a declaration inside a document type: the ">" outside quotes of either kind.
template <bool kMultiByte>
const Byte* ScanDeclaration(const Byte* p, const Byte* end) {
  while (p < end) {
    Byte c = *p;
    if (c == '>') return p;
    if (c == '"' || c == '\'') {
      p = FindByte<kMultiByte>(p + 1, end, c);
      if (p == end) return end;
    }
    p += Step<kMultiByte>(p);
  }
  return end;
}

}  // namespace

bool CodePageHasAsciiTrailBytes() {
  // Bit 63: valid; bit 32: the answer; low 32 bits: the code page it was found for.
  static std::atomic<uint64_t> cache{0};
  const UINT codePage = GetACP();
  uint64_t cached = cache.load(std::memory_order_relaxed);
  if ((cached >> 63) != 0 && static_cast<UINT>(cached & 0xFFFFFFFFu) == codePage) {
    return ((cached >> 32) & 1) != 0;
  }
  bool found = false;
  if (codePage != CP_UTF8) {
    for (int lead = 0x80; lead < 0x100 && !found; ++lead) {
      const Byte wide[4] = {static_cast<Byte>(lead), 0xA1, 0xA1, 0};
      const Byte narrow[4] = {static_cast<Byte>(lead), 'A', 'A', 0};
      if (crt::_mbclen(wide) == 1 && crt::_mbclen(narrow) == 1) continue;  // single byte
      for (int trail = 1; trail < 0x80 && !found; ++trail) {
        const Byte pair[4] = {static_cast<Byte>(lead), static_cast<Byte>(trail), 0xA1, 0};
        found = crt::_mbclen(pair) > 1;
      }
    }
  }
  cache.store((uint64_t{1} << 63) | (uint64_t{found} << 32) | codePage, std::memory_order_relaxed);
  return found;
}

CXmlTokenizer::CXmlTokenizer(const char* source, size_t sourceLength)
    : text(reinterpret_cast<const unsigned char*>(source)),
      length(static_cast<uint32_t>(sourceLength)),
      multiByteSteps(CodePageHasAsciiTrailBytes()) {}

void CXmlTokenizer::Next(XmlToken& token) {
  if (multiByteSteps) {
    Scan<true>(token);
  } else {
    Scan<false>(token);
  }
}

void CXmlTokenizer::AddSyntaxError(const char* name, uint32_t offset) {
  XmlLogEntry entry;
  entry.name = name;
  entry.hasOffset = true;
  entry.offset = offset;
  AppendXmlLogEntry(syntaxErrors, entry);
}

// The text ended inside the token that starts at token.start: it becomes a syntax-error token
// reaching the end of the text.
void CXmlTokenizer::Unterminated(XmlToken& token, const char* word) {
  XmlLogEntry entry;
  entry.name = kLogUnterminatedTagSyntax;
  entry.textAttribute = kLogType;
  entry.text = word;
  entry.textLength = strlen(word);
  entry.hasOffset = true;
  entry.offset = token.start;
  AppendXmlLogEntry(syntaxErrors, entry);
  token.kind = XmlTokenKind::SyntaxError;
  token.emptyElement = false;
  token.length = length - token.start;
  position = length;
}

// The token that starts at token.start is malformed at from: it runs to the next ">" (included)
// or "<" (excluded).
template <bool kMultiByte>
void CXmlTokenizer::ScanSyntaxError(XmlToken& token, const unsigned char* from) {
  const Byte* const end = text + length;
  bool ignored = false;
  const Byte* stop = ScanTagInside<kMultiByte>(from, end, nullptr, true, &ignored);
  if (stop == end) {
    Unterminated(token, "tag");
    return;
  }
  uint32_t stopOffset = static_cast<uint32_t>(stop - text) + (*stop == '>' ? 1 : 0);
  token.kind = XmlTokenKind::SyntaxError;
  token.length = stopOffset - token.start;
  position = stopOffset;
}

template <bool kMultiByte>
void CXmlTokenizer::ScanDocumentType(XmlToken& token) {
  const Byte* const end = text + length;
  const Byte* p = text + token.start + 3;
  for (;;) {
    if (p >= end) {
      Unterminated(token, "document_type");
      return;
    }
    Byte c = *p;
    if (c == '>') break;
    if (c == '<' && (p[1] == '!' || p[1] == '?')) {
      const Byte* close;
      if (p[1] == '?') {
        close = FindClosingMarker<kMultiByte>(p + 2, end, '?', 1, 1);
      } else if (p[2] == 'E' || p[2] == 'A' || p[2] == 'N') {
        close = ScanDeclaration<kMultiByte>(p + 3, end);
      } else if (p[2] == '-' && p[3] == '-') {
        close = FindClosingMarker<kMultiByte>(p + 4, end, '-', 2, 2);
      } else if (p[2] == '-' && p[3] != 0) {
        AddSyntaxError(kLogCommentTagSyntax, token.start);
        ScanSyntaxError<kMultiByte>(token, p + 3);
        return;
      } else if (p[2] != 0 && p[2] != '-') {
        // A malformed declaration is reported but the document type goes on after its ">".
        AddSyntaxError(kLogDoctypeTagSyntax, token.start);
        close = FindByte<kMultiByte>(p + 2, end, '>');
      } else {
        close = end;  // the text ends within "<!" or "<!-"
      }
      if (close == end) {
        Unterminated(token, "document_type");
        return;
      }
      p = close + 1;
      continue;
    }
    p += Step<kMultiByte>(p);
  }
  uint32_t stopOffset = static_cast<uint32_t>(p - text) + 1;
  token.kind = XmlTokenKind::DocumentType;
  token.length = stopOffset - token.start;
  position = stopOffset;
}

template <bool kMultiByte>
void CXmlTokenizer::Scan(XmlToken& token) {
  const Byte* const end = text + length;
  const Byte* p = text + position;
  token.start = position;
  token.emptyElement = false;
  token.nameFirst = 0;
  token.nameLast = 0;
  if (p >= end) {
    token.kind = XmlTokenKind::EndOfText;
    token.length = 0;
    return;
  }

  if (*p != '<') {
    const Byte* q = p;
    while (IsSpace(*q)) ++q;
    if (q < end && *q != '<') {
      token.kind = XmlTokenKind::Text;
      q = FindByte<kMultiByte>(q, end, '<');
    } else {
      token.kind = XmlTokenKind::Whitespace;
    }
    token.length = static_cast<uint32_t>(q - p);
    position += token.length;
    return;
  }

  const Byte* close;
  switch (p[1]) {
    case '/': {
      const Byte* name = p + 2;
      const Byte* nameEnd = ScanName<kMultiByte>(name);
      token.nameFirst = static_cast<uint32_t>(name - text);
      token.nameLast = static_cast<uint32_t>(nameEnd - text) - 1;
      close = FindByte<kMultiByte>(nameEnd, end, '>');
      if (close == end) return Unterminated(token, "end_tag");
      token.kind = XmlTokenKind::EndTag;
      break;
    }
    case '?': {
      const Byte* name = p + 2;
      const Byte* nameEnd = ScanName<kMultiByte>(name);
      token.nameFirst = static_cast<uint32_t>(name - text);
      token.nameLast = static_cast<uint32_t>(nameEnd - text) - 1;
      close = FindClosingMarker<kMultiByte>(p + 2, end, '?', 1, 1);
      if (close == end) return Unterminated(token, "processing_instruction");
      token.kind = XmlTokenKind::ProcessingInstruction;
      break;
    }
    case '!':
      switch (p[2]) {
        case '-':
          if (p[3] == 0) return Unterminated(token, "tag");
          if (p[3] != '-') {
            AddSyntaxError(kLogCommentTagSyntax, token.start);
            return ScanSyntaxError<kMultiByte>(token, p + 3);
          }
          close = FindClosingMarker<kMultiByte>(p + 4, end, '-', 2, 2);
          if (close == end) return Unterminated(token, "comment");
          token.kind = XmlTokenKind::Comment;
          break;
        case '[':
          if (p[3] == 0) return Unterminated(token, "tag");
          if (p[3] != 'C') {
            AddSyntaxError(kLogCdataSectionSyntax, token.start);
            return ScanSyntaxError<kMultiByte>(token, p + 3);
          }
          close = FindClosingMarker<kMultiByte>(p + 4, end, ']', 2, 0);
          if (close == end) return Unterminated(token, "cdata_section");
          token.kind = XmlTokenKind::CDataSection;
          break;
        case 'D':
          return ScanDocumentType<kMultiByte>(token);
        case 0:
          return Unterminated(token, "tag");
        default:
          AddSyntaxError(kLogExclamationTagSyntax, token.start);
          return ScanSyntaxError<kMultiByte>(token, p + 2);
      }
      break;
    case 0:
      return Unterminated(token, "tag");
    default: {
      if (!kTables.startsName[p[1]]) {
        AddSyntaxError(kLogFirstTagSyntax, token.start);
        return ScanSyntaxError<kMultiByte>(token, p + 1);
      }
      const Byte* name = p + 1;
      const Byte* nameEnd = ScanName<kMultiByte>(name);
      token.nameFirst = static_cast<uint32_t>(name - text);
      token.nameLast = static_cast<uint32_t>(nameEnd - text) - 1;
      bool emptyElement = false;
      close = ScanTagInside<kMultiByte>(nameEnd, end, nameEnd, false, &emptyElement);
      if (close == end) return Unterminated(token, "start_tag");
      token.kind = XmlTokenKind::StartTag;
      token.emptyElement = emptyElement;
      break;
    }
  }
  uint32_t stopOffset = static_cast<uint32_t>(close - text) + 1;
  token.length = stopOffset - token.start;
  position = stopOffset;
}
