// The audit trail of a tag database, as far as a connection is concerned.
//
// A database may carry an AuditLog table whose triggers (installed by `zematag audit enable` or
// `zematag init --audit`) record every row written to the tag tables, in the same transaction
// as the write. The triggers ask the connection who writes and when, and have it write the rows
// as JSON: every connection this layer opens, and every connection of the tool, answers the SQL
// functions below. A database without the table is not looked at beyond SQLite's own in-memory
// schema: no statement runs for it.
//
//   zema_audit_user(), zema_audit_host(), zema_audit_program()
//       the process's operating-system user (its name, or "uid N" where it has none), host
//       name and program name; read once per process.
//   zema_audit_time()
//       the current time (UTC) as YYYY-MM-DDTHH:MM:SS.SSSZ, milliseconds truncated: the text
//       and the clock of SQLite's strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), read at each call.
//   zema_audit_json(names, value, ...)
//       the values named by `names` (a JSON array of strings, as AuditJsonNames writes it) as
//       the text of a JSON object, exactly as json_object(name, value, ...) writes them (same
//       escapes, integers as digits, reals as SQLite shows them), except that a blob, which
//       JSON cannot hold, becomes the string X'hex' (upper-case digits). At most
//       kAuditJsonMaxColumns values. The names come in one argument, not one per value: a
//       trigger runs with a register for every argument, and each costs it on every row.
//   zema_audit_json_members(names, value, ...)
//       the same without the braces, for rows with more columns: '{' || members || ',' ||
//       members || '}'.
#ifndef ZEMA_PLATFORM_ADO_AUDIT_H
#define ZEMA_PLATFORM_ADO_AUDIT_H

#include <string>
#include <vector>

struct sqlite3;

namespace platform {
namespace ado {

// The columns of AuditLog, in order, as the tools create it.
extern const char* const kAuditLogColumns[];
extern const int kAuditLogColumnCount;

// The most values one call of zema_audit_json takes (the engine allows 127 arguments by
// default).
constexpr int kAuditJsonMaxColumns = 120;

// The names of columns as the first argument of zema_audit_json: a JSON array of strings.
std::string AuditJsonNames(const std::vector<std::string>& names);

// Registers the functions above on db. Returns false when the engine refuses one (out of
// memory); the connection then cannot write to an audited database.
bool RegisterAuditFunctions(sqlite3* db);

// Registers the audit functions on db. When the connection may write (readOnly false) and the
// database holds an AuditLog table whose columns are not those above, returns false with a
// sentence for the user in *error: nothing may be written through such a connection. True
// otherwise. REQUIRES: db open, its schema read.
bool PrepareAuditConnection(sqlite3* db, bool readOnly, std::string* error);

}  // namespace ado
}  // namespace platform

#endif
