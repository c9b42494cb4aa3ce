// zematag convert: every table, column and row of a Jet or ACE database file into a new SQLite
// tag database. Values go through the same conversions the library applies when it reads and
// writes them, so the new file reads back exactly what the Jet file holds. Columns are declared
// with the names whose SQLite affinity matches how their values are stored (LONGTEXT rather than
// MEMO, VARCHAR(n) rather than TEXT(n)); a tag database gets the tool's conventions (Tags.TagID
// numbered by SQLite, the indexes of `init`) and is checked afterwards.
#include <fmt/format.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "Commands.h"
#include "Layout.h"
#include "Progress.h"
#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"
#include "platform/ado/column_type.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/ado/stored_bind.h"
#include "platform/ado/value_codec.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace {

namespace ado = platform::ado;

struct ColumnPlan {
  std::string name;
  std::string declared;  // in the Jet file
  std::string target;    // in the new file
  ado::ColumnType sourceType, targetType;
};

// The declaration of a column in the new file. *widened is set when the values need a wider
// kind of column than the one the Jet file declares (a GUID becomes text).
std::string TargetDeclaration(const std::string& declared, bool* widened) {
  const ado::ColumnType type = ado::ColumnTypeFromDeclared(declared.c_str());
  *widened = false;
  switch (type.kind) {
    case ado::ColumnKind::kText:
      return fmt::format("VARCHAR({})", type.definedSize);
    case ado::ColumnKind::kLongText:
      return "LONGTEXT";
    case ado::ColumnKind::kSingle:
      return "FLOAT4";
    case ado::ColumnKind::kBinary:
      return type.adoType == adVarBinary ? fmt::format("VARBINARY({})", type.definedSize) : "BLOB";
    case ado::ColumnKind::kUntyped:
      *widened = true;
      return "VARCHAR(38)";  // a GUID as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
    default:
      return declared;  // BYTE, SHORT, LONG, COUNTER, BIGINT, BIT, DOUBLE, CURRENCY, ...
  }
}

class CStatement {
 public:
  CStatement(sqlite3* db, const std::string& sql, const std::string& where) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      throw ToolError(fmt::format("{}: {}", where, sqlite3_errmsg(db)));
  }
  ~CStatement() { sqlite3_finalize(statement); }
  CStatement(const CStatement&) = delete;
  CStatement& operator=(const CStatement&) = delete;
  sqlite3_stmt* get() const { return statement; }

 private:
  sqlite3_stmt* statement = nullptr;
};

void Execute(sqlite3* db, const std::string& sql, const std::string& where) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw ToolError(fmt::format("{}: {}", where, text));
  }
}

// Binds one value: delivered as the library delivers it from the Jet file's column, and stored
// as the library stores that value in the new column. A value the new column cannot take as
// its type (a date outside the calendar, kept as its number) is stored as it was.
int BindConverted(sqlite3_stmt* insert, int index, const ColumnPlan& column,
                  const ado::StoredValue& value, std::string* buffer) {
  VARIANT delivered, converted;
  VariantInit(&delivered);
  VariantInit(&converted);
  std::string why;
  int rc;
  if (ado::StoredToVariant(column.sourceType, value, &delivered) == S_OK &&
      ado::ConvertForColumn(column.targetType, delivered, &converted, &why) == S_OK) {
    ado::StoredValue stored;
    ado::EncodeForStorage(column.targetType, converted, &stored, buffer);
    rc = ado::BindStored(insert, index, stored, SQLITE_TRANSIENT);
  } else {
    rc = ado::BindStored(insert, index, value, SQLITE_TRANSIENT);
  }
  VariantClear(&converted);
  VariantClear(&delivered);
  return rc;
}

std::vector<std::string> Tables(CSchemaStore& store) {
  std::vector<std::string> tables;
  store.Query(
      "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
      "ESCAPE '\\' ORDER BY rowid",
      [&](const std::vector<std::string>& row, const std::vector<bool>&) {
        tables.push_back(row[0]);
      });
  return tables;
}

// Whether every TagID of Tags is a distinct integer, so that it can be the table's INTEGER
// PRIMARY KEY as in databases made by `init`.
bool TagIdsCanBeKey(CSchemaStore& store) {
  bool unique = false;
  store.Query(fmt::format("SELECT count(*) = count(DISTINCT {0}) AND count(*) = "
                          "sum(typeof({0}) = 'integer') FROM {1}",
                          QuoteName(layout::kTagID), QuoteName(layout::kTags)),
              [&](const std::vector<std::string>& row, const std::vector<bool>&) {
                unique = row[0] == "1";
              });
  return unique;
}

}  // namespace

int RunConvert(const ConvertOptions& options) {
  RequireFile(options.source, "convert", "convert reads Jet and ACE files");
  RequireFile(options.target, "convert",
              "convert writes a new SQLite file; copy that to the server with zematag copy");
  namespace fs = std::filesystem;
  std::error_code error;
  if (fs::exists(options.target, error) || fs::is_symlink(options.target, error))
    throw ToolError(
        fmt::format("{}: the file exists (convert never replaces a file)", options.target));
  const fs::path parent = fs::path(options.target).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, error))
    throw ToolError(fmt::format("{}: no such folder", parent.string()));
  if (!fs::is_regular_file(options.source, error))
    throw ToolError(fmt::format("{}: no such database file", options.source));
  if (!platform::ado::jet::IsJetFile(options.source))
    throw ToolError(fmt::format("{}: not a Jet or ACE database file", options.source));

  std::unique_ptr<CProgress> reading;
  CSchemaStore source = CSchemaStore::OpenJet(options.source, [&](long long done, long long total) {
    if (!reading) reading = std::make_unique<CProgress>("reading", total, !options.quiet);
    reading->Update(static_cast<long>(done));
  });
  reading.reset();
  const std::vector<std::string> tables = Tables(source);
  const bool tagDatabase = source.HasTable(layout::kTagTypes) && source.HasTable(layout::kTags) &&
                           source.HasTable(layout::kHMIInfo);
  const bool tagIdKey = tagDatabase && TagIdsCanBeKey(source);
  long long totalRows = 0;
  for (const std::string& table : tables)
    source.Query(fmt::format("SELECT count(*) FROM {}", QuoteName(table)),
                 [&](const std::vector<std::string>& row, const std::vector<bool>&) {
                   totalRows += std::atoll(row[0].c_str());
                 });

  // Built beside the target and renamed into place when complete, so a failure leaves nothing.
  const std::string building = options.target + ".zematag-convert";
  fs::remove(building, error);
  sqlite3* target = nullptr;
  if (sqlite3_open_v2(building.c_str(), &target, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                      nullptr) != SQLITE_OK) {
    const std::string message = target != nullptr ? sqlite3_errmsg(target) : "cannot create";
    sqlite3_close(target);
    throw ToolError(fmt::format("{}: {}", options.target, message));
  }
  std::vector<std::string> widened;
  long long rows = 0;
  try {
    Execute(target, "PRAGMA journal_mode=WAL", options.target);
    Execute(target, "BEGIN", options.target);
    CProgress writing("writing", static_cast<long>(totalRows), !options.quiet);
    std::string buffer;
    for (const std::string& table : tables) {
      std::vector<ColumnPlan> columns;
      source.Query(fmt::format("PRAGMA table_info({})", QuoteName(table)),
                   [&](const std::vector<std::string>& row, const std::vector<bool>&) {
                     ColumnPlan column;
                     column.name = row[1];
                     column.declared = row[2];
                     bool wider = false;
                     column.target = TargetDeclaration(column.declared, &wider);
                     if (wider)
                       widened.push_back(fmt::format("{}.{} ({} to {})", table, column.name,
                                                     column.declared, column.target));
                     if (tagIdKey && EqualsNoCase(table, layout::kTags) &&
                         EqualsNoCase(column.name, layout::kTagID))
                       column.target = "INTEGER PRIMARY KEY AUTOINCREMENT";
                     column.sourceType = ado::ColumnTypeFromDeclared(column.declared.c_str());
                     column.targetType = ado::ColumnTypeFromDeclared(column.target.c_str());
                     columns.push_back(column);
                   });
      std::string create = fmt::format("CREATE TABLE {} (", QuoteName(table));
      std::string insert = fmt::format("INSERT INTO {} VALUES (", QuoteName(table));
      for (size_t k = 0; k < columns.size(); ++k) {
        create += fmt::format("{}{} {}", k > 0 ? ", " : "", QuoteName(columns[k].name),
                              columns[k].target);
        insert += k > 0 ? ", ?" : "?";
      }
      Execute(target, create + ")", options.target);
      CStatement read(source.Handle(), fmt::format("SELECT * FROM {}", QuoteName(table)),
                      options.source);
      CStatement write(target, insert + ")", options.target);
      int step;
      while ((step = sqlite3_step(read.get())) == SQLITE_ROW) {
        for (size_t k = 0; k < columns.size(); ++k)
          if (BindConverted(write.get(), static_cast<int>(k) + 1, columns[k],
                            ado::ReadStored(read.get(), static_cast<int>(k)), &buffer) != SQLITE_OK)
            throw ToolError(fmt::format("{}: table {}, column {}: {}", options.target, table,
                                        columns[k].name, sqlite3_errmsg(target)));
        if (sqlite3_step(write.get()) != SQLITE_DONE)
          throw ToolError(
              fmt::format("{}: table {}: {}", options.target, table, sqlite3_errmsg(target)));
        sqlite3_reset(write.get());
        writing.Update(static_cast<long>(++rows));
      }
      // A read that stops before the end is not a shorter table.
      if (step != SQLITE_DONE)
        throw ToolError(fmt::format("{}: table {}: {}", options.source, table,
                                    sqlite3_errmsg(source.Handle())));
    }
    if (tagDatabase) {
      std::vector<std::pair<std::string, std::string>> indexes = {
          {layout::kTagTypes, "TypeID"},
          {layout::kTags, layout::kTagName},
          {layout::kTags, layout::kTagType},
          {layout::kHMIInfo, layout::kTagID}};
      for (const TypeDef& type : source.Types())
        if (type.hasTable) indexes.emplace_back(type.name, layout::kTagID);
      for (const auto& [table, column] : indexes)
        Execute(target, IndexSql(table, column), options.target);
    }
    Execute(target, "COMMIT", options.target);
  } catch (...) {
    sqlite3_close(target);
    fs::remove(building, error);
    throw;
  }
  if (sqlite3_close(target) != SQLITE_OK) {
    fs::remove(building, error);
    throw ToolError(fmt::format("{}: the new database did not close cleanly", options.target));
  }
  // A tag database gets the generation counter that `init` installs, so that `watch` and
  // ZemaConfigGeneration see every write to it. A counter that came along from the source starts
  // afresh: the new file is a database of its own.
  if (tagDatabase) {
    try {
      tracking::CTrackedDb db = tracking::CTrackedDb::Open(building, true);
      db.Execute("BEGIN IMMEDIATE");
      db.Execute(fmt::format("DROP TABLE IF EXISTS {}", QuoteName(tracking::kGenerationTable)));
      tracking::InstallGeneration(db);
      db.Execute("COMMIT");
    } catch (...) {
      fs::remove(building, error);
      throw;
    }
  }
  // The target may have appeared meanwhile: it is still never replaced.
  if (fs::exists(options.target, error) ||
      (fs::create_hard_link(building, options.target, error), error)) {
    fs::remove(building, error);
    throw ToolError(fmt::format("{}: the file exists or cannot be made", options.target));
  }
  fs::remove(building, error);

  fmt::print("converted {} into {}: {} tables, {} rows\n", options.source, options.target,
             tables.size(), rows);
  fmt::print("{} columns widened{}\n", widened.size(), widened.empty() ? "" : ":");
  for (const std::string& column : widened) fmt::print("  {}\n", column);
  if (!tagDatabase) {
    fmt::print("{} holds no tag tables (TagTypes, Tags, HMIInfo): not checked\n", options.source);
    return 0;
  }
  std::fflush(stdout);
  CheckOptions check;
  check.database = options.target;
  return RunCheck(check);
}
