// Per-thread failure notes and lock-wait budgets of the data-access objects.
#include "platform/ado/failure_note.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/threads/thread_object.h"

namespace platform {
namespace ado {
namespace {

using Clock = std::chrono::steady_clock;

struct ThreadNote {
  int depth = 0;  // nested CallScopes
  FailureKind kind = FailureKind::kNone;
  std::string description;
  bool budgetStarted = false;
  Clock::time_point budgetEnd;
  Clock::time_point statementEnd;  // outside any scope: the end of one statement's wait
};

// Each thread's note, in a pthread key: a thread_local note (it has a destructor) would keep the
// library loaded after dlclose while the thread runs. Null without memory or at exit, once the
// notes are gone: nothing is noted then, and lock waits are not bounded by a call's budget.
ThreadNote* Note() {
  static ThreadObject<ThreadNote> notes;
  return notes.Get();
}

}  // namespace

CallScope::CallScope() {
  ThreadNote* note = Note();
  if (note == nullptr || note->depth++ != 0) return;
  note->kind = FailureKind::kNone;
  note->description.clear();
  note->budgetStarted = false;
}

CallScope::~CallScope() {
  ThreadNote* note = Note();
  if (note != nullptr && note->depth > 0) --note->depth;
}

void NoteFailure(FailureKind kind, std::string_view description) {
  ThreadNote* note = Note();
  if (kind == FailureKind::kNone || note == nullptr) return;
  const bool replace = note->kind == FailureKind::kNone ||
                       (note->kind == FailureKind::kOther && kind != FailureKind::kOther);
  if (!replace) return;
  note->kind = kind;
  note->description.assign(description.data(), description.size());
}

FailureKind NotedFailure(std::string* description) {
  const ThreadNote* note = Note();
  if (note == nullptr) {
    if (description != nullptr) description->clear();
    return FailureKind::kNone;
  }
  if (description != nullptr) *description = note->description;
  return note->kind;
}

int WaitForLock(void*, int attempt) {
  ThreadNote* note = Note();
  if (note == nullptr) return 0;  // no note to keep the deadline in: no wait
  const Clock::time_point now = Clock::now();
  Clock::time_point end;
  if (note->depth > 0) {
    if (!note->budgetStarted) {
      note->budgetStarted = true;
      note->budgetEnd = now + std::chrono::milliseconds(kLockWaitMs);
    }
    end = note->budgetEnd;
  } else {
    if (attempt == 0) note->statementEnd = now + std::chrono::milliseconds(kLockWaitMs);
    end = note->statementEnd;
  }
  if (now >= end) return 0;
  // Short sleeps first, as a lock held for a single commit goes soon.
  static const int kDelaysMs[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
  constexpr int kSteps = static_cast<int>(sizeof kDelaysMs / sizeof kDelaysMs[0]);
  const auto delay = std::chrono::milliseconds(kDelaysMs[attempt < kSteps ? attempt : kSteps - 1]);
  std::this_thread::sleep_for(std::min<Clock::duration>(delay, end - now));
  return 1;
}

}  // namespace ado
}  // namespace platform
