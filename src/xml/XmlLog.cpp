#include "xml/XmlLog.h"

#include <stdio.h>

#include "platform/crt/crt.h"

namespace {

void AppendEscaped(std::string& out, const char* text, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = p + length;
  while (p < end) {
    switch (*p) {
      case '<':
        out += "&lt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '"':
        out += "&quot;";
        break;
      default: {
        size_t n = crt::MbCharLen(p);
        if (n > static_cast<size_t>(end - p)) n = end - p;
        out.append(reinterpret_cast<const char*>(p), n);
        p += n;
        continue;
      }
    }
    ++p;
  }
}

void AppendNumber(std::string& out, const char* name, uint32_t value) {
  char buffer[16];
  snprintf(buffer, sizeof buffer, "%u", value);
  out += ' ';
  out += name;
  out += "=\"";
  out += buffer;
  out += '"';
}

}  // namespace

void AppendXmlLogEntry(std::string& log, const XmlLogEntry& entry) {
  if (log.size() > kLogLimit) return;
  log += '<';
  log += entry.name;
  if (entry.textAttribute != nullptr) {
    log += ' ';
    log += entry.textAttribute;
    log += "=\"";
    AppendEscaped(log, entry.text, entry.textLength);
    log += '"';
  }
  if (entry.hasOffset) AppendNumber(log, "offset", entry.offset);
  if (entry.hasOffset2) AppendNumber(log, "offset2", entry.offset2);
  log += "/>";
}
