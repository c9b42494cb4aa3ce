#include "SchemaStore.h"

#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "Layout.h"
#include "Report.h"
#include "Text.h"
#include "ToolError.h"
#include "platform/ado/jet/jet_reader.h"

namespace {

// How long a read waits for a lock another program holds before it reports the database locked.
constexpr int kBusyMilliseconds = 3000;

// Runs statements without results; throws ToolError naming the file on failure.
void Execute(sqlite3* db, const std::string& path, const std::string& sql) {
  char* message = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (result != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw ToolError(fmt::format("{}: {}", path, SqliteFailureText(result, text)));
  }
}

}  // namespace

std::string IndexSql(const std::string& table, const std::string& column) {
  // Index names hold blanks, so no type (an identifier) can clash with them.
  return fmt::format("CREATE INDEX {} ON {} ({});\n", QuoteName("ix " + table + " " + column),
                     QuoteName(table), QuoteName(column));
}

std::string QuoteName(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

CSchemaStore CSchemaStore::OpenReadOnly(const std::string& path) { return Open(path, false); }

CSchemaStore CSchemaStore::OpenForRepair(const std::string& path) { return Open(path, true); }

CSchemaStore CSchemaStore::Open(const std::string& path, bool forWriting) {
  if (platform::ado::jet::IsJetFile(path)) {
    if (forWriting)
      throw ToolError(fmt::format(
          "{}: a Jet database opens read-only (convert it with zematag convert first)", path));
    return CheckTagTables(OpenJet(path, nullptr));
  }
  CheckDatabaseFile(path);
  sqlite3* db = nullptr;
  const int flags = forWriting ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
  const int opened = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (opened != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
    sqlite3_close(db);
    throw ToolError(fmt::format("{}: {}", path, SqliteFailureText(opened, message)));
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyMilliseconds);
  CSchemaStore store(db, path);
  if (forWriting && sqlite3_db_readonly(db, "main") == 1)
    throw ToolError(fmt::format("{}: the database is read-only", path));
  return CheckTagTables(std::move(store));
}

CSchemaStore CSchemaStore::OpenJet(const std::string& path, const JetProgress& progress) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw ToolError(fmt::format("{}: out of memory", path));
  }
  std::string error;
  if (!platform::ado::jet::ReadJetFile(path, db, &error, progress)) {
    sqlite3_close(db);
    throw ToolError(error);
  }
  return CSchemaStore(db, path);
}

CSchemaStore CSchemaStore::CheckTagTables(CSchemaStore store) {
  const std::string& path = store.path;
  for (const char* table : {layout::kTagTypes, layout::kTags, layout::kHMIInfo}) {
    if (!store.HasTable(table))
      throw ToolError(fmt::format("{}: not a tag database (no table {})", path, table));
  }
  return store;
}

void CSchemaStore::Fail(int code) const {
  throw ToolError(fmt::format("{}: {}", path, SqliteFailureText(code, sqlite3_errmsg(db))));
}

CSchemaStore::~CSchemaStore() {
  sqlite3_finalize(nameLookup);
  if (db != nullptr) sqlite3_close(db);
}

std::vector<long long> CSchemaStore::TagIdsNamed(const std::string& name) {
  if (nameLookup == nullptr) {
    const std::string sql = fmt::format("SELECT {} FROM {} WHERE {} = ?1", layout::kTagID,
                                        QuoteName(layout::kTags), layout::kTagName);
    const int prepared = sqlite3_prepare_v2(db, sql.c_str(), -1, &nameLookup, nullptr);
    if (prepared != SQLITE_OK) Fail(prepared);
  }
  std::vector<long long> ids;
  sqlite3_bind_text(nameLookup, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
  int result = SQLITE_OK;
  while ((result = sqlite3_step(nameLookup)) == SQLITE_ROW)
    ids.push_back(sqlite3_column_int64(nameLookup, 0));
  // Resetting ends the read, so that this connection holds no snapshot between lookups.
  sqlite3_reset(nameLookup);
  if (result != SQLITE_DONE) Fail(result);
  return ids;
}

std::vector<std::string> CSchemaStore::IntegrityProblems() {
  std::vector<std::string> problems;
  try {
    Query("PRAGMA integrity_check",
          [&](const std::vector<std::string>& row, const std::vector<bool>&) {
            if (row[0] != "ok") problems.push_back(row[0]);
          });
  } catch (const ToolError&) {
    // A file damaged badly enough stops the check itself: that is one more problem.
    problems.push_back(fmt::format("the check stopped: {}", sqlite3_errmsg(db)));
  }
  return problems;
}

void CSchemaStore::ExecuteInTransaction(const std::string& sql) {
  const auto run = [&](const std::string& statements) {
    char* message = nullptr;
    const int result = sqlite3_exec(db, statements.c_str(), nullptr, nullptr, &message);
    sqlite3_free(message);
    return result;
  };
  int result = run("BEGIN IMMEDIATE");
  if (result != SQLITE_OK) Fail(result);
  result = run(sql);
  if (result == SQLITE_OK) result = run("COMMIT");
  if (result != SQLITE_OK) {
    const int code = sqlite3_extended_errcode(db);
    const std::string message = sqlite3_errmsg(db);
    run("ROLLBACK");
    throw ToolError(
        fmt::format("{}: {}; nothing was changed", path, SqliteFailureText(code, message)));
  }
}

void CSchemaStore::Query(const std::string& sql, const Row& row) {
  sqlite3_stmt* statement = nullptr;
  const int prepared = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (prepared != SQLITE_OK) Fail(prepared);
  const int columns = sqlite3_column_count(statement);
  std::vector<std::string> values(static_cast<size_t>(columns));
  std::vector<bool> isNull(static_cast<size_t>(columns));
  int result = SQLITE_OK;
  while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
    for (int i = 0; i < columns; ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      isNull[static_cast<size_t>(i)] = sqlite3_column_type(statement, i) == SQLITE_NULL;
      values[static_cast<size_t>(i)] = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }
    row(values, isNull);
  }
  sqlite3_finalize(statement);
  if (result != SQLITE_DONE) Fail(result);
}

bool CSchemaStore::HasTable(const std::string& name) {
  bool found = false;
  sqlite3_stmt* statement = nullptr;
  const int prepared = sqlite3_prepare_v2(
      db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE", -1,
      &statement, nullptr);
  if (prepared != SQLITE_OK) Fail(prepared);
  sqlite3_bind_text(statement, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  const int result = sqlite3_step(statement);
  found = result == SQLITE_ROW;
  sqlite3_finalize(statement);
  if (result != SQLITE_ROW && result != SQLITE_DONE) Fail(result);
  return found;
}

std::vector<TypeDef> CSchemaStore::Types() {
  std::vector<TypeDef> types;
  std::map<std::string, size_t> column;
  // Column positions by name, so that missing id columns read as -1 as the library reads them.
  sqlite3_stmt* statement = nullptr;
  const std::string sql = fmt::format("SELECT * FROM {}", QuoteName(layout::kTagTypes));
  const int prepared = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
  if (prepared != SQLITE_OK) Fail(prepared);
  for (int i = 0; i < sqlite3_column_count(statement); ++i)
    column[Lower(sqlite3_column_name(statement, i))] = static_cast<size_t>(i);
  sqlite3_finalize(statement);
  const auto position = [&](const char* name) {
    const auto found = column.find(Lower(name));
    return found == column.end() ? std::string::npos : found->second;
  };
  const size_t idAt = position("TypeID"), nameAt = position("TypeName"),
               libAt = position("TypeLibID"), moduleAt = position("TypeModuleID");
  if (idAt == std::string::npos || nameAt == std::string::npos)
    throw ToolError(fmt::format("{}: table TagTypes lacks TypeID or TypeName", path));
  Query(sql, [&](const std::vector<std::string>& values, const std::vector<bool>&) {
    TypeDef type;
    type.id = std::atoi(values[idAt].c_str());
    type.hasId = true;
    type.name = values[nameAt];
    type.libId = libAt == std::string::npos ? -1 : std::atoi(values[libAt].c_str());
    type.moduleId = moduleAt == std::string::npos ? -1 : std::atoi(values[moduleAt].c_str());
    types.push_back(type);
  });
  std::stable_sort(types.begin(), types.end(),
                   [](const TypeDef& a, const TypeDef& b) { return a.id < b.id; });
  for (TypeDef& type : types) {
    type.hasTable = HasTable(type.name);
    if (!type.hasTable) continue;
    Query(fmt::format("PRAGMA table_info({})", QuoteName(type.name)),
          [&](const std::vector<std::string>& values, const std::vector<bool>&) {
            // cid, name, type, notnull, dflt_value, pk
            if (EqualsNoCase(values[1], layout::kTagID)) return;
            FieldDef field;
            field.name = values[1];
            field.declared = values[2];
            field.type = ColumnTypeOf(field.declared);
            type.fields.push_back(field);
          });
  }
  return types;
}

void CSchemaStore::Create(const std::string& path, const std::vector<TypeDef>& types) {
  const std::string building = path + ".zematag-init";
  std::remove(building.c_str());
  sqlite3* db = nullptr;
  const int opened =
      sqlite3_open_v2(building.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (opened != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "cannot create";
    sqlite3_close(db);
    std::string folder = std::filesystem::path(path).parent_path().string();
    if (folder.empty()) folder = ".";
    if (access(folder.c_str(), W_OK) != 0)
      throw ToolError(fmt::format("{}: cannot be created: the folder {} is read-only ({})", path,
                                  folder, std::strerror(errno)));
    throw ToolError(fmt::format("{}: {}", path, SqliteFailureText(opened, message)));
  }
  try {
    Execute(db, path, "PRAGMA journal_mode=WAL");
    std::string sql = "BEGIN;\n";
    sql += fmt::format("CREATE TABLE {} ({} LONG, {} VARCHAR(64), {} LONG, {} LONG);\n",
                       QuoteName(layout::kTagTypes), "TypeID", "TypeName", "TypeLibID",
                       "TypeModuleID");
    sql += fmt::format(
        "CREATE TABLE {} ({} INTEGER PRIMARY KEY AUTOINCREMENT, {} VARCHAR(31), {} "
        "VARCHAR(255), {} SHORT, {} SHORT, {} SHORT, {} SHORT);\n",
        QuoteName(layout::kTags), layout::kTagID, layout::kTagName, layout::kTagDesc,
        layout::kTagType, layout::kTagGroup, layout::kTagLevel, layout::kAlmLevel);
    sql += fmt::format(
        "CREATE TABLE {} ({} LONG, FieldName VARCHAR(31), SCH DOUBLE, SCL DOUBLE, EU "
        "VARCHAR(7), {} LONG);\n",
        QuoteName(layout::kHMIInfo), layout::kTagID, QuoteName("Decimal"));
    sql += IndexSql(layout::kTagTypes, "TypeID");
    sql += IndexSql(layout::kTags, layout::kTagName);
    sql += IndexSql(layout::kTags, layout::kTagType);
    sql += IndexSql(layout::kHMIInfo, layout::kTagID);
    for (const TypeDef& type : types) {
      sql += fmt::format("CREATE TABLE {} ({} LONG", QuoteName(type.name), layout::kTagID);
      for (const FieldDef& field : type.fields)
        sql += fmt::format(", {} {}", QuoteName(field.name), field.declared);
      sql += ");\n";
      sql += IndexSql(type.name, layout::kTagID);
      sql +=
          fmt::format("INSERT INTO {} VALUES ({}, '{}', {}, {});\n", QuoteName(layout::kTagTypes),
                      type.id, type.name, type.libId, type.moduleId);
    }
    sql += "COMMIT;\n";
    Execute(db, path, sql);
  } catch (...) {
    sqlite3_close(db);
    std::remove(building.c_str());
    throw;
  }
  if (sqlite3_close(db) != SQLITE_OK) {
    std::remove(building.c_str());
    throw ToolError(fmt::format("{}: the new database did not close cleanly", path));
  }
  std::error_code error;
  std::filesystem::rename(building, path, error);
  if (error) {
    std::remove(building.c_str());
    throw ToolError(fmt::format("{}: {}", path, error.message()));
  }
}
