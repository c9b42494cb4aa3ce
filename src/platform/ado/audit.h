// The audit trail of a tag database, as far as a connection is concerned.
//
// A database may carry an AuditLog table whose triggers (installed by `zematag audit enable` or
// `zematag init --audit`) record every row written to the tag tables, in the same transaction
// as the write. The triggers ask the connection who writes: every connection this layer opens
// answers the SQL functions zema_audit_user(), zema_audit_host() and zema_audit_program() with
// the process's operating-system user, host name and program name. A database without the
// table is not looked at beyond SQLite's own in-memory schema: no statement runs for it.
#ifndef ZEMA_PLATFORM_ADO_AUDIT_H
#define ZEMA_PLATFORM_ADO_AUDIT_H

#include <string>

struct sqlite3;

namespace platform {
namespace ado {

// The columns of AuditLog, in order, as the tools create it.
extern const char* const kAuditLogColumns[];
extern const int kAuditLogColumnCount;

// Registers the audit functions on db. When the connection may write (readOnly false) and the
// database holds an AuditLog table whose columns are not those above, returns false with a
// sentence for the user in *error: nothing may be written through such a connection. True
// otherwise. REQUIRES: db open, its schema read.
bool PrepareAuditConnection(sqlite3* db, bool readOnly, std::string* error);

}  // namespace ado
}  // namespace platform

#endif
