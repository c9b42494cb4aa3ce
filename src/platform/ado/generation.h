// The generation of a tag database: a number that moves whenever a committed write changes it.
//
// A database made by `zematag init` (or given an audit trail) keeps a counter in the one row of
// table ConfigGeneration, which triggers on every tag table raise in the same transaction as
// each row they write; its value is the generation, the same for every process, below 2^63.
// A database with an audit trail has no such triggers: every write adds a row to AuditLog,
// and the generation is the stored value plus the last AuditID.
// For any other database the generation is counted by this process: SQLite reports whether any
// connection committed to the file since the last look, and each time it did the count moves
// on. Those numbers have the top bit set, start at a random value per file and process, and
// mean nothing to another process. Both kinds also move when the file at the path is replaced
// by another one.
//
// The reader keeps a read-only connection per path (the 16 most recently used) between calls,
// so that a call that finds nothing changed runs one cheap statement and reads no table.
// Thread-safe.
#ifndef ZEMA_PLATFORM_ADO_GENERATION_H
#define ZEMA_PLATFORM_ADO_GENERATION_H

namespace platform {
namespace ado {

// Stores the generation of the database at path in *generation and returns true; false (with
// *generation untouched) when path is null, the file is missing or is not an SQLite database,
// or the engine fails. Fault name: "ConfigGeneration".
bool ReadConfigGeneration(const char* path, unsigned long long* generation);

// Closes the connections kept between calls (the next call opens again).
void ForgetConfigGenerations();

}  // namespace ado
}  // namespace platform

#endif
