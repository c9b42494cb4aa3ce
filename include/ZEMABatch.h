// ZEMABatch: whole tags when the caller asks for them, and what a failed call failed on.
//
// Without a batch, CZEMAConfigAcs::SaveTags and DeleteTags run without a transaction: each row
// is final at once, and rows stored before a failure stay. A caller that needs all or nothing
// opens a batch on its writer:
//
//   if (!ZemaBeginBatch(writer)) { ... ZemaLastError(text, sizeof text) says why ... }
//   writer->SaveTags(records, count);      // as ever, but inside the batch
//   writer->DeleteTags(names, nameCount);
//   if (!ZemaCommitBatch(writer)) { ... nothing of the batch was kept ... }
//
// Between begin and commit the writer's SaveTags and DeleteTags run exactly as without a batch,
// inside one write transaction taken at begin: the write lock on the database is held from
// ZemaBeginBatch to the commit or rollback, so other writers wait (or fail as locked), and no
// reader sees anything of the batch before the commit. ZemaRollbackBatch, a failed commit,
// closing the writer with the batch open, or the process dying leave the database as it was
// before ZemaBeginBatch. When the engine gives up the transaction by itself after a failure (a
// full disk, for one), every later write of the batch fails and so does the commit; a rollback
// then succeeds.
//
// Locks: a call that meets a lock held by another program waits for it at most a few seconds
// in all (once per call, and for a batch once at its begin), then fails with ZEMA_ERR_LOCKED.
//
// Threads: a batch belongs to its writer; use both from the thread that opened the writer.
#ifndef ZEMABATCH_H
#define ZEMABATCH_H

#include "ZEMATagAcs.h"

// 1 on success, 0 on failure: a null writer, a batch already open (begin) or none open
// (commit, rollback), the database locked by another program past the one bounded wait, a
// read-only database, a full disk, ... ZemaLastError tells which.
ZEMATAGACS_API int ZemaBeginBatch(CZEMAConfigAcs* writer);
ZEMATAGACS_API int ZemaCommitBatch(CZEMAConfigAcs* writer);
ZEMATAGACS_API int ZemaRollbackBatch(CZEMAConfigAcs* writer);

// What went wrong, by kind. The numbers are fixed.
enum ZemaErrorKind {
  ZEMA_ERR_NONE = 0,
  ZEMA_ERR_OTHER = 1,
  ZEMA_ERR_LOCKED = 2,     // another program holds the database locked
  ZEMA_ERR_READONLY = 3,   // the file or its directory cannot be written
  ZEMA_ERR_DISK_FULL = 4,  // no room left on the disk (or the file reached its size limit)
  ZEMA_ERR_CORRUPT = 5,    // the file is damaged or not a database
  ZEMA_ERR_NOT_FOUND = 6,  // the file does not exist
};

// What the last library call on this thread failed on. Returns the kind, and copies its
// description (zero-terminated, cut to size-1 bytes) into text when text is non-null and
// size > 0 ("" for ZEMA_ERR_NONE).
//
// The record is cleared when each of these calls begins: CZEMAConfigAcs::Open,
// CZEMAConfigAcs::SaveTags and DeleteTags, CZEMATagAcs::Load, ZemaBeginBatch, ZemaCommitBatch
// and ZemaRollbackBatch; other calls (ZemaLastError itself included) leave it. A call then
// records what it failed on, including the refusals that SaveTags, DeleteTags and Load survive
// (they may return 1 with a row refused or a table skipped: ZemaLastError then tells what the
// first such refusal was). A failure of a known kind (locked, read-only, disk full, corrupt,
// not found) wins over ZEMA_ERR_OTHER; of two known kinds the first wins, since the later
// failures of a call are usually its consequences.
ZEMATAGACS_API int ZemaLastError(char* text, int size);

#endif
