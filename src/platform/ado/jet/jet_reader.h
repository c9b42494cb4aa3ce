// The Jet engine under the data-access objects: Jet 3, Jet 4 and ACE database files (.mdb,
// .accdb), read with libmdb into a private in-memory SQLite database, which the SQLite engine
// then serves read-only.
//
// Every user table becomes a table of the same name whose columns are declared with the Jet type
// names of the declared-type table (TEXT(n), MEMO, BYTE, SHORT, LONG, COUNTER, SINGLE, DOUBLE,
// CURRENCY, DATETIME, BIT, DECIMAL(p,s), VARBINARY(n), LONGBINARY, GUID, BIGINT), and every
// value is stored in the form the SQLite engine stores a value of that type, converted from the
// bytes the file holds (never from libmdb's text rendering), so a Recordset reads back exactly
// what the file holds. Rows keep the order in which the file stores them.
//
// The file is opened read-only and never written. Files that this reader cannot read fully and
// exactly are refused with a reason, never read in part: a truncated or damaged file, an
// encrypted or password-protected one, a format version it does not know.
#ifndef ZEMA_PLATFORM_ADO_JET_JET_READER_H
#define ZEMA_PLATFORM_ADO_JET_JET_READER_H

#include <sqlite3.h>
#include <stddef.h>

#include <functional>
#include <string>

namespace platform {
namespace ado {
namespace jet {

// True when bytes begin with the header of a Jet or ACE database file (the engine name
// "Standard Jet DB" or "Standard ACE DB"), whatever its version.
bool HasJetHeader(const unsigned char* bytes, size_t size);
// True when the file at path begins with such a header; false when it cannot be read.
bool IsJetFile(const std::string& path);

// What a read found.
struct ReadTotals {
  int tables = 0;
  long long rows = 0;
};
// Called while a file is read: rows read so far, and the rows the tables declare in all.
using ReadProgress = std::function<void(long long done, long long total)>;

// Reads every user table of a Jet or ACE file image into db, inside one transaction. True on
// success; otherwise *error says why (without the file's name) and db holds nothing of the file.
// REQUIRES: db is open, writable, and holds no table of the same name.
bool ReadJetImage(const unsigned char* bytes, size_t size, sqlite3* db, std::string* error,
                  const ReadProgress& progress = nullptr, ReadTotals* totals = nullptr);
// The same for the file at path, opened read-only; *error names the file.
bool ReadJetFile(const std::string& path, sqlite3* db, std::string* error,
                 const ReadProgress& progress = nullptr, ReadTotals* totals = nullptr);

enum class OpenResult { kNotJet, kOpened, kFailed };
// The connection's Open: for a Jet or ACE file (by its header), a new in-memory SQLite database
// holding its tables, in *db, which only reads (query_only). kFailed with *error (naming the
// file) when readOnly is false (Jet files open read-only) or the file cannot be read; kNotJet,
// *db untouched, for any other file.
OpenResult OpenJetAsSqlite(const std::string& path, bool readOnly, sqlite3** db,
                           std::string* error);

}  // namespace jet
}  // namespace ado
}  // namespace platform

#endif
