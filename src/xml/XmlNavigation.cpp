// CXmlDocument: the cursor, tag names and attribute reads. Everything is read from the text
// through the element index when asked for.
#include <string.h>

#include "platform/crt/crt.h"
#include "xml/XmlDocument.h"
#include "xml/XmlNameArgument.h"
#include "xml/XmlValue.h"

namespace {

typedef unsigned char Byte;

inline bool IsSpace(Byte c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline bool EndsTagName(Byte c) {
  switch (c) {
    case ' ':
    case '\t':
    case '\n':
    case '\r':
    case '<':
    case '>':
    case '=':
    case '\\':
    case '/':
    case '?':
    case '!':
    case '"':
    case '\'':
    case ';':
      return true;
    default:
      return false;
  }
}

// Ends a bare token of an attribute list that does not follow "=".
inline bool EndsBareToken(Byte c) {
  return IsSpace(c) || c == '=' || c == '>' || c == '/' || c == '?';
}

}  // namespace

void CXmlDocument::TagNameSpan(uint32_t position, const char** name, size_t* nameLength) const {
  const Byte* const base = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = base + text.size();
  const Byte* p = base + At(position).start + 1;
  while (p < end && IsSpace(*p)) ++p;
  const Byte* first = p;
  while (p < end && !EndsTagName(*p)) p += crt::MbCharLen(p);
  if (p == first && p < end) ++p;  // the single (ASCII) byte that would have ended the name
  *name = reinterpret_cast<const char*>(first);
  *nameLength = p - first;
}

std::string CXmlDocument::TagName(uint32_t position) const {
  if (!IsElement(position)) return std::string();
  const char* name;
  size_t nameLength;
  TagNameSpan(position, &name, &nameLength);
  return std::string(name, nameLength);
}

// The first element from "from" on along the sibling links whose tag name matches name (null:
// any element); 0 when there is none.
uint32_t CXmlDocument::FindSibling(uint32_t from, const char* name) const {
  const size_t argumentLength = name != nullptr ? strlen(name) : 0;
  for (uint32_t position = from; position != 0; position = At(position).nextSibling) {
    if (name == nullptr) return position;
    const char* tagName;
    size_t tagNameLength;
    TagNameSpan(position, &tagName, &tagNameLength);
    if (XmlNameMatches(tagName, tagNameLength, name, argumentLength)) return position;
  }
  return 0;
}

bool CXmlDocument::FindNext(const char* name) {
  if (index.capacity == 0) return false;
  const XmlNameArgumentKind kind = ClassifyXmlNameArgument(name);
  if (kind == XmlNameArgumentKind::Invalid || kind == XmlNameArgumentKind::Absolute) return false;
  const uint32_t from = current != 0 ? At(current).nextSibling : At(parent).firstChild;
  const uint32_t found = FindSibling(from, kind == XmlNameArgumentKind::MatchAll ? nullptr : name);
  if (found == 0) return false;
  current = found;
  currentChild = 0;
  return true;
}

bool CXmlDocument::FindNextChild(const char* name) {
  if (index.capacity == 0) return false;
  if (current == 0 && !FindNext(nullptr)) return false;
  const XmlNameArgumentKind kind = ClassifyXmlNameArgument(name);
  if (kind == XmlNameArgumentKind::Invalid || kind == XmlNameArgumentKind::Absolute) return false;
  const uint32_t from = currentChild != 0 ? At(currentChild).nextSibling : At(current).firstChild;
  const uint32_t found = FindSibling(from, kind == XmlNameArgumentKind::MatchAll ? nullptr : name);
  if (found == 0) return false;
  currentChild = found;
  return true;
}

bool CXmlDocument::Descend() {
  if (current == 0) return false;
  parent = current;
  current = currentChild;
  currentChild = 0;
  return true;
}

bool CXmlDocument::Ascend() {
  if (parent == 0) return false;
  currentChild = current;
  current = parent;
  parent = At(parent).parent;
  return true;
}

std::string CXmlDocument::ChildAttribute(const char* name) const {
  if (current == 0 || currentChild == 0) return std::string();
  return ElementAttribute(currentChild, name);
}

std::string CXmlDocument::ElementAttribute(uint32_t position, const char* name) const {
  if (name == nullptr || !IsElement(position)) return std::string();
  const char* value;
  size_t valueLength;
  if (!FindAttribute(position, name, &value, &valueLength)) return std::string();
  return DecodeXmlValue(value, valueLength);
}

// Reads the attribute list from just after the "<" of the element at position: the first bare
// token is the tag name; "/", ">" or "?" ends the list; "=" makes the next token a value; other
// bare tokens are attribute names. An attribute without "=" has its own name as its value. The
// value found is left undecoded in *value.
bool CXmlDocument::FindAttribute(uint32_t position, const char* name, const char** value,
                                 size_t* valueLength) const {
  const Byte* const base = reinterpret_cast<const Byte*>(text.data());
  const Byte* const end = base + text.size();
  const size_t argumentLength = strlen(name);
  const Byte* p = base + At(position).start + 1;
  bool tagNameRead = false;
  bool afterEquals = false;
  const Byte* matched = nullptr;  // the matching attribute name, waiting for its value
  const Byte* matchedEnd = nullptr;

  for (;;) {
    while (p < end && IsSpace(*p)) ++p;
    if (p >= end) break;
    const Byte c = *p;
    if (c == '"' || c == '\'') {
      const Byte* first = p + 1;
      const Byte* close = first;
      while (close < end && *close != c) close += crt::MbCharLen(close);
      p = close < end ? close + 1 : end;
      if (afterEquals) {
        afterEquals = false;
        if (matched != nullptr) {
          *value = reinterpret_cast<const char*>(first);
          *valueLength = close - first;
          return true;
        }
      }
      continue;
    }
    const Byte* first = p;
    if (afterEquals) {
      while (p < end && !IsSpace(*p) && *p != '>') p += crt::MbCharLen(p);
    } else {
      while (p < end && !EndsBareToken(*p)) p += crt::MbCharLen(p);
    }
    if (p == first) ++p;  // the single (ASCII) byte that would have ended the token
    if (afterEquals) {
      afterEquals = false;
      if (matched != nullptr) {
        *value = reinterpret_cast<const char*>(first);
        *valueLength = p - first;
        return true;
      }
      continue;
    }
    if (!tagNameRead) {
      tagNameRead = true;
      continue;
    }
    if (c == '/' || c == '>' || c == '?') break;
    if (c == '=' && p - first == 1) {
      afterEquals = true;
      continue;
    }
    if (matched != nullptr) break;  // another name follows the match: it has no value
    if (XmlNameMatches(reinterpret_cast<const char*>(first), p - first, name, argumentLength)) {
      matched = first;
      matchedEnd = p;
    }
  }
  if (matched == nullptr) return false;
  if (afterEquals) {
    matchedEnd = matched;  // "=" and then nothing: an empty value
  }
  *value = reinterpret_cast<const char*>(matched);
  *valueLength = matchedEnd - matched;
  return true;
}
