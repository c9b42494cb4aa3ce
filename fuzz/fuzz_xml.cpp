// The XML document on arbitrary bytes: parse under one of three code pages, check the element
// index, then walk the cursor as the input says, reading attributes on the way.
//
// Input: byte 0 picks the code page, byte 1 the length of the walk, the walk bytes come last and
// everything in between is the text (up to its first zero).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "platform/faults/faults.h"
#include "platform/win32/win32.h"
#include "support/XmlIndexCheck.h"
#include "xml/XmlDocument.h"

namespace {

const UINT kCodePages[] = {65001, 1252, 936};

// Names the walk asks for: every element, exact names, paths the name argument accepts and
// arguments it refuses.
const char* const kNames[] = {nullptr,  "",      "a",   "b",    "FBLib",        "Lib",   "FB",
                              "module", "field", "a/b", "a[2]", "a[@id='x']",   "a/@id", "//a",
                              "/a",     "a[",    "@id", "a b",  "\xe4\xb8\xad", "x:y"};
const char* const kAttributes[] = {nullptr, "", "id", "name", "attr", "libid", "a", "x:y", "b c"};

void Check(const CXmlDocument& document, const char* when) {
  const std::string problem = CheckXmlIndex(document);
  if (!problem.empty()) {
    fprintf(stderr, "element index broken after %s: %s\n", when, problem.c_str());
    abort();
  }
}

// The cursor must only ever name taken entries.
void CheckCursor(const CXmlDocument& document) {
  const uint32_t free = document.NextFree();
  if (document.Parent() >= free || document.Current() >= free || document.CurrentChild() >= free) {
    fprintf(stderr, "cursor outside the index: %u %u %u of %u\n", document.Parent(),
            document.Current(), document.CurrentChild(), free);
    abort();
  }
}

void Walk(CXmlDocument& document, const uint8_t* walk, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const uint8_t step = walk[i];
    const char* name = kNames[(step >> 3) % (sizeof kNames / sizeof kNames[0])];
    const char* attribute = kAttributes[(step >> 3) % (sizeof kAttributes / sizeof kAttributes[0])];
    switch (step & 7) {
      case 0:
      case 1:
        document.FindNext(name);
        break;
      case 2:
      case 3:
        document.FindNextChild(name);
        break;
      case 4:
        document.Descend();
        break;
      case 5:
        document.Ascend();
        break;
      case 6:
        document.ChildAttribute(attribute);
        break;
      case 7: {
        // Positions around the taken ones, and a few far beyond.
        const uint32_t position =
            (step & 0x80) ? (uint32_t(step) << 24) | step : (step >> 3) % (document.NextFree() + 2);
        document.ElementAttribute(position, attribute);
        document.TagName(position);
        document.Entry(position);
        break;
      }
    }
    CheckCursor(document);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  platform::FaultSet("ProcessCodePage", std::to_string(kCodePages[data[0] % 3]));
  const size_t walkLength = data[1] < size - 2 ? data[1] : size - 2;
  const std::string text(reinterpret_cast<const char*>(data) + 2, size - 2 - walkLength);
  const uint8_t* walk = data + size - walkLength;

  CXmlDocument document;
  Check(document, "construction");
  document.SetText(text.c_str());
  Check(document, "parse");
  Walk(document, walk, walkLength);

  // A second parse reuses the index and the parse state: half the text, then none.
  document.SetText(text.substr(0, text.size() / 2).c_str());
  Check(document, "second parse");
  Walk(document, walk, walkLength);
  document.SetText(nullptr);
  Check(document, "parse of null");
  Walk(document, walk, walkLength / 4);
  return 0;
}
