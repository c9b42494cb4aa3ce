// Change tracking in a tag database: the generation counter and the audit trail, both kept by
// triggers that run inside each writing statement's own transaction.
//
// - ConfigGeneration holds one row, one integer, raised by one for every row written to Tags,
//   HMIInfo, TagTypes or a value table. `zematag init` installs it; the library reads it for
//   ZemaConfigGeneration. With an audit trail no trigger raises it: every write adds a row to
//   the trail, and the generation is the stored integer plus the trail's last AuditID.
// - AuditLog (opt-in: `zematag audit enable`, `zematag init --audit`) receives one row per row
//   written to those tables: the time (UTC), who wrote it (operating-system user, host,
//   program), the operation, the table, the tag's id and name, and the row before and after as
//   JSON objects. The time, the identity and the JSON come from SQL functions that every
//   connection of the library and of this tool answers (platform/ado/audit.h).
//   Triggers refuse every UPDATE and DELETE of AuditLog itself.
//
// CTrackedDb is the tool's own SQLite connection to a file (beside the library's), with the audit
// functions registered: the commands that install the tracking (`init`, `convert`, `copy`,
// `audit enable`) write through it, and `log`, `diff` and `apply` read through it.
#ifndef ZEMATAG_TRACKING_H
#define ZEMATAG_TRACKING_H

#include <functional>
#include <string>
#include <vector>

#include "Layout.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tracking {

inline constexpr const char* kAuditLog = layout::kAuditLog;
inline constexpr const char* kGenerationTable = layout::kConfigGeneration;
// The columns of AuditLog, in order (the library refuses to write to a database whose AuditLog
// has others).
inline constexpr const char* kAuditColumns[] = {"AuditID", "Time",      "OsUser",    "Host",
                                                "Program", "Operation", "TableName", "TagID",
                                                "TagName", "Before",    "After"};

// A direct connection to a database file, with the audit functions registered.
class CTrackedDb {
 public:
  // Opens an existing file; throws ToolError naming it when it is missing or does not open. A
  // Jet or ACE file is read whole into memory for reading, and refused for writing.
  static CTrackedDb Open(const std::string& path, bool write);
  CTrackedDb(CTrackedDb&& other) noexcept : db(other.db), path(std::move(other.path)) {
    other.db = nullptr;
  }
  CTrackedDb(const CTrackedDb&) = delete;
  CTrackedDb& operator=(const CTrackedDb&) = delete;
  ~CTrackedDb();

  sqlite3* get() const { return db; }
  const std::string& Path() const { return path; }
  // Runs statements without results; throws ToolError with the engine's message.
  void Execute(const std::string& sql);
  // Runs a query; row() gets the statement positioned on each row.
  void Query(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row);
  bool HasTable(const std::string& name);
  // The columns of a table in declared order: name and declared type.
  std::vector<std::pair<std::string, std::string>> Columns(const std::string& table);

 private:
  CTrackedDb(sqlite3* handle, std::string file) : db(handle), path(std::move(file)) {}
  static CTrackedDb OpenJet(const std::string& path, bool write);
  sqlite3* db;
  std::string path;
};

// Tags, HMIInfo, TagTypes and every value table that exists, as the database spells them.
std::vector<std::string> TrackedTables(CTrackedDb& db);

// The triggers that keep the generation (audited: the audit trail) of one tracked table, where
// missing. `schema` names the attached database that holds the table ("" for the main one); the
// trigger bodies refer to that database's own tables.
std::string TableTriggersSql(const std::string& schema, const std::string& table,
                             const std::vector<std::pair<std::string, std::string>>& columns,
                             bool audited);

// Adds ConfigGeneration and its triggers where missing. REQUIRES: inside a transaction.
void InstallGeneration(CTrackedDb& db);

enum class AuditState { kNone, kEnabled, kWrongColumns };
// Whether the database has an audit trail; *found gets the columns of a wrong one.
AuditState AuditStateOf(CTrackedDb& db, std::string* found = nullptr);
// Adds AuditLog and its guards where missing, and the generation; (re)makes the audit triggers
// of every tracked table. Throws ToolError when an AuditLog with other columns exists. REQUIRES:
// inside a transaction.
void InstallAudit(CTrackedDb& db);

// After the library refused to open a writer on path: throws a ToolError that says why when the
// reason is an AuditLog with the wrong columns; returns otherwise.
void ExplainRefusedWriter(const std::string& path);

}  // namespace tracking

#endif
