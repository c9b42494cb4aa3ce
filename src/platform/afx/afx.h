// Host framework stand-in: extension-module registration, the address check and the binary
// file read.
#ifndef ZEMA_PLATFORM_AFX_H
#define ZEMA_PLATFORM_AFX_H

#include <stddef.h>

#include <string>

#include "oleauto.h"
#include "platform/afx/resolve_path.h"

// The record the framework keeps for a registered extension module.
struct AFX_EXTENSION_MODULE {
  bool initialized = false;
  const char* name = nullptr;
};

// Registers the module with the framework under name (which must outlive the registration) and
// reports "register NAME"; TRUE at once for a module registered already. FALSE, leaving the
// module untouched, when registration fails (the library then refuses to attach).
BOOL AfxInitExtensionModule(AFX_EXTENSION_MODULE& module, const char* name);
// Unregisters the module, takes it out of the chain and reports "unregister NAME"; does nothing
// for a module that is not registered. CDynLinkLibrary objects of the module stay their owner's
// to destroy.
void AfxTermExtensionModule(AFX_EXTENSION_MODULE& module);

// Enters a module into the application's chain of resource and class modules for as long as the
// object lives.
class CDynLinkLibrary {
 public:
  CDynLinkLibrary(AFX_EXTENSION_MODULE& module, BOOL systemModule = FALSE);
  ~CDynLinkLibrary();
  CDynLinkLibrary(const CDynLinkLibrary&) = delete;
  CDynLinkLibrary& operator=(const CDynLinkLibrary&) = delete;

 private:
  AFX_EXTENSION_MODULE& module;
};

// Whether a module of that name is registered and chained (for tests).
bool AfxIsModuleRegistered(const char* name);
// Reports framework events ("register NAME", "unregister NAME", and what the library reports
// through AfxTraceEvent) to a hook the host program may define; does nothing without one.
void AfxTraceEvent(const char* event);

// The address check: non-zero when the block of size bytes at p may be read (and written when
// readWrite). Zero for null, for a negative size, and for a size that overflowed when the caller
// computed it (pass it through AfxBlockSize). A size of 0 with a non-null pointer passes. A
// block that wraps around the address space, or that touches a page which is not mapped, fails;
// the protection of mapped pages is not checked.
BOOL AfxIsValidAddress(const void* p, ptrdiff_t size, BOOL readWrite = TRUE);
// count * elementSize as a byte count, or -1 when count is negative or the product overflows.
ptrdiff_t AfxBlockSize(long long count, size_t elementSize);

// The binary file read: opens path read-only, sharing with readers but denying writers, with no
// text translation. Backslashes in path are separators; when path does not exist with its exact
// case, each component is matched case-insensitively (ASCII letters).
//
// Denying writers is advisory, as Linux has no sharing modes: the open takes a shared flock()
// and fails while another open file holds an exclusive one; writers that take an exclusive
// flock() fail while the file is open here. Only regular files open; write and create modes are
// refused.
class CFile {
 public:
  enum OpenFlags : unsigned {
    modeRead = 0x0000,
    shareDenyWrite = 0x0020,
    typeBinary = 0x8000,
  };

  CFile() = default;
  ~CFile();  // closes the file
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // Non-zero on success; zero, leaving the object closed, when the file is missing, locked for
  // writing or not readable. exception must be null.
  BOOL Open(const char* path, unsigned flags, void* exception = nullptr);
  // The file's length in bytes (0 when closed).
  unsigned long long GetLength() const;
  // Reads up to count bytes into buffer; returns the number read.
  unsigned Read(void* buffer, unsigned count);
  void Close();

 private:
  int fd = -1;
};

// AfxResolvePath (resolve_path.h) gives the path that CFile::Open opens for path (backslashes
// and case resolved), or "" when no such file exists.

#endif
