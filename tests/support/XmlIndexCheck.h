// A full check of the element index of a parsed CXmlDocument, for tests and fuzzers.
#ifndef ZEMA_TESTS_SUPPORT_XMLINDEXCHECK_H
#define ZEMA_TESTS_SUPPORT_XMLINDEXCHECK_H

#include <string>

#include "xml/XmlDocument.h"

// "" when every invariant of the index holds, otherwise a description of the first one broken:
// - the document entry: start, tag lengths, parent and sibling links 0, depth 0, length = the
//   text length, no flags but "not well-formed" and "error inside", first child = the first
//   top-level element; "not well-formed" is set when any element is unended;
// - every entry is reached exactly once from the document along first-child and sibling links;
// - the siblings of each parent stand in text order without overlapping, each names that parent,
//   the first child alone has the first-child flag and its previous link names the last child,
//   the other previous links name the sibling before, the last child's next link is 0;
// - depth = parent's depth + 1 (saturated at 0xFFFF), 0 at the top level;
// - each element starts with "<" inside the text, its extent lies inside the text and inside
//   its parent's, its tag lengths fit its length; an unended element has no children, no end
//   tag and its start tag as its extent; no unknown flag is set.
// A document without an index (new, or after SetText(nullptr)) passes when its text is empty.
std::string CheckXmlIndex(const CXmlDocument& document);

#endif
