// The write side as the tool uses it: a CZEMAConfigAcs writer that closes itself.
#ifndef ZEMATAG_WRITER_H
#define ZEMATAG_WRITER_H

#include <string>

#include "ZEMATagAcs.h"

class CWriter {
 public:
  // Opens a writer on the tag database at path. Throws ToolError, with the reason the library
  // gives (read-only, locked, damaged, ...), when it does not open.
  explicit CWriter(const std::string& path);
  // Closing the writer rolls back a batch still open.
  ~CWriter() { writer->Close(); }
  CWriter(const CWriter&) = delete;
  CWriter& operator=(const CWriter&) = delete;

  CZEMAConfigAcs* operator->() const { return writer; }
  CZEMAConfigAcs* Get() const { return writer; }

 private:
  CZEMAConfigAcs* writer = nullptr;
};

#endif
