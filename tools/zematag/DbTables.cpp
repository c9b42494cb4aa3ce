#include "DbTables.h"

#include <fmt/format.h>
#include <libpq-fe.h>
#include <sqlite3.h>

#include "Layout.h"
#include "Report.h"
#include "SchemaStore.h"
#include "ServerDb.h"
#include "Text.h"
#include "ToolError.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/ado/pg/pg_internal.h"
#include "platform/ado/stored_bind.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/numbers.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace {

namespace ado = platform::ado;

// The statement that reads every column of a table in the order of Rows: the key's order where
// it has one, else storage order. The same text on either engine.
std::string SelectAll(const TableShape& table) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < table.columns.size(); ++i)
    sql += (i == 0 ? "" : ", ") + QuoteName(table.columns[i].name);
  sql += " FROM " + QuoteName(table.name);
  if (const TableColumn* key = table.Key()) sql += " ORDER BY " + QuoteName(key->name);
  return sql;
}

class CFileTables final : public CDbTables {
 public:
  explicit CFileTables(const std::string& path) {
    shown = path;
    if (ado::jet::IsJetFile(path))
      throw ToolError(fmt::format(
          "{}: a Jet or ACE file; make an SQLite file of it with zematag convert first", path));
    CheckDatabaseFile(path);
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    if (opened != SQLITE_OK) {
      const std::string message = db != nullptr ? sqlite3_errmsg(db) : "cannot open";
      sqlite3_close(db);
      db = nullptr;
      throw ToolError(fmt::format("{}: {}", path, SqliteFailureText(opened, message)));
    }
    sqlite3_busy_timeout(db, 3000);
    // One read transaction from here to the end: one snapshot of every table. Its first read
    // takes the snapshot now, and fails here on a file that is not a database (the count itself
    // is not needed).
    Execute("BEGIN");
    Query("SELECT count(*) FROM sqlite_master", [](sqlite3_stmt*) {});
  }
  ~CFileTables() override {
    if (db != nullptr) {
      sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      sqlite3_close(db);
    }
  }

  std::vector<TableShape> Tables() override {
    std::vector<TableShape> tables;
    Query(
        "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
        "ESCAPE '\\' ORDER BY rowid",
        [&](sqlite3_stmt* row) {
          TableShape table;
          table.name = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
          if (!IsTrackingTable(table.name))
            tables.push_back(table);
          else
            leftOut.push_back(table.name);
        });
    bool sequences = false;
    Query("SELECT 1 FROM sqlite_master WHERE name = 'sqlite_sequence'",
          [&](sqlite3_stmt*) { sequences = true; });
    for (TableShape& table : tables) {
      int keys = 0;
      Query("PRAGMA table_info(" + QuoteName(table.name) + ")", [&](sqlite3_stmt* row) {
        // cid, name, type, notnull, dflt_value, pk
        TableColumn column;
        column.name = reinterpret_cast<const char*>(sqlite3_column_text(row, 1));
        const unsigned char* declared = sqlite3_column_text(row, 2);
        column.declared = declared != nullptr ? reinterpret_cast<const char*>(declared) : "";
        column.key = sqlite3_column_int(row, 5) > 0;
        keys += column.key ? 1 : 0;
        column.meaning = ado::ColumnTypeFromDeclared(column.declared.c_str());
        table.columns.push_back(column);
      });
      // Only a lone INTEGER key is the row id that SQLite numbers.
      for (TableColumn& column : table.columns)
        column.key = column.key && keys == 1 && Lower(column.declared) == "integer";
      if (sequences && table.Key() != nullptr) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT seq FROM sqlite_sequence WHERE name = ?1", -1, &statement,
                           nullptr);
        sqlite3_bind_text(statement, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
        if (sqlite3_step(statement) == SQLITE_ROW)
          table.sequence = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
      }
    }
    return tables;
  }

  void Rows(const TableShape& table, const Row& row) override {
    std::vector<ado::StoredValue> values(table.columns.size());
    Query(SelectAll(table), [&](sqlite3_stmt* statement) {
      for (size_t i = 0; i < values.size(); ++i)
        values[i] = ado::ReadStored(statement, static_cast<int>(i));
      row(values);
    });
  }

  bool IsServer() const override { return false; }

 private:
  void Execute(const std::string& sql) {
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      throw ToolError(fmt::format(
          "{}: {}", shown, SqliteFailureText(sqlite3_extended_errcode(db), sqlite3_errmsg(db))));
  }
  void Query(const std::string& sql, const std::function<void(sqlite3_stmt*)>& row) {
    sqlite3_stmt* statement = nullptr;
    int result = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    if (result == SQLITE_OK) {
      try {
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
      } catch (...) {
        sqlite3_finalize(statement);
        throw;
      }
    }
    sqlite3_finalize(statement);
    if (result != SQLITE_DONE)
      throw ToolError(fmt::format(
          "{}: {}", shown, SqliteFailureText(sqlite3_extended_errcode(db), sqlite3_errmsg(db))));
  }
  sqlite3* db = nullptr;
};

class CServerTables final : public CDbTables {
 public:
  explicit CServerTables(const std::string& uri)
      : owned(std::make_unique<CServerDb>(CServerDb::Connect(uri))), server(*owned) {
    shown = server.Shown();
    server.Execute("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  }
  explicit CServerTables(CServerDb* open) : server(*open) { shown = server.Shown(); }

  std::vector<TableShape> Tables() override {
    std::vector<TableShape> tables;
    for (const std::string& name : server.Tables()) {
      if (IsTrackingTable(name)) {
        leftOut.push_back(name);
        continue;
      }
      TableShape table;
      table.name = name;
      for (const CServerDb::Column& column : server.Columns(name)) {
        TableColumn made;
        made.name = column.name;
        made.declared = column.declared;
        made.key = column.key;
        made.meaning = ado::pg::ColumnTypeOf(column.serverType);
        table.columns.push_back(made);
      }
      if (const TableColumn* key = table.Key()) {
        const CServerRows rows = server.Query(
            "SELECT p.last_value FROM pg_sequences p WHERE format('%I.%I', p.schemaname, "
            "p.sequencename)::regclass = pg_get_serial_sequence($1, $2)::regclass",
            {QuoteName(name), key->name});
        if (rows.Rows() == 1 && !rows.IsNull(0, 0))
          table.sequence = std::atoll(rows.Text(0, 0).c_str());
      }
      tables.push_back(std::move(table));
    }
    return tables;
  }

  void Rows(const TableShape& table, const Row& row) override {
    const CServerRows rows = server.Query(SelectAll(table));
    std::vector<ado::pg::Decode> decode;
    for (int c = 0; c < rows.Columns(); ++c) decode.push_back(ado::pg::DecodeFor(rows.TypeOid(c)));
    std::vector<ado::StoredValue> values(table.columns.size());
    std::vector<std::string> scratch(values.size());
    for (int r = 0; r < rows.Rows(); ++r) {
      for (size_t i = 0; i < values.size(); ++i) {
        const int c = static_cast<int>(i);
        values[i] = rows.IsNull(r, c) ? ado::StoredValue()
                                      : ado::pg::DecodeValue(decode[i], rows.Bytes(r, c),
                                                             rows.Length(r, c), &scratch[i]);
      }
      row(values);
    }
  }

  bool IsServer() const override { return true; }

 private:
  std::unique_ptr<CServerDb> owned;  // null when reading through a caller's connection
  CServerDb& server;
};

// The digits of an integer VARIANT, of any width and sign.
std::string IntegerDigits(const VARIANT& value) {
  if (value.vt == VT_UI8) return fmt::format("{}", value.ullVal);
  // Every other integer fits VT_I8 exactly.
  VARIANT wide;
  VariantInit(&wide);
  if (VariantChangeType(&wide, &value, 0, VT_I8) != S_OK) return "?";
  return fmt::format("{}", wide.llVal);
}

std::string Hex(const char* bytes, int size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (int i = 0; i < size; ++i) {
    const unsigned char byte = static_cast<unsigned char>(bytes[i]);
    hex += digits[byte >> 4];
    hex += digits[byte & 15];
  }
  return hex;
}

}  // namespace

const TableColumn* TableShape::Key() const {
  for (const TableColumn& column : columns)
    if (column.key) return &column;
  return nullptr;
}

bool IsTrackingTable(const std::string& name) {
  return EqualsNoCase(name, layout::kConfigGeneration) || EqualsNoCase(name, layout::kAuditLog);
}

std::unique_ptr<CDbTables> CDbTables::Open(const std::string& database) {
  if (IsServerUri(database)) return std::make_unique<CServerTables>(database);
  return std::make_unique<CFileTables>(database);
}

std::unique_ptr<CDbTables> CDbTables::OnServer(CServerDb* server) {
  return std::make_unique<CServerTables>(server);
}

std::string DeliveredText(const ado::ColumnType& meaning, const ado::StoredValue& value) {
  VARIANT delivered;
  VariantInit(&delivered);
  if (ado::StoredToVariant(meaning, value, &delivered) != S_OK) return "?";
  std::string text;
  switch (delivered.vt) {
    case VT_EMPTY:
    case VT_NULL:
      text = "null";
      break;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8:
      text = "i:" + IntegerDigits(delivered);
      break;
    case VT_BOOL:
      text = delivered.boolVal != 0 ? "b:true" : "b:false";
      break;
    case VT_R4:
      text = fmt::format("f:{}", delivered.fltVal);
      break;
    case VT_R8:
      text = fmt::format("d:{}", delivered.dblVal);
      break;
    case VT_CY:
      text = "c:" + platform::CyToText(delivered.cyVal);
      break;
    case VT_DECIMAL:
      text = "n:" + platform::DecimalToText(delivered.decVal);
      break;
    case VT_DATE:
      text = "t:" + platform::DateToText(delivered.date);
      break;
    case VT_BSTR:
      text = "s:" + FromBstr(delivered.bstrVal);
      break;
    case VT_ARRAY | VT_UI1:
      text = "x:" + (delivered.parray != nullptr
                         ? Hex(static_cast<const char*>(delivered.parray->pvData),
                               static_cast<int>(delivered.parray->rgsabound[0].cElements))
                         : std::string());
      break;
    default:
      text = fmt::format("?{}", delivered.vt);
      break;
  }
  VariantClear(&delivered);
  return text;
}
