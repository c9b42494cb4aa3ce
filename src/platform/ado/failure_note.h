// What the data-access objects last failed on, per thread, and the one bounded wait for a lock
// that a call of the library gets.
//
// Every error the objects report (Fail, FailEngine) is also noted here with its kind, so that a
// caller above the access layer can say "locked", "read-only", "disk full" or "corrupt" without
// reading engine messages. These functions cannot fail and are no fault seam: they only keep
// per-thread bookkeeping.
#ifndef ZEMA_PLATFORM_ADO_FAILURE_NOTE_H
#define ZEMA_PLATFORM_ADO_FAILURE_NOTE_H

#include <string>
#include <string_view>

namespace platform {
namespace ado {

// The numbers are those of the public ZemaErrorKind.
enum class FailureKind {
  kNone = 0,
  kOther = 1,
  kLocked = 2,    // another program holds the database locked
  kReadOnly = 3,  // the file, its directory or the connection does not allow writing
  kDiskFull = 4,  // no room left on the disk (or the file reached its size limit)
  kCorrupt = 5,   // the file is damaged or no database at all
  kNotFound = 6,  // the file does not exist
};

// One call of the library on this thread, from construction to destruction. The outermost scope
// clears the note and gives the call one budget for lock waits: the first wait for a lock held by
// another program starts it, every later wait in the same call draws on what is left, and once it
// is spent the statements that meet a lock fail at once. Outside any scope each statement waits
// up to the budget on its own.
class CallScope {
 public:
  CallScope();
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
};

// How long a call waits for a lock in total, in milliseconds.
constexpr int kLockWaitMs = 5000;

// Notes a failure of the current call. A failure of a known kind replaces a noted kOther; of
// two failures of known kinds the first stays (the later ones are usually its consequences).
void NoteFailure(FailureKind kind, std::string_view description);
// The failure noted since the outermost CallScope began (kNone when there was none); its
// description goes to *description when that is not null.
FailureKind NotedFailure(std::string* description);

// The busy handler of every connection (sqlite3_busy_handler): waits by the rules above.
int WaitForLock(void* unused, int attempt);

}  // namespace ado
}  // namespace platform

#endif
