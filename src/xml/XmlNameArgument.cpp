#include "xml/XmlNameArgument.h"

#include <string.h>

#include "platform/crt/crt.h"

namespace {

typedef unsigned char Byte;

inline bool IsStepStop(Byte c) {
  return c == 0 || c == ' ' || c == '=' || c == '/' || c == '[' || c == ']';
}

// Passes a run of bytes up to a step stop, whole characters at a time.
const Byte* SkipRun(const Byte* p) {
  while (!IsStepStop(*p)) p += crt::MbCharLen(p);
  return p;
}

// Passes one step (a name and at most one predicate); null when the predicate is malformed.
const Byte* SkipStep(const Byte* p) {
  p = SkipRun(p);
  if (*p != '[') return p;
  ++p;
  if (*p == '@') {
    p = SkipRun(p + 1);
    if (*p == '=') {
      ++p;
      if (*p == '\'' || *p == '"') {
        const Byte quote = *p++;
        while (*p != 0 && *p != quote) p += crt::MbCharLen(p);
        if (*p == 0) return nullptr;
        ++p;
      } else {
        while (*p != 0 && *p != ']') p += crt::MbCharLen(p);
      }
    }
  } else {
    // A position ("2") or any other run: both end at the same bytes.
    p = SkipRun(p);
  }
  if (*p != ']') return nullptr;
  return p + 1;
}

}  // namespace

XmlNameArgumentKind ClassifyXmlNameArgument(const char* argument) {
  if (argument == nullptr || argument[0] == 0) return XmlNameArgumentKind::MatchAll;
  const Byte* p = reinterpret_cast<const Byte*>(argument);
  XmlNameArgumentKind kind = XmlNameArgumentKind::Relative;
  bool singleStep = false;
  if (p[0] == '/') {
    kind = XmlNameArgumentKind::Absolute;
    singleStep = p[1] == '/';
    p += singleStep ? 2 : 1;
    if (*p == 0) return XmlNameArgumentKind::Invalid;
  }
  for (;;) {
    p = SkipStep(p);
    if (p == nullptr) return XmlNameArgumentKind::Invalid;
    if (*p == 0) return kind;
    if (*p != '/' || singleStep) return XmlNameArgumentKind::Invalid;
    ++p;
    if (*p == 0) return XmlNameArgumentKind::Invalid;
    if (*p == '@') {
      p = SkipRun(p + 1);
      return *p == 0 ? kind : XmlNameArgumentKind::Invalid;
    }
  }
}

bool XmlNameMatches(const char* name, size_t nameLength, const char* argument,
                    size_t argumentLength) {
  if (nameLength > argumentLength || memcmp(name, argument, nameLength) != 0) return false;
  if (nameLength == argumentLength) return true;
  Byte next = static_cast<Byte>(argument[nameLength]);
  return next != 0 && IsStepStop(next);
}
