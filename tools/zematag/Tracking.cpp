#include "Tracking.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <filesystem>

#include "Layout.h"
#include "Report.h"
#include "Text.h"
#include "ToolError.h"
#include "platform/ado/audit.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace tracking {
namespace {

// An SQL text literal.
std::string Literal(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += '\'';
    quoted += c;
  }
  return quoted + "'";
}

// The row of a trigger (NEW or OLD) as the text of a JSON object, written by the connection's
// zema_audit_json (blobs as X'hex' text): one call builds the text in one buffer, where
// json_object with a CASE per column to spell blobs costs the writer about as much again as the
// row itself. Rows with more columns than one call takes are joined from several calls.
std::string RowJson(const std::vector<std::pair<std::string, std::string>>& columns,
                    const char* row) {
  const size_t perCall = platform::ado::kAuditJsonMaxColumns;
  std::vector<std::string> calls;
  for (size_t first = 0; first < columns.size(); first += perCall) {
    std::vector<std::string> names;
    std::string values;
    for (size_t i = first; i < columns.size() && i < first + perCall; ++i) {
      names.push_back(columns[i].first);
      values += fmt::format(", {}.{}", row, QuoteName(columns[i].first));
    }
    calls.push_back(Literal(platform::ado::AuditJsonNames(names)) + values);
  }
  if (calls.size() <= 1)
    return fmt::format("zema_audit_json({})",
                       calls.empty() ? Literal(platform::ado::AuditJsonNames({})) : calls.front());
  std::string sql = "'{'";
  for (size_t i = 0; i < calls.size(); ++i)
    sql += fmt::format(" || {}zema_audit_json_members({})", i == 0 ? "" : "',' || ", calls[i]);
  return sql + " || '}'";
}

bool HasColumn(const std::vector<std::pair<std::string, std::string>>& columns, const char* name) {
  for (const auto& column : columns)
    if (EqualsNoCase(column.first, name)) return true;
  return false;
}

std::string TriggerName(const char* kind, const std::string& table, const char* operation) {
  // Blanks in the name: no trigger of anyone else's can be called the same.
  return QuoteName(fmt::format("zema {} {} {}", kind, table, operation));
}

}  // namespace

CTrackedDb CTrackedDb::Open(const std::string& path, bool write) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    throw ToolError(fmt::format("{}: no such database file", path));
  if (platform::ado::jet::IsJetFile(path)) return OpenJet(path, write);
  sqlite3* db = nullptr;
  // A connection serves one thread: no lock around every call (reading a plant makes millions).
  const int flags = (write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close(db);
    throw ToolError(fmt::format("{}: {}", path, message));
  }
  sqlite3_busy_timeout(db, 5000);
  platform::ado::RegisterAuditFunctions(db);
  CTrackedDb opened(db, path);
  if (sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
      SQLITE_OK)
    throw ToolError(fmt::format("{}: not a tag database ({})", path, sqlite3_errmsg(db)));
  if (write) opened.Execute("PRAGMA synchronous=NORMAL");
  return opened;
}

CTrackedDb CTrackedDb::OpenJet(const std::string& path, bool write) {
  // A Jet file keeps neither a generation nor a trail, and nothing writes to it.
  if (write)
    throw ToolError(fmt::format(
        "{}: a Jet or ACE file opens read-only; make an SQLite file of it with zematag convert "
        "first",
        path));
  CTrackedDb opened(ReadJetIntoMemory(path), path);
  opened.Execute("PRAGMA query_only=ON");
  return opened;
}

CTrackedDb::~CTrackedDb() {
  if (db != nullptr) sqlite3_close(db);
}

void CTrackedDb::Execute(const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw ToolError(fmt::format("{}: {}", path, text));
  }
}

void CTrackedDb::Query(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    throw ToolError(fmt::format("{}: {}", path, sqlite3_errmsg(db)));
  }
  int rc;
  try {
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
  } catch (...) {
    sqlite3_finalize(statement);
    throw;
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_DONE) throw ToolError(fmt::format("{}: {}", path, sqlite3_errmsg(db)));
}

bool CTrackedDb::HasTable(const std::string& name) {
  bool found = false;
  Query(fmt::format("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = {} COLLATE "
                    "NOCASE",
                    Literal(name)),
        [&](sqlite3_stmt*) { found = true; });
  return found;
}

std::vector<std::pair<std::string, std::string>> CTrackedDb::Columns(const std::string& table) {
  std::vector<std::pair<std::string, std::string>> columns;
  Query(fmt::format("SELECT name, type FROM pragma_table_info({})", Literal(table)),
        [&](sqlite3_stmt* row) {
          const auto text = [&](int i) {
            const unsigned char* value = sqlite3_column_text(row, i);
            return value != nullptr ? std::string(reinterpret_cast<const char*>(value)) : "";
          };
          columns.emplace_back(text(0), text(1));
        });
  return columns;
}

std::vector<std::string> TrackedTables(CTrackedDb& db) {
  std::vector<std::string> tables;
  // Spelled as sqlite_master spells them, fixed tables first.
  std::vector<std::string> valueTables;
  db.Query(
      fmt::format("SELECT m.name, lower(m.name) IN ('tags', 'hmiinfo', 'tagtypes') FROM "
                  "sqlite_master m WHERE m.type = 'table' AND (lower(m.name) IN ('tags', "
                  "'hmiinfo', 'tagtypes') OR lower(m.name) IN (SELECT lower(TypeName) FROM {})) "
                  "ORDER BY m.rowid",
                  QuoteName(layout::kTagTypes)),
      [&](sqlite3_stmt* row) {
        const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
        if (EqualsNoCase(name, kAuditLog) || EqualsNoCase(name, kGenerationTable)) return;
        (sqlite3_column_int(row, 1) != 0 ? tables : valueTables).push_back(name);
      });
  tables.insert(tables.end(), valueTables.begin(), valueTables.end());
  return tables;
}

std::string TableTriggersSql(const std::string& schema, const std::string& table,
                             const std::vector<std::pair<std::string, std::string>>& columns,
                             bool audited) {
  const std::string prefix = schema.empty() ? "" : QuoteName(schema) + ".";
  std::string sql;
  if (!audited) {
    for (const char* operation : {"INSERT", "UPDATE", "DELETE"})
      sql += fmt::format(
          "CREATE TRIGGER IF NOT EXISTS {}{} AFTER {} ON {} BEGIN UPDATE {} SET {} = {} + 1; "
          "END;\n",
          prefix, TriggerName("generation", table, operation), operation, QuoteName(table),
          QuoteName(kGenerationTable), QuoteName("Generation"), QuoteName("Generation"));
    return sql;
  }
  const std::string log = QuoteName(kAuditLog);
  const bool hasTagId = HasColumn(columns, layout::kTagID);
  const bool isTags = EqualsNoCase(table, layout::kTags);
  for (const char* operation : {"INSERT", "UPDATE", "DELETE"}) {
    const char* row = operation[0] == 'D' ? "OLD" : "NEW";
    std::string name = "NULL";
    if (isTags && HasColumn(columns, layout::kTagName)) {
      name = fmt::format("{}.{}", row, QuoteName(layout::kTagName));
    } else if (hasTagId) {
      // The tag's row is gone when the writer deletes its value and display rows: then the
      // name comes from the trail's latest few rows, where its deletion was just recorded.
      name = fmt::format(
          "COALESCE((SELECT {0} FROM {1} WHERE {2} = {3}.{2}), (SELECT {0} FROM {4} WHERE "
          "{5} > (SELECT max({5}) FROM {4}) - 64 AND {2} = {3}.{2} AND {6} = {7} ORDER BY {5} "
          "DESC LIMIT 1))",
          QuoteName(layout::kTagName), QuoteName(layout::kTags), QuoteName(layout::kTagID), row,
          log, QuoteName("AuditID"), QuoteName("TableName"), Literal(layout::kTags));
    }
    sql += fmt::format(
        "CREATE TRIGGER IF NOT EXISTS {}{} AFTER {} ON {} BEGIN INSERT INTO {} ({}, {}, {}, {}, "
        "{}, {}, {}, {}, {}, {}) VALUES (zema_audit_time(), "
        "zema_audit_user(), zema_audit_host(), zema_audit_program(), {}, {}, {}, {}, {}, {}); "
        "END;\n",
        prefix, TriggerName("audit", table, operation), operation, QuoteName(table), log,
        QuoteName("Time"), QuoteName("OsUser"), QuoteName("Host"), QuoteName("Program"),
        QuoteName("Operation"), QuoteName("TableName"), QuoteName("TagID"), QuoteName("TagName"),
        QuoteName("Before"), QuoteName("After"), Literal(Lower(operation)), Literal(table),
        hasTagId ? fmt::format("{}.{}", row, QuoteName(layout::kTagID)) : "NULL", name,
        operation[0] == 'I' ? "NULL" : RowJson(columns, "OLD"),
        operation[0] == 'D' ? "NULL" : RowJson(columns, "NEW"));
  }
  return sql;
}

void InstallGeneration(CTrackedDb& db) {
  // With an audit trail every write adds a row to it, and the trail's last AuditID counts the
  // writes: the generation is the stored value plus that id, and no trigger raises the counter.
  const bool audited = AuditStateOf(db) == AuditState::kEnabled;
  std::string sql = fmt::format(
      "CREATE TABLE IF NOT EXISTS {0} ({1} INTEGER NOT NULL);\n"
      // A random start, so that two databases hardly ever show the same number.
      "INSERT INTO {0} SELECT (abs(random()) % 2147483647) * 4294967296 WHERE NOT EXISTS "
      "(SELECT 1 FROM {0});\n",
      QuoteName(kGenerationTable), QuoteName("Generation"));
  for (const std::string& table : TrackedTables(db)) {
    if (!audited) {
      sql += TableTriggersSql("", table, {}, false);
      continue;
    }
    for (const char* operation : {"INSERT", "UPDATE", "DELETE"})
      sql +=
          fmt::format("DROP TRIGGER IF EXISTS {};\n", TriggerName("generation", table, operation));
  }
  db.Execute(sql);
}

AuditState AuditStateOf(CTrackedDb& db, std::string* found) {
  if (!db.HasTable(kAuditLog)) return AuditState::kNone;
  const auto columns = db.Columns(kAuditLog);
  bool same = columns.size() == std::size(kAuditColumns);
  for (size_t i = 0; same && i < columns.size(); ++i)
    same = EqualsNoCase(columns[i].first, kAuditColumns[i]);
  if (same) return AuditState::kEnabled;
  if (found != nullptr) {
    found->clear();
    for (size_t i = 0; i < columns.size(); ++i) *found += (i == 0 ? "" : ", ") + columns[i].first;
  }
  return AuditState::kWrongColumns;
}

void InstallAudit(CTrackedDb& db) {
  std::string found;
  if (AuditStateOf(db, &found) == AuditState::kWrongColumns)
    throw ToolError(
        fmt::format("{}: table AuditLog has the wrong columns ({}); rename or remove it first",
                    db.Path(), found));
  const std::string log = QuoteName(kAuditLog);
  std::string sql = fmt::format(
      "CREATE TABLE IF NOT EXISTS {} ({} INTEGER PRIMARY KEY, {} TEXT NOT NULL, {} TEXT, {} "
      "TEXT, {} TEXT, {} TEXT NOT NULL, {} TEXT NOT NULL, {} INTEGER, {} TEXT, {} TEXT, {} "
      "TEXT);\n",
      log, QuoteName("AuditID"), QuoteName("Time"), QuoteName("OsUser"), QuoteName("Host"),
      QuoteName("Program"), QuoteName("Operation"), QuoteName("TableName"), QuoteName("TagID"),
      QuoteName("TagName"), QuoteName("Before"), QuoteName("After"));
  for (const char* operation : {"UPDATE", "DELETE"})
    sql += fmt::format(
        "CREATE TRIGGER IF NOT EXISTS {} BEFORE {} ON {} BEGIN SELECT RAISE(ABORT, 'the audit "
        "trail cannot be changed'); END;\n",
        TriggerName("audit", kAuditLog, operation), operation, log);
  db.Execute(sql);
  sql.clear();
  InstallGeneration(db);
  // The triggers of the tracked tables are made anew: a trail enabled by an earlier version
  // of the tool gets the current ones (same rows in the trail, written for less), and a table's
  // trigger follows its columns.
  for (const std::string& table : TrackedTables(db)) {
    for (const char* operation : {"INSERT", "UPDATE", "DELETE"})
      sql += fmt::format("DROP TRIGGER IF EXISTS {};\n", TriggerName("audit", table, operation));
    sql += TableTriggersSql("", table, db.Columns(table), true);
  }
  db.Execute(sql);
}

void ExplainRefusedWriter(const std::string& path) {
  std::string found;
  try {
    CTrackedDb db = CTrackedDb::Open(path, false);
    if (AuditStateOf(db, &found) != AuditState::kWrongColumns) return;
  } catch (const ToolError&) {
    return;
  }
  throw ToolError(fmt::format(
      "{}: table AuditLog has the wrong columns ({}); nothing is written to this database until "
      "it is repaired",
      path, found));
}

}  // namespace tracking
