// Entries of the result log of CXmlDocument and of the tokenizer's list of syntax errors.
//
// Each entry is an empty XML element written with no separator after the previous one, for
// example <lone_end_tag tagname="b" offset="3"/>. A log holds at most a little more than 1,000
// characters: an entry is dropped when the string it goes into is already longer than 999.
#ifndef ZEMA_XML_XMLLOG_H
#define ZEMA_XML_XMLLOG_H

#include <stddef.h>
#include <stdint.h>

#include <string>

// Entry names.
constexpr const char* kLogUnendedStartTag = "unended_start_tag";
constexpr const char* kLogLoneEndTag = "lone_end_tag";
constexpr const char* kLogRootHasSibling = "root_has_sibling";
constexpr const char* kLogNoRootElement = "no_root_element";
constexpr const char* kLogFirstTagSyntax = "first_tag_syntax";
constexpr const char* kLogDoctypeTagSyntax = "doctype_tag_syntax";
constexpr const char* kLogExclamationTagSyntax = "exclamation_tag_syntax";
constexpr const char* kLogCommentTagSyntax = "comment_tag_syntax";
constexpr const char* kLogCdataSectionSyntax = "cdata_section_syntax";
constexpr const char* kLogUnterminatedTagSyntax = "unterminated_tag_syntax";

// Attribute names.
constexpr const char* kLogTagName = "tagname";
constexpr const char* kLogType = "type";

// Beyond this many characters a log takes no more entries.
constexpr size_t kLogLimit = 999;

struct XmlLogEntry {
  const char* name = nullptr;           // one of the entry names above
  const char* textAttribute = nullptr;  // kLogTagName, kLogType, or null for none
  const char* text = nullptr;           // value of textAttribute, textLength bytes
  size_t textLength = 0;
  bool hasOffset = false;
  uint32_t offset = 0;
  bool hasOffset2 = false;
  uint32_t offset2 = 0;
};

// Appends entry to log unless log is already longer than kLogLimit characters. Text values are
// escaped ("<", "&", ">", "'" and the double quote become references); offsets are decimal.
void AppendXmlLogEntry(std::string& log, const XmlLogEntry& entry);

#endif
