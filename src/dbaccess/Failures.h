// What the data-access objects last failed on, for the layers above the access layer: they
// reach the data-access stand-in's per-thread failure note and call scope through here only
// (see platform/ado/failure_note.h for what each promises).
#ifndef ZEMA_DBACCESS_FAILURES_H
#define ZEMA_DBACCESS_FAILURES_H

#include "platform/ado/failure_note.h"

namespace dbaccess {

using platform::ado::CallScope;
using platform::ado::FailureKind;
using platform::ado::NotedFailure;
using platform::ado::NoteFailure;

}  // namespace dbaccess

#endif
