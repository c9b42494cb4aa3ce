// Error reporting of zematag, and the words it uses for the failures of files and databases.
// Every command reports through these, so that a failure reads the same whichever command met
// it: "zematag: FILE: what went wrong".
#ifndef ZEMATAG_REPORT_H
#define ZEMATAG_REPORT_H

#include <functional>
#include <string>

struct sqlite3;

// Prints one error line on stderr: "zematag: message".
void ReportError(const std::string& message);

// The language directory the library reads the function block library catalogue from.
std::string NlsDir();

// Throws ToolError unless path names an existing regular file (a symbolic link to one will do):
// "no such database file", "is a directory, not a database file", "symbolic link loop", ...
// A server URI passes: the connection says what is wrong with it.
void CheckDatabaseFile(const std::string& path);
// Throws ToolError when database is a server URI, for the commands that work on SQLite files
// only: "COMMAND needs an SQLite file: URI is a PostgreSQL database (why)".
void RequireFile(const std::string& database, const std::string& command, const std::string& why);
// RequireFile, and throws ToolError for a Jet or ACE file too, for the commands that write to the
// file or rely on what only an SQLite file keeps (its generation, its trail).
void RequireSqliteFile(const std::string& database, const std::string& command,
                       const std::string& why);

// Why an SQLite call failed, in words, from its (extended) result code and message: locked by
// another program, read-only, disk full, damaged, not an SQLite database file, ...
std::string SqliteFailureText(int code, const std::string& message);

// A new in-memory SQLite database holding every table of the Jet or ACE file at path, read
// whole, calling progress(rows read, rows in all) as it goes (when given). The caller closes it.
// Throws ToolError naming the file and the reason when it cannot be read.
using JetReadProgress = std::function<void(long long done, long long total)>;
sqlite3* ReadJetIntoMemory(const std::string& path, const JetReadProgress& progress = nullptr);

// The kinds of ZemaLastError (ZEMABatch.h) that end an import or a delete at once: the next
// batch would fail for the same reason.
bool IsFatalLibraryFailure(int kind);

// What the library's last failing call on this thread failed on, in words ("" when nothing).
// *kind receives the ZemaErrorKind when kind is not null.
std::string LibraryFailureText(int* kind = nullptr);

#endif
