// The batch entry points and the thread's last error (ZEMABatch.h).
#include <string.h>

#include <string>

#include "ZEMABatch.h"
#include "dbaccess/Failures.h"
#include "tagdb/ZEMAConfigAcsImpl.h"

namespace {

using dbaccess::FailureKind;

static_assert(static_cast<int>(FailureKind::kLocked) == ZEMA_ERR_LOCKED &&
                  static_cast<int>(FailureKind::kReadOnly) == ZEMA_ERR_READONLY &&
                  static_cast<int>(FailureKind::kDiskFull) == ZEMA_ERR_DISK_FULL &&
                  static_cast<int>(FailureKind::kCorrupt) == ZEMA_ERR_CORRUPT &&
                  static_cast<int>(FailureKind::kNotFound) == ZEMA_ERR_NOT_FOUND &&
                  static_cast<int>(FailureKind::kOther) == ZEMA_ERR_OTHER,
              "the access layer's kinds are the public ones");

// Our writer behind the interface; null (with the failure noted) for null or a writer this
// library did not make.
CZEMAConfigAcsImpl* OurWriter(CZEMAConfigAcs* writer) {
  auto* impl = dynamic_cast<CZEMAConfigAcsImpl*>(writer);
  if (impl == nullptr) dbaccess::NoteFailure(FailureKind::kOther, "No writer.");
  return impl;
}

}  // namespace

int ZemaBeginBatch(CZEMAConfigAcs* writer) {
  dbaccess::CallScope call;
  CZEMAConfigAcsImpl* impl = OurWriter(writer);
  return impl != nullptr && impl->BeginBatch() ? 1 : 0;
}

int ZemaCommitBatch(CZEMAConfigAcs* writer) {
  dbaccess::CallScope call;
  CZEMAConfigAcsImpl* impl = OurWriter(writer);
  return impl != nullptr && impl->CommitBatch() ? 1 : 0;
}

int ZemaRollbackBatch(CZEMAConfigAcs* writer) {
  dbaccess::CallScope call;
  CZEMAConfigAcsImpl* impl = OurWriter(writer);
  return impl != nullptr && impl->RollbackBatch() ? 1 : 0;
}

int ZemaLastError(char* text, int size) {
  std::string description;
  const FailureKind kind = dbaccess::NotedFailure(&description);
  if (text != nullptr && size > 0) {
    const size_t length = description.size() < static_cast<size_t>(size - 1)
                              ? description.size()
                              : static_cast<size_t>(size - 1);
    memcpy(text, description.data(), length);
    text[length] = '\0';
  }
  return static_cast<int>(kind);
}
