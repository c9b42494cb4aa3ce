// Helpers shared by the XML document suites.
#ifndef ZEMA_TESTS_XML_TEST_HELPERS_H
#define ZEMA_TESTS_XML_TEST_HELPERS_H

#include <gtest/gtest.h>

#include <string>

#include "platform/faults/faults.h"
#include "platform/win32/win32.h"
#include "support/XmlIndexCheck.h"
#include "xml/XmlDocument.h"

// Parses text into document, checks every invariant of the index and returns SetText's result.
inline bool Parse(CXmlDocument& document, const std::string& text) {
  bool wellFormed = document.SetText(text.c_str());
  EXPECT_EQ(CheckXmlIndex(document), "") << "text: " << text.substr(0, 200);
  return wellFormed;
}

// Makes cp the process code page for the life of the object.
class CodePageScope {
 public:
  explicit CodePageScope(UINT cp) { platform::FaultSet("ProcessCodePage", std::to_string(cp)); }
  ~CodePageScope() { platform::FaultSet("ProcessCodePage", ""); }
  CodePageScope(const CodePageScope&) = delete;
  CodePageScope& operator=(const CodePageScope&) = delete;
};

#endif
