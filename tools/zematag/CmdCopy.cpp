// zematag copy: a whole tag database from a file or a server to a file or a server. Every table
// comes across with its columns' declared types, every row in the order the source keeps it
// (which decides the first row of a TagID and the first tag of a name), every id as it was and
// every value as the library delivers it; the key keeps counting where the source's did. The
// copy is made in one transaction (a file is built beside the target and renamed into place), and
// before that transaction commits (or the file takes the target's place) the copy is read back
// and compared with the source; a failure or a difference leaves the target as it was.
#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "Commands.h"
#include "DbTables.h"
#include "JetDomains.h"
#include "Layout.h"
#include "Report.h"
#include "SchemaStore.h"
#include "ServerDb.h"
#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"
#include "platform/ado/pg/pg_internal.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace {

namespace ado = platform::ado;
namespace fs = std::filesystem;

struct Counts {
  size_t tables = 0;
  long long rows = 0;
};

// A delivered value (DeliveredText) as a message shows it: 5, 2.5, "text", NULL.
std::string ValueShown(const std::string& delivered) {
  if (delivered == "null") return "NULL";
  if (delivered.size() < 2 || delivered[1] != ':') return Echo(delivered);
  const std::string body = delivered.substr(2);
  return delivered[0] == 's' ? "\"" + Echo(body) + "\"" : Echo(body);
}

// What the target declares for a source column.
std::vector<ColumnDecl> Declarations(const TableShape& table) {
  std::vector<ColumnDecl> columns;
  for (const TableColumn& column : table.columns)
    columns.push_back({column.name, column.declared, column.key});
  return columns;
}

// The meaning of a column in the target: as the target engine reads the type it is made with.
ado::ColumnType TargetMeaning(const TableColumn& column, bool server) {
  if (server) return ado::pg::ColumnTypeOf(column.key ? "integer" : ServerTypeOf(column.declared));
  return ado::ColumnTypeFromDeclared(column.key ? "INTEGER" : column.declared.c_str());
}

// A source value converted, as the library converts a value written into a column, to the
// target column's type. Throws ToolError naming the cell when it does not fit.
void Convert(const TableShape& table, long long row, const TableColumn& column,
             const ado::ColumnType& target, const ado::StoredValue& value, VARIANT* converted,
             const std::string& sourceShown, const std::string& targetShown) {
  VARIANT delivered;
  VariantInit(&delivered);
  std::string why;
  HRESULT hr = ado::StoredToVariant(column.meaning, value, &delivered);
  if (hr == S_OK) hr = ado::ConvertForColumn(target, delivered, converted, &why);
  VariantClear(&delivered);
  if (hr != S_OK)
    throw ToolError(fmt::format(
        "{}: table {}, row {}, column {}: the value {} does not fit the column on {}{}; nothing "
        "was copied",
        sourceShown, table.name, row, column.name, ValueShown(DeliveredText(column.meaning, value)),
        targetShown, why.empty() ? "" : " (" + why + ")"));
}

// The statements that drop what a forced copy replaces on a server: the source's tables and the
// tag tables already there (the value tables that TagTypes names included).
std::string DropOnServer(CServerDb& server, const std::vector<TableShape>& tables) {
  std::vector<std::string> drop;
  for (const TableShape& table : tables) drop.push_back(server.TableNamed(table.name));
  for (const char* table : {layout::kTagTypes, layout::kTags, layout::kHMIInfo})
    drop.push_back(server.TableNamed(table));
  const std::string typeTable = server.TableNamed(layout::kTagTypes);
  if (!typeTable.empty()) {
    const CServerRows rows = server.Query("SELECT * FROM " + QuoteName(typeTable) + " LIMIT 0");
    for (int c = 0; c < rows.Columns(); ++c) {
      if (rows.Name(c) != "TypeName") continue;
      const CServerRows names =
          server.Query("SELECT DISTINCT \"TypeName\" FROM " + QuoteName(typeTable) +
                       " WHERE \"TypeName\" IS NOT NULL");
      for (int r = 0; r < names.Rows(); ++r) drop.push_back(server.TableNamed(names.Text(r, 0)));
    }
  }
  std::sort(drop.begin(), drop.end());
  drop.erase(std::unique(drop.begin(), drop.end()), drop.end());
  std::string sql;
  for (const std::string& table : drop)
    if (!table.empty()) sql += "DROP TABLE " + QuoteName(table) + ";\n";
  return sql;
}

std::vector<std::string> ValueTables(CDbTables& source, const std::vector<TableShape>& tables) {
  std::vector<std::string> names;
  const TableShape* types = nullptr;
  for (const TableShape& table : tables)
    if (table.name == layout::kTagTypes) types = &table;
  if (types == nullptr) return names;
  size_t at = types->columns.size();
  for (size_t i = 0; i < types->columns.size(); ++i)
    if (types->columns[i].name == "TypeName") at = i;
  if (at == types->columns.size()) return names;
  source.Rows(*types, [&](const std::vector<ado::StoredValue>& row) {
    if (row[at].storage != ado::StoredValue::kText) return;
    const std::string name(row[at].bytes, static_cast<size_t>(row[at].size));
    for (const TableShape& table : tables)
      if (table.name == name && std::find(names.begin(), names.end(), name) == names.end())
        names.push_back(name);
  });
  return names;
}

// The number the key goes on from: the larger of the source's counter and its largest key.
long long NextFrom(const TableShape& table, long long largestKey) {
  return std::max(table.sequence, largestKey);
}

Counts Verify(CDbTables& source, CDbTables& target, const std::string& shown);

// Copies into the server database the URI names, in one transaction, and reads the copy back
// and compares it with the source before it commits.
Counts CopyToServer(CDbTables& source, const std::vector<TableShape>& tables,
                    const std::string& uri, bool force) {
  CServerDb server = CServerDb::Connect(uri);
  const std::vector<std::string> present = server.Tables();
  if (!present.empty() && !force)
    throw ToolError(
        fmt::format("{}: is not empty (it holds table {}; use --force to replace its "
                    "tag database)",
                    server.Shown(), present.front()));
  Counts counts;
  server.Execute("BEGIN");
  try {
    std::string sql = kJetDomainsSql;
    if (!present.empty()) sql += DropOnServer(server, tables);
    for (const TableShape& table : tables)
      sql += ServerTableSql(server, table.name, Declarations(table));
    server.Execute(sql);
    for (const TableShape& table : tables) {
      std::string names, marks;
      std::vector<ado::ColumnType> meanings;
      for (size_t i = 0; i < table.columns.size(); ++i) {
        names += (i == 0 ? "" : ", ") + QuoteName(table.columns[i].name);
        marks += fmt::format("{}${}", i == 0 ? "" : ", ", i + 1);
        meanings.push_back(TargetMeaning(table.columns[i], true));
      }
      const std::string insert =
          fmt::format("INSERT INTO {} ({}) VALUES ({})", QuoteName(table.name), names, marks);
      const TableColumn* key = table.Key();
      long long largestKey = 0, row = 0;
      std::vector<ado::pg::Param> params(table.columns.size());
      std::vector<const char*> values(params.size());
      std::vector<int> lengths(params.size()), binary(params.size());
      server.Prepare(insert, static_cast<int>(params.size()));
      source.Rows(table, [&](const std::vector<ado::StoredValue>& stored) {
        ++row;
        for (size_t i = 0; i < params.size(); ++i) {
          VARIANT converted;
          VariantInit(&converted);
          Convert(table, row, table.columns[i], meanings[i], stored[i], &converted, source.Shown(),
                  server.Shown());
          ado::pg::EncodeParam(converted, &params[i]);
          VariantClear(&converted);
          values[i] = params[i].null ? nullptr : params[i].bytes.data();
          lengths[i] = static_cast<int>(params[i].bytes.size());
          binary[i] = params[i].binary ? 1 : 0;
          if (&table.columns[i] == key && stored[i].storage == ado::StoredValue::kInteger)
            largestKey = std::max<long long>(largestKey, stored[i].integer);
        }
        server.Send(values, lengths, binary);
      });
      server.Finish();
      if (key != nullptr && NextFrom(table, largestKey) > 0)
        server.Query(
            "SELECT setval(pg_get_serial_sequence($1, $2), $3)",
            {QuoteName(table.name), key->name, std::to_string(NextFrom(table, largestKey))});
      ++counts.tables;
      counts.rows += row;
    }
    server.Execute(TagIndexesSql(ValueTables(source, tables)));
    Verify(source, *CDbTables::OnServer(&server), server.Shown());
    server.Execute("COMMIT");
  } catch (const ToolError& e) {
    server.Abandon();
    try {
      server.Execute("ROLLBACK");
    } catch (const ToolError&) {
      // The connection is gone: the server rolled the transaction back itself.
    }
    const std::string text = e.what();
    if (text.find("nothing was copied") != std::string::npos) throw;
    throw ToolError(text + "; nothing was copied");
  }
  return counts;
}

class CFile {
 public:
  explicit CFile(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      const std::string why = db != nullptr ? sqlite3_errmsg(db) : "cannot create";
      sqlite3_close(db);
      db = nullptr;
      throw ToolError(fmt::format("{}: cannot be created: {}", path, why));
    }
  }
  ~CFile() { Close(); }
  void Close() {
    for (auto& [sql, statement] : statements) sqlite3_finalize(statement);
    statements.clear();
    if (db != nullptr) sqlite3_close(db);
    db = nullptr;
  }
  void Execute(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
      const std::string why = message != nullptr ? message : sqlite3_errmsg(db);
      sqlite3_free(message);
      throw ToolError(SqliteFailureText(sqlite3_extended_errcode(db), why));
    }
  }
  sqlite3_stmt* Prepare(const std::string& sql) {
    sqlite3_stmt*& statement = statements[sql];
    if (statement == nullptr &&
        sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      throw ToolError(sqlite3_errmsg(db));
    return statement;
  }
  void Step(sqlite3_stmt* statement) {
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (result != SQLITE_DONE)
      throw ToolError(SqliteFailureText(sqlite3_extended_errcode(db), sqlite3_errmsg(db)));
  }

 private:
  sqlite3* db = nullptr;
  std::map<std::string, sqlite3_stmt*> statements;
};

void Bind(sqlite3_stmt* statement, int index, const ado::StoredValue& value) {
  switch (value.storage) {
    case ado::StoredValue::kInteger:
      sqlite3_bind_int64(statement, index, value.integer);
      break;
    case ado::StoredValue::kReal:
      sqlite3_bind_double(statement, index, value.real);
      break;
    case ado::StoredValue::kText:
      sqlite3_bind_text(statement, index, value.bytes, value.size, SQLITE_TRANSIENT);
      break;
    case ado::StoredValue::kBlob:
      sqlite3_bind_blob(statement, index, value.size > 0 ? value.bytes : "", value.size,
                        SQLITE_TRANSIENT);
      break;
    default:
      sqlite3_bind_null(statement, index);
      break;
  }
}

// Builds the copy in the file at building (which must not exist).
Counts CopyToFile(CDbTables& source, const std::vector<TableShape>& tables,
                  const std::string& building, const std::string& target) {
  Counts counts;
  {
    CFile file(building);
    try {
      file.Execute("PRAGMA journal_mode=WAL");
      file.Execute("BEGIN");
      for (const TableShape& table : tables)
        file.Execute(FileTableSql(table.name, Declarations(table)));
      for (const TableShape& table : tables) {
        std::string names, marks;
        std::vector<ado::ColumnType> meanings;
        for (size_t i = 0; i < table.columns.size(); ++i) {
          names += (i == 0 ? "" : ", ") + QuoteName(table.columns[i].name);
          marks += fmt::format("{}?{}", i == 0 ? "" : ", ", i + 1);
          meanings.push_back(TargetMeaning(table.columns[i], false));
        }
        sqlite3_stmt* insert = file.Prepare(
            fmt::format("INSERT INTO {} ({}) VALUES ({})", QuoteName(table.name), names, marks));
        const TableColumn* key = table.Key();
        long long largestKey = 0, row = 0;
        std::vector<std::string> buffers(table.columns.size());
        source.Rows(table, [&](const std::vector<ado::StoredValue>& stored) {
          ++row;
          for (size_t i = 0; i < stored.size(); ++i) {
            const int index = static_cast<int>(i) + 1;
            if (&table.columns[i] == key && stored[i].storage == ado::StoredValue::kInteger)
              largestKey = std::max<long long>(largestKey, stored[i].integer);
            if (!source.IsServer()) {
              Bind(insert, index, stored[i]);  // file to file: the stored value as it is
              continue;
            }
            VARIANT converted;
            VariantInit(&converted);
            Convert(table, row, table.columns[i], meanings[i], stored[i], &converted,
                    source.Shown(), target);
            ado::StoredValue encoded;
            ado::EncodeForStorage(meanings[i], converted, &encoded, &buffers[i]);
            Bind(insert, index, encoded);
            VariantClear(&converted);
          }
          file.Step(insert);
        });
        if (key != nullptr && NextFrom(table, largestKey) > 0) {
          sqlite3_stmt* forget = file.Prepare("DELETE FROM sqlite_sequence WHERE name = ?1");
          sqlite3_bind_text(forget, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
          file.Step(forget);
          sqlite3_stmt* set =
              file.Prepare("INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
          sqlite3_bind_text(set, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
          sqlite3_bind_int64(set, 2, NextFrom(table, largestKey));
          file.Step(set);
        }
        ++counts.tables;
        counts.rows += row;
      }
      file.Execute(TagIndexesSql(ValueTables(source, tables)));
      file.Execute("COMMIT");
    } catch (const ToolError& e) {
      const std::string text = e.what();
      throw ToolError(text.find("nothing was copied") != std::string::npos
                          ? text
                          : fmt::format("{}: {}; nothing was copied", target, text));
    }
  }
  // The generation counter, as `init` installs it: the copy is a database of its own.
  tracking::CTrackedDb db = tracking::CTrackedDb::Open(building, true);
  db.Execute("BEGIN IMMEDIATE");
  tracking::InstallGeneration(db);
  db.Execute("COMMIT");
  return counts;
}

// Reads both databases again (the source in the snapshot it was copied from) and compares them
// table by table, row by row: the same tables with the same columns, declared types and keys,
// the same rows in the same order, each value delivered the same, and the key counting on from
// the same number. Throws ToolError at the first difference.
Counts Verify(CDbTables& source, CDbTables& target, const std::string& shown) {
  CDbTables* from = &source;
  CDbTables* to = &target;
  const std::vector<TableShape> fromTables = from->Tables(), toTables = to->Tables();
  Counts counts;
  const auto differ = [&](const std::string& what) {
    return ToolError(fmt::format("the copy on {} differs from {}: {}; nothing was copied", shown,
                                 source.Shown(), what));
  };
  for (const TableShape& table : fromTables) {
    const TableShape* copy = nullptr;
    for (const TableShape& candidate : toTables)
      if (candidate.name == table.name) copy = &candidate;
    if (copy == nullptr) throw differ(fmt::format("table {} is missing", table.name));
    if (copy->columns.size() != table.columns.size())
      throw differ(fmt::format("table {} has {} columns, not {}", table.name, copy->columns.size(),
                               table.columns.size()));
    for (size_t i = 0; i < table.columns.size(); ++i) {
      const TableColumn &a = table.columns[i], &b = copy->columns[i];
      if (a.name != b.name || a.declared != b.declared || a.key != b.key)
        throw differ(fmt::format("table {} column {} {} is {} {}", table.name, i + 1,
                                 a.name + " " + a.declared, b.name, b.declared));
    }
    std::vector<std::vector<std::string>> rows;
    long long largest[2] = {0, 0};
    const TableColumn* keys[2] = {table.Key(), copy->Key()};
    to->Rows(*copy, [&](const std::vector<ado::StoredValue>& values) {
      std::vector<std::string> texts;
      for (size_t i = 0; i < values.size(); ++i) {
        texts.push_back(DeliveredText(copy->columns[i].meaning, values[i]));
        if (&copy->columns[i] == keys[1])
          largest[1] = std::max<long long>(largest[1], values[i].integer);
      }
      rows.push_back(std::move(texts));
    });
    size_t at = 0;
    from->Rows(table, [&](const std::vector<ado::StoredValue>& values) {
      if (at >= rows.size()) throw differ(fmt::format("table {} has {} rows only", table.name, at));
      for (size_t i = 0; i < values.size(); ++i) {
        if (&table.columns[i] == keys[0])
          largest[0] = std::max<long long>(largest[0], values[i].integer);
        const std::string text = DeliveredText(table.columns[i].meaning, values[i]);
        if (text != rows[at][i])
          throw differ(fmt::format("table {} row {} column {}: {} against {}", table.name, at + 1,
                                   table.columns[i].name, ValueShown(rows[at][i]),
                                   ValueShown(text)));
      }
      ++at;
    });
    if (at != rows.size())
      throw differ(fmt::format("table {} has {} rows, not {}", table.name, rows.size(), at));
    if (keys[0] != nullptr && NextFrom(table, largest[0]) != NextFrom(*copy, largest[1]))
      throw differ(fmt::format("table {} numbers on from {}, not {}", table.name,
                               NextFrom(*copy, largest[1]), NextFrom(table, largest[0])));
    ++counts.tables;
    counts.rows += static_cast<long long>(at);
  }
  return counts;
}

}  // namespace

int RunCopy(const CopyOptions& options) {
  const bool toServer = IsServerUri(options.target);
  std::error_code error;
  if (!IsServerUri(options.source) && !toServer &&
      fs::equivalent(options.source, options.target, error))
    throw ToolError(fmt::format("{}: is the source itself; copy to another file", options.target));
  if (IsServerUri(options.source) && toServer &&
      CServerDb::Connect(options.source).Identity() ==
          CServerDb::Connect(options.target).Identity())
    throw ToolError(
        fmt::format("{}: is the source itself; copy to another database", Shown(options.target)));
  if (!toServer) {
    if (fs::is_directory(options.target, error))
      throw ToolError(fmt::format("{}: is a folder", options.target));
    const bool exists = fs::exists(fs::symlink_status(options.target, error));
    if (exists && !options.force &&
        (fs::is_symlink(fs::symlink_status(options.target, error)) ||
         fs::file_size(options.target, error) > 0))
      throw ToolError(
          fmt::format("{}: the file exists (use --force to replace it)", options.target));
    const fs::path parent = fs::path(options.target).parent_path();
    if (!parent.empty() && !fs::is_directory(parent, error))
      throw ToolError(fmt::format("{}: no such folder", parent.string()));
  }

  auto source = CDbTables::Open(options.source);
  const std::vector<TableShape> tables = source->Tables();
  for (const char* name : {layout::kTagTypes, layout::kTags, layout::kHMIInfo}) {
    bool found = false;
    for (const TableShape& table : tables) found = found || table.name == name;
    if (!found)
      throw ToolError(fmt::format("{}: not a tag database (no table {})", source->Shown(), name));
  }

  // Declarations the target cannot keep are refused before anything is written.
  for (const TableShape& table : tables) {
    for (const TableColumn& column : table.columns) {
      if (toServer && !column.key &&
          DeclaredOnServer(ServerTypeOf(column.declared), column.declared) != column.declared)
        throw ToolError(
            fmt::format("{}: table {}, column {}: the declared type '{}' has no like "
                        "on a PostgreSQL server; nothing was copied",
                        source->Shown(), table.name, column.name, Echo(column.declared)));
      if (!toServer && column.key && Lower(column.declared) != "integer")
        throw ToolError(
            fmt::format("{}: table {}, column {}: a key declared {} cannot be numbered "
                        "by SQLite (only INTEGER keys are); nothing was copied",
                        source->Shown(), table.name, column.name, Echo(column.declared)));
    }
  }

  Counts copied;
  std::string shown = Shown(options.target);
  if (toServer) {
    copied = CopyToServer(*source, tables, options.target, options.force);
  } else {
    const std::string building = options.target + ".zematag-copy";
    fs::remove(building, error);
    try {
      copied = CopyToFile(*source, tables, building, options.target);
      Verify(*source, *CDbTables::Open(building), shown);
    } catch (...) {
      fs::remove(building, error);
      for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(building + suffix, error);
      throw;
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"})
      fs::remove(options.target + suffix, error);
    fs::rename(building, options.target, error);
    if (error) {
      fs::remove(building, error);
      throw ToolError(fmt::format("{}: cannot be replaced", options.target));
    }
  }
  std::printf("%s", fmt::format("copied {} to {}: {} tables, {} rows\n", Shown(options.source),
                                shown, copied.tables, copied.rows)
                        .c_str());
  std::printf("%s", fmt::format("checked: {} reads back the same tables, declared types, ids and "
                                "values, in the same order\n",
                                shown)
                        .c_str());
  return 0;
}
