// The seam between the data-access objects and the database engines below them.
//
// Connection, Recordset, Command, Fields and Field are one implementation; what they ask of a
// database goes through an Engine, chosen at Connection.Open from the Data Source (engines.cpp
// lists them; each lives in a folder of its own). An engine keeps the contract of the objects
// above it:
// - mode 1 (read-only) reads one consistent snapshot from Open to Close; in mode 2 every insert
//   and statement commits at once, unless a transaction begun with Begin is open;
// - a table opened whole reads its rows in the order of its primary key where it has one, else
//   in storage order;
// - columns come with the meaning of their declared type (column_type.h), values as StoredValue
//   (value_codec.h) exactly as stored;
// - a failure sets the thread's error information (Fail in ado_objects.h) with the engine's name
//   as source and its message as description, and returns the HRESULT of the same situation on
//   every engine: DB_E_NOTABLE, DB_E_ERRORSINCOMMAND, adErrItemNotFound, DB_E_INTEGRITYVIOLATION,
//   E_FAIL for a database that cannot be reached or opened (naming it), and so on. No password
//   ever appears in an error text.
#ifndef ZEMA_PLATFORM_ADO_ENGINE_H
#define ZEMA_PLATFORM_ADO_ENGINE_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/column_type.h"
#include "platform/ado/value_codec.h"

namespace platform {
namespace ado {

struct ErrorSite;

// One column of a table or of a statement's rows.
struct Column {
  std::string name;
  std::u16string wideName;
  ColumnType type;
  LONG attributes = 0;
  bool rowId = false;  // numbered by the engine when a new row leaves it empty
};

// The attributes every column of a type has (fixed size, long data).
inline LONG BaseAttributes(const ColumnType& type) {
  switch (type.kind) {
    case ColumnKind::kText:
    case ColumnKind::kUntyped:
      return 0;
    case ColumnKind::kLongText:
    case ColumnKind::kBinary:
      return adFldLong;
    default:
      return adFldFixed;
  }
}

// The rows of one query, read forward.
class EngineRows {
 public:
  virtual ~EngineRows() = default;
  // Moves to the next row (to the first at the first call); *onRow false after the last.
  virtual HRESULT Next(bool* onRow, const ErrorSite& site) = 0;
  // A column of the current row. Text and blob bytes stay valid until Next or destruction.
  virtual StoredValue Get(int column) = 0;
  // True when the rows are held whole by the object, so that nothing stays open on the engine
  // while they are read.
  virtual bool Detached() const = 0;
};

// An open database.
class EngineConnection {
 public:
  virtual ~EngineConnection() = default;

  // The columns of a table in declared order (a name in brackets or quotes is taken as the
  // name inside). DB_E_NOTABLE when there is no such table.
  virtual HRESULT TableColumns(const std::string& table, std::vector<Column>* columns,
                               const ErrorSite& site) = 0;
  // The rows of a whole table whose columns TableColumns gave.
  virtual HRESULT TableRows(const std::string& table, std::unique_ptr<EngineRows>* rows,
                            const ErrorSite& site) = 0;
  // Runs one statement (Jet's forms accepted). When it returns rows and rows is not null,
  // *columns and *rows receive them and *affected is -1; otherwise *affected is the count of
  // rows it changed (-1 for a statement that changes none by its nature).
  virtual HRESULT Run(const std::string& sql, std::vector<Column>* columns,
                      std::unique_ptr<EngineRows>* rows, LONG* affected, const ErrorSite& site) = 0;
  // Inserts one row into table: values[i] (already converted by ConvertForColumn) for every
  // column with assigned[i]; the others get what the engine gives (numbering, defaults, NULL).
  // *stored receives the stored row, one value per column, valid until the next call.
  virtual HRESULT Insert(const std::string& table, const std::vector<Column>& columns,
                         const std::vector<VARIANT>& values, const std::vector<bool>& assigned,
                         std::vector<StoredValue>* stored, const ErrorSite& site) = 0;
  // One write transaction over several calls (mode 2 only): everything from Begin until Commit
  // is stored together or not at all.
  // Waits for another writer's transaction a few seconds at most (then fails as locked).
  virtual HRESULT Begin(const ErrorSite& site) = 0;
  virtual HRESULT Commit(const ErrorSite& site) = 0;
  virtual HRESULT Rollback(const ErrorSite& site) = 0;
  // True from Begin until Commit or Rollback, unless the engine ended the transaction itself
  // (the server went away).
  virtual bool InTransaction() const = 0;
};

// What Connection.Open asks of an engine.
struct EngineOpenRequest {
  std::string dataSource;
  bool readOnly = false;
  long timeoutSeconds = 15;  // 0: wait as long as it takes
};

// One engine: whether it serves a Data Source, and how it opens one.
struct Engine {
  const char* name;
  bool (*Serves)(std::string_view dataSource);
  HRESULT (*Open)(const EngineOpenRequest& request, std::unique_ptr<EngineConnection>* connection);
};

// The engine for a Data Source; null for an SQLite file, which the objects serve themselves
// (SQLite has no Engine of its own).
const Engine* EngineFor(std::string_view dataSource);

// The Data Source with the password of a server URI replaced by "***" (user:password@ and
// password=... alike); anything else unchanged.
std::string MaskDataSource(std::string_view dataSource);

}  // namespace ado
}  // namespace platform

#endif
