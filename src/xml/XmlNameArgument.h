// The name arguments of CXmlDocument::FindNext and FindNextChild: a small path syntax of which
// only the first step's name is used for matching.
#ifndef ZEMA_XML_XMLNAMEARGUMENT_H
#define ZEMA_XML_XMLNAMEARGUMENT_H

#include <stddef.h>

enum class XmlNameArgumentKind {
  MatchAll,  // null or "": every element
  Relative,  // "a", "a/b", "a[2]", "a[@k='v']", "a/@k", ...: matched on the first step's name
  Absolute,  // "/..." or "//...", well formed: finds nothing
  Invalid,   // breaks the path syntax: finds nothing
};

// Tests argument against the path syntax: steps separated by "/", each a name (bytes other than
// space, "=", "/", "[", "]", possibly none) with at most one predicate in brackets ("[2]",
// "[@k]", "[@k=v]", "[@k='v']", "[@k=\"v\"]", "[other]"), optionally ending with "/@" and an
// attribute name. After "//" only one step may follow.
XmlNameArgumentKind ClassifyXmlNameArgument(const char* argument);

// Whether a tag or attribute name of nameLength bytes matches argument (argumentLength bytes):
// the name equals the argument's leading bytes exactly and the argument ends there or goes on
// with one of space, "=", "/", "[", "]".
bool XmlNameMatches(const char* name, size_t nameLength, const char* argument,
                    size_t argumentLength);

#endif
