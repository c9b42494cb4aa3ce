// The address check. Beyond null, negative and overflowed sizes, it verifies that every page of
// the block is mapped (mincore, one system call per 4096 pages); it does not look at the pages'
// protection, so a mapped page without read or write access passes.

#include <errno.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "platform/afx/afx.h"
#include "platform/faults/faults.h"

namespace {

bool PagesMapped(uintptr_t begin, uintptr_t end) {
  static const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  constexpr uintptr_t kPagesPerCall = 4096;
  unsigned char residency[kPagesPerCall];
  uintptr_t page = begin & ~(pageSize - 1);
  while (page < end) {
    uintptr_t pages = (end - page + pageSize - 1) / pageSize;
    if (pages > kPagesPerCall) pages = kPagesPerCall;
    if (mincore(reinterpret_cast<void*>(page), pages * pageSize, residency) != 0) {
      if (errno == ENOMEM) return false;  // a page of the block is not mapped
      return true;                        // cannot tell: do not refuse a valid block
    }
    page += pages * pageSize;
  }
  return true;
}

}  // namespace

BOOL AfxIsValidAddress(const void* p, ptrdiff_t size, BOOL /*readWrite*/) {
  if (platform::FaultCheck("AfxIsValidAddress")) return FALSE;
  if (p == nullptr || size < 0) return FALSE;
  if (size == 0) return TRUE;
  uintptr_t begin = reinterpret_cast<uintptr_t>(p);
  uintptr_t end;
  if (__builtin_add_overflow(begin, static_cast<uintptr_t>(size), &end)) return FALSE;
  return PagesMapped(begin, end) ? TRUE : FALSE;
}

ptrdiff_t AfxBlockSize(long long count, size_t elementSize) {
  if (count < 0) return -1;
  ptrdiff_t bytes;
  if (__builtin_mul_overflow(static_cast<unsigned long long>(count), elementSize, &bytes)) {
    return -1;
  }
  return bytes;
}
