// The binary file read (paths resolved by AfxResolvePath, resolve_path.cpp).
//
// "Deny writers" is an advisory lock: the open takes a shared flock and fails while another
// open file holds an exclusive one, and writers that take an exclusive flock fail while the
// file is open here. Programs that write without locking are not stopped, as Linux has no
// mandatory sharing modes.

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "platform/afx/afx.h"
#include "platform/faults/faults.h"

namespace {

constexpr unsigned kModeWrite = 0x0001;
constexpr unsigned kModeReadWrite = 0x0002;
constexpr unsigned kShareExclusive = 0x0010;
constexpr unsigned kModeCreate = 0x1000;

}  // namespace

CFile::~CFile() { Close(); }

BOOL CFile::Open(const char* path, unsigned flags, void* /*exception*/) {
  Close();
  if (platform::FaultCheck("File.Open")) return FALSE;
  // A read-only stand-in: nothing is created or opened for writing.
  if (flags & (kModeWrite | kModeReadWrite | kModeCreate)) return FALSE;
  std::string resolved = AfxResolvePath(path);
  if (resolved.empty()) return FALSE;
  // Non-blocking, so that a FIFO or device does not hang the open; regular files only.
  int file = open(resolved.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (file < 0) return FALSE;
  struct stat st;
  if (fstat(file, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(file);
    return FALSE;
  }
  int lock = (flags & kShareExclusive) ? LOCK_EX : (flags & shareDenyWrite) ? LOCK_SH : 0;
  if (lock != 0 && flock(file, lock | LOCK_NB) != 0) {
    close(file);
    return FALSE;
  }
  int status = fcntl(file, F_GETFL);
  if (status >= 0) fcntl(file, F_SETFL, status & ~O_NONBLOCK);
  fd = file;
  return TRUE;
}

unsigned long long CFile::GetLength() const {
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return 0;
  return static_cast<unsigned long long>(st.st_size);
}

unsigned CFile::Read(void* buffer, unsigned count) {
  if (fd < 0 || buffer == nullptr) return 0;
  char* out = static_cast<char*>(buffer);
  unsigned total = 0;
  while (total < count) {
    ssize_t n = read(fd, out + total, count - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<unsigned>(n);
  }
  return total;
}

void CFile::Close() {
  if (fd >= 0) {
    close(fd);  // releases the lock too
    fd = -1;
  }
}
