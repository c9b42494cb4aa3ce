// CXmlDocument: an XML text held in memory with an element index, a forgiving parser that logs
// every problem, and a cursor to find elements and read attributes.
#ifndef ZEMA_XML_XMLDOCUMENT_H
#define ZEMA_XML_XMLDOCUMENT_H

#include <stdint.h>

#include <string>

class CXmlDocument {
 public:
  CXmlDocument();
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  // Replaces the text (null: empty, dropping the index) and parses it. True when well-formed.
  bool SetText(const char* text);

  bool FindNext(const char* name);
  bool FindNextChild(const char* name);
  bool Descend();
  bool Ascend();
  // The decoded value of attribute name of the current child; "" when absent.
  std::string ChildAttribute(const char* name) const;
  std::string ElementAttribute(uint32_t position, const char* name) const;

  const std::string& ResultLog() const;
};

#endif
