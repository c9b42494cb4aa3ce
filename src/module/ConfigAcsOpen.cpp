// CZEMAConfigAcs::Open: the entry point that creates a writer.
#include "ZEMATagAcs.h"
#include "tagdb/ZEMAConfigAcsImpl.h"

CZEMAConfigAcs* CZEMAConfigAcs::Open(const char* path) {
  // A construction that throws (the integer 0 for a file that does not open, or a
  // PlatformError) frees the half-built writer and passes the exception to the caller.
  return new CZEMAConfigAcsImpl(path);
}
