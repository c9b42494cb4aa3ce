// The classes behind the data-access interfaces of ado.h and what they share.
//
// A Connection owns one SQLite handle, or one engine connection for a Data Source that an engine
// serves (engine.h). A Recordset keeps, while it is open, one Cursor: the columns of its source
// and the way to its rows. The Fields collection and its Field objects hold a reference to that
// Cursor, so a Field handed out earlier stays safe to call after the Recordset has closed (it
// then reports adErrObjectClosed).
//
// Rows: on a read-only connection a Cursor steps one prepared statement inside the connection's
// snapshot. On a read-write connection nothing may stay pending between calls, so a Cursor
// fetches its rows whole, at the first access to a row (never at Open: a table opened only to
// add rows reads nothing).
//
// Objects are used by one thread at a time; reference counts are not atomic.
#ifndef ZEMA_PLATFORM_ADO_ADO_OBJECTS_H
#define ZEMA_PLATFORM_ADO_ADO_OBJECTS_H

#include <sqlite3.h>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/ado/com_object.h"
#include "platform/ado/engine.h"
#include "platform/ado/failure_note.h"
#include "platform/ado/value_codec.h"

namespace platform {
namespace ado {

class Cursor;

// Where an error is reported: the interface that failed and the source name of its object.
struct ErrorSite {
  const IID* iid;
  const char* source;  // "ADODB.Recordset", ...
};

extern const ErrorSite kConnectionSite;
extern const ErrorSite kRecordsetSite;
extern const ErrorSite kCommandSite;
extern const ErrorSite kFieldsSite;
extern const ErrorSite kFieldSite;

// Sets the thread's error information (source and description), notes the failure with its
// kind (failure_note.h) and returns code.
HRESULT Fail(HRESULT code, const ErrorSite& site, std::string_view description,
             FailureKind kind = FailureKind::kOther);
// The same with the source "SQLite" and the engine's current message; the code follows the
// engine's result: DB_E_NOTABLE, DB_E_ERRORSINCOMMAND (for a statement that does not
// compile), DB_E_INTEGRITYVIOLATION, E_OUTOFMEMORY, else E_FAIL. A lock held by another
// program, a read-only database, a full disk and a damaged file are said in plain words before
// the engine's message, and noted with their kind.
HRESULT FailEngine(sqlite3* db, int rc, const ErrorSite& site, bool compiling);
// The kind of an engine result, with the operating system's error number for I/O errors.
FailureKind EngineFailureKind(int rc, int systemErrno);
// The engine's message for its result rc on db (null: the message of rc alone), after plain
// words for the kinds a caller acts on; *kind gets the kind.
std::string EngineMessage(sqlite3* db, int rc, FailureKind* kind);
// The engine's message for its result rc on db (null: the message of rc alone), after plain
// words for the kinds a caller acts on; *kind gets the kind.
std::string EngineMessage(sqlite3* db, int rc, FailureKind* kind);
// The failure of a call made to fail through the fault seam.
HRESULT FailInjected(HRESULT code, const ErrorSite& site, const char* call);

// Text of a VARIANT argument (VT_BSTR, or a reference to one) as UTF-8; false for other types.
bool VariantText(const VARIANT& value, std::string* text);
// BSTR as UTF-8 (null is "").
std::string BstrToUtf8(BSTR text);

class ConnectionImpl final : public ComObject<ADOConnection> {
 public:
  static HRESULT Create(IUnknown** object);
  // The implementation behind an interface, AddRef'd; null when it is not one of ours.
  static ConnectionImpl* FromUnknown(IUnknown* object);

  // Also answers the private identity that FromUnknown asks for.
  HRESULT QueryInterface(const IID& iid, void** object) override;

  HRESULT put_Mode(ConnectModeEnum mode) override;
  HRESULT put_ConnectionTimeout(LONG seconds) override;
  HRESULT Open(BSTR connectionString, BSTR userId, BSTR password, LONG options) override;
  HRESULT get_State(LONG* state) override;
  HRESULT Close() override;
  HRESULT put_CursorLocation(CursorLocationEnum location) override;
  HRESULT Execute(BSTR commandText, VARIANT* recordsAffected, LONG options,
                  ADORecordset** recordset) override;
  HRESULT BeginTrans(LONG* level) override;
  HRESULT CommitTrans() override;
  HRESULT RollbackTrans() override;

  sqlite3* db() const { return sqlite; }
  // The engine of a connection to anything but an SQLite file; null otherwise.
  EngineConnection* engine() const { return engineConnection.get(); }
  bool IsOpen() const { return sqlite != nullptr || engineConnection != nullptr; }
  // Fails (with its report) when a transaction begun by BeginTrans was ended by the engine:
  // nothing may then be written outside it. Called before every write.
  HRESULT CheckTransaction(const ErrorSite& site);
  bool readOnly() const { return isReadOnly; }
  // Cursors open on this connection are closed with it.
  void Attach(Cursor* cursor);
  void Detach(Cursor* cursor);
  // A statement prepared once per connection and kept until Close, reset and unbound, ready
  // to bind and step. Null with the engine's result in *rc when it does not compile.
  sqlite3_stmt* CachedStatement(const std::string& sql, int* rc);

 private:
  ConnectionImpl();
  ~ConnectionImpl() override;
  void CloseHandle();
  // Runs sql, a DELETE, through a statement compiled once per form: its integer literals become
  // parameters, so the deletions of one table by different keys share one statement. False when
  // the statement has no such form or is not one to keep (nothing has run then, and Execute
  // runs the text as written); otherwise *result is what Execute returns, with its report.
  // Execute on an engine connection.
  HRESULT ExecuteOnEngine(const std::string& sql, VARIANT* recordsAffected, LONG options,
                          ADORecordset** recordset);
  bool ExecuteCachedDelete(const std::string& sql, VARIANT* recordsAffected,
                           ADORecordset** recordset, HRESULT* result);

  LONG openMode = adModeUnknown;
  LONG timeout = 15;
  sqlite3* sqlite = nullptr;
  std::unique_ptr<EngineConnection> engineConnection;
  bool isReadOnly = false;
  bool transaction = false;  // BeginTrans ran and neither CommitTrans nor RollbackTrans since
  std::vector<Cursor*> openCursors;
  std::unordered_map<std::string, sqlite3_stmt*> statements;
  std::unordered_map<std::string, sqlite3_stmt*> deletes;  // by the text with parameters
};

// Stored rows: cells of one or more rows, text and blob bytes kept in one arena.
class RowBuffer {
 public:
  void Reset(int columns);
  void AppendRow(sqlite3_stmt* statement);
  void AppendRow(const StoredValue* values);
  size_t rows() const { return columnCount == 0 ? 0 : cells.size() / columnCount; }
  StoredValue Get(size_t row, int column) const;

 private:
  struct Cell {
    StoredValue::Class storage;
    int size;
    union {
      int64_t integer;
      double real;
      size_t offset;
    };
  };
  void Append(const StoredValue& value);

  int columnCount = 0;
  std::vector<Cell> cells;
  std::string arena;
};

class Cursor {
 public:
  explicit Cursor(ConnectionImpl* connection);
  void AddRef() { ++refs; }
  void Release() {
    if (--refs == 0) delete this;
  }

  // Opens a table by name (brackets and quotes accepted) or a statement; *returnsRows false
  // with S_OK for a statement that returns no rows (it has been run).
  HRESULT OpenTable(const std::string& name);
  HRESULT OpenStatement(const std::string& sql, bool* returnsRows);
  // Takes over a compiled statement that returns rows.
  void OpenPrepared(sqlite3_stmt* statement);
  // Takes over the rows of a statement run by an engine.
  void OpenRows(std::vector<Column> columns, std::unique_ptr<EngineRows> rows);
  // Finalizes, drops the rows and detaches from the connection; idempotent.
  void Close();
  bool open() const { return isOpen; }
  bool tableMode() const { return inTableMode; }

  const std::vector<Column>& columns() const { return columnList; }
  // The position of a column by name (exact, then ASCII case-insensitive); -1 when unknown.
  int FindColumn(std::u16string_view name) const;

  // Row access. Each reports its own errors at `site`.
  HRESULT Eof(bool* eof, const ErrorSite& site);
  HRESULT MoveNext(const ErrorSite& site);
  HRESULT Value(int column, VARIANT* value, const ErrorSite& site);
  // What Field.GetValueOrAsciiText gives: the value's ASCII text in *text (*value untouched), or
  // the value in *value (*text untouched).
  HRESULT ValueOrAsciiText(int column, VARIANT* value, const char** text, size_t* size,
                           const ErrorSite& site);
  HRESULT ActualSize(int column, LONG* size, const ErrorSite& site);
  HRESULT AddNew(const ErrorSite& site);
  HRESULT Put(int column, const VARIANT& value, const ErrorSite& site);
  HRESULT Update(const ErrorSite& site);
  void CancelUpdate();
  bool pending() const { return hasPending; }

 private:
  ~Cursor();
  void BuildNameIndex();
  HRESULT Start(const ErrorSite& site);
  HRESULT Step(const ErrorSite& site);
  HRESULT CurrentValue(int column, StoredValue* value, bool* onPending, const ErrorSite& site);
  // The VARIANT of the current value found by CurrentValue.
  HRESULT Deliver(int column, const StoredValue& stored, bool onPending, VARIANT* value,
                  const ErrorSite& site);
  HRESULT NextCounter(const Column& column, int64_t* next, const ErrorSite& site);

  ULONG refs = 1;
  ConnectionImpl* activeConnection;  // one reference while open
  bool isOpen = false;
  bool inTableMode = false;
  std::string table;  // as given to OpenTable
  std::string quotedTable;
  std::vector<Column> columnList;
  std::unordered_map<std::u16string_view, int> exactNames;
  std::unordered_map<std::u16string, int> foldedNames;

  sqlite3_stmt* query = nullptr;           // owned: the rows' query
  std::unique_ptr<EngineRows> engineRows;  // the rows' query on an engine connection
  bool streaming = false;
  bool started = false;
  bool onCurrentRow = false;
  bool onInserted = false;
  RowBuffer cachedRows;
  size_t row = 0;
  RowBuffer inserted;

  bool hasPending = false;
  std::vector<VARIANT> pendingValues;
  std::vector<bool> assigned;
  std::vector<std::string> scratch;  // stored text of the pending values
  std::vector<StoredValue> values;   // the pending row's stored form
  // Columns the INSERT names, and those of insert: bytes, compared whole for every row.
  std::vector<unsigned char> included;
  std::vector<unsigned char> insertColumns;
  sqlite3_stmt* insert = nullptr;    // the last INSERT used (owned by the connection)
  sqlite3_stmt* readBack = nullptr;  // SELECT * ... WHERE rowid = ? (owned by the connection)
  // The stored row is read back (so that numbering and defaults show) at the first read of one
  // of its values, not at Update: rows added one after another are seldom read.
  bool readBackPending = false;
  sqlite3_int64 insertedRowId = 0;
  // The INSERT changed no row but its own (sqlite3_total_changes64 before and after it).
  bool insertedAlone = false;
  // inserted has still to be filled from values (the row as written).
  bool insertedUnfilled = false;
  // Whether the rowId column is SQLite's rowid: -1 not asked yet, then 0 or 1.
  int rowIdAlias = -1;
  void ReadBackInserted();
  bool RowIdIsAlias();
};

class FieldImpl;

class FieldsImpl final : public ComObject<ADOFields> {
 public:
  // A collection over the cursor's columns, one reference.
  static FieldsImpl* Create(Cursor* cursor);

  HRESULT get_Count(LONG* count) override;
  HRESULT get_Item(VARIANT index, ADOField** field) override;
  HRESULT GetValues(LONG first, LONG count, VARIANT* values, LONG* read) override;

 private:
  explicit FieldsImpl(Cursor* cursor);
  ~FieldsImpl() override;

  Cursor* rowCursor;
  std::vector<FieldImpl*> items;
};

class FieldImpl final : public ComObject<ADOField> {
 public:
  FieldImpl(Cursor* cursor, int column);

  HRESULT get_Value(VARIANT* value) override;
  HRESULT put_Value(VARIANT value) override;
  HRESULT get_Name(BSTR* name) override;
  HRESULT get_Type(DataTypeEnum* type) override;
  HRESULT get_DefinedSize(LONG* size) override;
  HRESULT get_Attributes(LONG* attributes) override;
  HRESULT get_ActualSize(LONG* size) override;
  HRESULT GetValueOrAsciiText(VARIANT* value, const char** text, size_t* size) override;

 private:
  ~FieldImpl() override;
  HRESULT CheckOpen(const char* call);

  Cursor* rowCursor;
  int columnIndex;
};

class RecordsetImpl final : public ComObject<ADORecordset> {
 public:
  static HRESULT Create(IUnknown** object);
  static RecordsetImpl* New();

  HRESULT put_CursorType(CursorTypeEnum type) override;
  HRESULT put_CursorLocation(CursorLocationEnum location) override;
  HRESULT Open(VARIANT source, VARIANT activeConnection, CursorTypeEnum cursorType,
               LockTypeEnum lockType, LONG options) override;
  HRESULT get_State(LONG* state) override;
  HRESULT get_EOF(VARIANT_BOOL* eof) override;
  HRESULT MoveNext() override;
  HRESULT get_Fields(ADOFields** fields) override;
  HRESULT AddNew(VARIANT fieldList, VARIANT values) override;
  HRESULT Update(VARIANT fields, VARIANT values) override;
  HRESULT CancelUpdate() override;
  HRESULT put_Sort(BSTR criteria) override;
  HRESULT Close() override;

  // Opens the recordset over source on connection: a table (adCmdTable), a saved query run as
  // SELECT * (adCmdStoredProc) or a statement (adCmdText, adCmdUnknown). Reports errors.
  HRESULT OpenOn(ConnectionImpl* connection, const std::string& source, LONG commandType);
  // Opens the recordset over a compiled statement that returns rows.
  void OpenOnStatement(ConnectionImpl* connection, sqlite3_stmt* statement);
  // Opens the recordset over the rows of a statement run by an engine.
  void OpenOnRows(ConnectionImpl* connection, std::vector<Column> columns,
                  std::unique_ptr<EngineRows> rows);

 private:
  RecordsetImpl();
  ~RecordsetImpl() override;
  HRESULT CheckOpen(const char* call, HRESULT* failure);
  bool IsOpen() const;
  void Adopt(Cursor* cursor);
  void DropCursor();

  LONG cursorType = adOpenForwardOnly;
  LONG cursorLocation = adUseServer;
  Cursor* rowCursor = nullptr;         // while open
  FieldsImpl* fieldsObject = nullptr;  // while open
};

class CommandImpl final : public ComObject<ADOCommand> {
 public:
  static HRESULT Create(IUnknown** object);

  HRESULT putref_ActiveConnection(ADOConnection* connection) override;
  HRESULT put_CommandText(BSTR text) override;
  HRESULT put_CommandType(CommandTypeEnum type) override;
  HRESULT Execute(VARIANT* recordsAffected, VARIANT* parameters, LONG options,
                  ADORecordset** recordset) override;

 private:
  CommandImpl();
  ~CommandImpl() override;

  ConnectionImpl* activeConnection = nullptr;
  std::string commandText;
  LONG commandType = adCmdUnknown;
};

}  // namespace ado
}  // namespace platform

#endif
