// Data-access stand-in: Connection, Recordset, Command, Fields and Field over an SQLite file, a
// Jet or ACE file (read-only) or a PostgreSQL server (engine.h), with the class and interface
// identifiers, enumerations and result codes of ADO.
//
// Objects are created through CoCreateInstance (com.h) with the CLSID_ identifiers once the
// classes are in the COM class registry: whoever creates them calls RegisterAdoClasses first
// (the data-access layer does, before each creation; COM itself knows nothing of these classes).
// Every method returns an HRESULT; a failure sets the thread's error information (SetErrorInfo)
// with a source and the engine's message as description, and each object answers ISupportErrorInfo
// for the interface identifiers listed with it.
//
// Each method begins with platform::FaultCheck("Object.Method") so that tests can make it fail;
// property accessors are named "Object.Property.get" / "Object.Property.put".
#ifndef ZEMA_PLATFORM_ADO_H
#define ZEMA_PLATFORM_ADO_H

#include <string>
#include <string_view>

#include "oleauto.h"
#include "platform/com/com.h"

// Classes and the interfaces asked for at creation.
extern const CLSID CLSID_Connection;  // {00000514-0000-0010-8000-00AA006D2EA4}
extern const CLSID CLSID_Recordset;   // {00000535-0000-0010-8000-00AA006D2EA4}
extern const CLSID CLSID_Command;     // {00000507-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Connection;      // _Connection {00000550-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Recordset;       // _Recordset {00000556-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Command;         // _Command {B08400BD-F9D1-4D02-B856-71D5DBA123E9}
extern const IID IID_Fields;          // Fields {0000054D-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Field;           // Field {0000054C-0000-0010-8000-00AA006D2EA4}
// Interfaces for which the objects supply error information.
extern const IID IID_Connection15;   // {00000515-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Recordset15;    // {0000050E-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Command15;      // {00000508-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Fields15;       // {00000506-0000-0010-8000-00AA006D2EA4}
extern const IID IID_Field20;        // {0000054C-0000-0010-8000-00AA006D2EA4}
extern const IID IID_ADOCollection;  // {00000512-0000-0010-8000-00AA006D2EA4}

// Result codes of the component.
#define DB_E_ERRORSINCOMMAND ((HRESULT)0x80040E14L)     // a statement that does not parse
#define DB_E_NOTABLE ((HRESULT)0x80040E37L)             // no such table
#define DB_E_INTEGRITYVIOLATION ((HRESULT)0x80040E2FL)  // a constraint refused the row
#define DB_E_DATAOVERFLOW ((HRESULT)0x80040E57L)        // text longer than a sized column
#define adErrItemNotFound ((HRESULT)0x800A0CC1L)        // unknown column
#define adErrNoCurrentRecord ((HRESULT)0x800A0BCDL)     // no current row
#define adErrObjectClosed ((HRESULT)0x800A0E78L)        // operation on a closed object
#define adErrObjectOpen ((HRESULT)0x800A0E79L)          // operation not allowed on an open object
#define adErrFeatureNotAvailable ((HRESULT)0x800A0CB3L)
#define adErrInvalidConnection ((HRESULT)0x800A0E7DL)
#define adErrProviderNotFound ((HRESULT)0x800A0E7AL)

enum DataTypeEnum {
  adEmpty = 0,
  adSmallInt = 2,
  adInteger = 3,
  adSingle = 4,
  adDouble = 5,
  adCurrency = 6,
  adDate = 7,
  adBSTR = 8,
  adIDispatch = 9,
  adError = 10,
  adBoolean = 11,
  adVariant = 12,
  adIUnknown = 13,
  adDecimal = 14,
  adTinyInt = 16,
  adUnsignedTinyInt = 17,
  adUnsignedSmallInt = 18,
  adUnsignedInt = 19,
  adBigInt = 20,
  adUnsignedBigInt = 21,
  adFileTime = 64,
  adGUID = 72,
  adBinary = 128,
  adChar = 129,
  adWChar = 130,
  adNumeric = 131,
  adUserDefined = 132,
  adDBDate = 133,
  adDBTime = 134,
  adDBTimeStamp = 135,
  adChapter = 136,
  adPropVariant = 138,
  adVarNumeric = 139,
  adVarChar = 200,
  adLongVarChar = 201,
  adVarWChar = 202,
  adLongVarWChar = 203,
  adVarBinary = 204,
  adLongVarBinary = 205,
  adArray = 0x2000
};

enum FieldAttributeEnum {
  adFldUnspecified = -1,
  adFldMayDefer = 0x2,
  adFldUpdatable = 0x4,
  adFldUnknownUpdatable = 0x8,
  adFldFixed = 0x10,
  adFldIsNullable = 0x20,
  adFldMayBeNull = 0x40,
  adFldLong = 0x80,
  adFldRowID = 0x100,
  adFldRowVersion = 0x200,
  adFldCacheDeferred = 0x1000,
  adFldIsChapter = 0x2000,
  adFldNegativeScale = 0x4000,
  adFldKeyColumn = 0x8000
};

enum ObjectStateEnum {
  adStateClosed = 0,
  adStateOpen = 1,
  adStateConnecting = 2,
  adStateExecuting = 4,
  adStateFetching = 8
};
enum ConnectModeEnum { adModeUnknown = 0, adModeRead = 1, adModeWrite = 2, adModeReadWrite = 3 };
enum CursorTypeEnum {
  adOpenUnspecified = -1,
  adOpenForwardOnly = 0,
  adOpenKeyset = 1,
  adOpenDynamic = 2,
  adOpenStatic = 3
};
enum LockTypeEnum {
  adLockUnspecified = -1,
  adLockReadOnly = 1,
  adLockPessimistic = 2,
  adLockOptimistic = 3,
  adLockBatchOptimistic = 4
};
enum CursorLocationEnum { adUseServer = 2, adUseClient = 3 };
enum CommandTypeEnum {
  adCmdUnspecified = -1,
  adCmdText = 1,
  adCmdTable = 2,
  adCmdStoredProc = 4,
  adCmdUnknown = 8
};
enum ExecuteOptionEnum { adExecuteNoRecords = 0x80 };

struct ADORecordset;

// One column of the current (or pending new) row.
struct ADOField : IDispatch {
  // *value receives a copy the caller clears: VT_NULL for NULL, else the VARIANT of the column's
  // type. adErrNoCurrentRecord at EOF without a pending row.
  virtual HRESULT get_Value(VARIANT* value) = 0;
  // Sets the column of the pending new row; the value is converted to the column's type when
  // Update stores it (or here when it clearly cannot be: DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW,
  // DB_E_DATAOVERFLOW for text longer than a sized column).
  virtual HRESULT put_Value(VARIANT value) = 0;
  virtual HRESULT get_Name(BSTR* name) = 0;  // *name: a new BSTR the caller frees
  virtual HRESULT get_Type(DataTypeEnum* type) = 0;
  virtual HRESULT get_DefinedSize(LONG* size) = 0;
  virtual HRESULT get_Attributes(LONG* attributes) = 0;
  virtual HRESULT get_ActualSize(LONG* size) = 0;
  // This system's addition for readers that want the value as text: passes the same fault check
  // and fails, with the same report, exactly where get_Value would. When get_Value would give
  // VT_NULL, or text that is all ASCII, and the process code page keeps ASCII as it is (UTF-8,
  // Windows-1252), *text and *size receive those bytes (a NULL as empty text; valid until the
  // row moves or the recordset closes) and *value stays VT_EMPTY. Otherwise *text is null and
  // *value receives what get_Value gives. It spares a reader the text's round trip through a
  // BSTR.
  virtual HRESULT GetValueOrAsciiText(VARIANT* value, const char** text, size_t* size) = 0;

 protected:
  ~ADOField() = default;
};

// The columns of a recordset, in the table's declared order.
struct ADOFields : IDispatch {
  virtual HRESULT get_Count(LONG* count) = 0;
  // index: VT_BSTR name (exact, then case-insensitive) or an integer position (VT_I2, VT_I4).
  // adErrItemNotFound for an unknown name or a position out of range. *field: one reference.
  virtual HRESULT get_Item(VARIANT index, ADOField** field) = 0;
  // This system's addition for readers of whole rows: the values of the count columns from
  // position first into values[0..count), each exactly as get_Value of its Field gives it (the
  // same fault check, the same report on failure), column after column. Stops at the first
  // failure, whose HRESULT it returns: *read receives the number of values read before it,
  // values[*read] is VT_EMPTY and the values after it are untouched. E_INVALIDARG for a range
  // outside the columns. It spares a reader of many columns a call through the Field per value.
  virtual HRESULT GetValues(LONG first, LONG count, VARIANT* values, LONG* read) = 0;

 protected:
  ~ADOFields() = default;
};

struct ADOConnection : IDispatch {
  virtual HRESULT put_Mode(ConnectModeEnum mode) = 0;
  virtual HRESULT put_ConnectionTimeout(LONG seconds) = 0;
  // "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=<path or URI>" (keys case-insensitive). The
  // Data Source picks the engine: a postgresql:// or postgres:// URI a PostgreSQL server, else a
  // file, which must exist: a Jet or ACE file (known by its header; read-only) or an SQLite
  // file. Mode 1 opens read-only, holding one read snapshot until Close; mode 2 or 3 read-write.
  // userId and password are ignored.
  virtual HRESULT Open(BSTR connectionString, BSTR userId, BSTR password, LONG options) = 0;
  virtual HRESULT get_State(LONG* state) = 0;
  virtual HRESULT Close() = 0;
  virtual HRESULT put_CursorLocation(CursorLocationEnum location) = 0;
  // Runs one statement ("DELETE * FROM" accepted). *recordsAffected (when not null) receives a
  // VT_I4 count; *recordset (when not null) receives a closed recordset, one reference.
  virtual HRESULT Execute(BSTR commandText, VARIANT* recordsAffected, LONG options,
                          ADORecordset** recordset) = 0;
  // One transaction at a time, on a read-write connection. BeginTrans takes the write lock at
  // once (waiting for it within the call's budget, see failure_note.h); until CommitTrans or
  // RollbackTrans, rows stored through the connection are not committed and other connections
  // do not see them. When the engine itself ends the transaction after a failure (a full disk,
  // for one), every later write and the commit fail, and RollbackTrans succeeds: nothing of the
  // transaction was kept. A commit that fails rolls back. Closing the connection rolls back.
  // RollbackTrans without an open transaction does nothing and succeeds.
  virtual HRESULT BeginTrans(LONG* level) = 0;
  virtual HRESULT CommitTrans() = 0;
  virtual HRESULT RollbackTrans() = 0;

 protected:
  ~ADOConnection() = default;
};

struct ADORecordset : IDispatch {
  virtual HRESULT put_CursorType(CursorTypeEnum type) = 0;
  virtual HRESULT put_CursorLocation(CursorLocationEnum location) = 0;
  // source: VT_BSTR table name (adCmdTable) or statement (adCmdUnknown, adCmdText);
  // activeConnection: VT_DISPATCH holding an open ADOConnection. On a read-write connection the
  // rows are fetched whole at the first access to a row (a table opened only to add rows reads
  // nothing), so nothing stays pending and statements run on the connection commit at once; on a
  // read-only connection rows are read one at a time from the connection's snapshot.
  virtual HRESULT Open(VARIANT source, VARIANT activeConnection, CursorTypeEnum cursorType,
                       LockTypeEnum lockType, LONG options) = 0;
  virtual HRESULT get_State(LONG* state) = 0;
  virtual HRESULT get_EOF(VARIANT_BOOL* eof) = 0;  // VARIANT_TRUE after the last row
  virtual HRESULT MoveNext() = 0;
  virtual HRESULT get_Fields(ADOFields** fields) = 0;
  // Begins a new row (table mode only); both arguments must be the missing-argument value.
  virtual HRESULT AddNew(VARIANT fieldList, VARIANT values) = 0;
  // Stores the pending row and commits it; the stored row becomes current (its assigned
  // INTEGER PRIMARY KEY reads back). A refused row keeps the row pending.
  virtual HRESULT Update(VARIANT fields, VARIANT values) = 0;
  virtual HRESULT CancelUpdate() = 0;
  virtual HRESULT put_Sort(BSTR criteria) = 0;
  virtual HRESULT Close() = 0;

 protected:
  ~ADORecordset() = default;
};

struct ADOCommand : IDispatch {
  virtual HRESULT putref_ActiveConnection(ADOConnection* connection) = 0;
  virtual HRESULT put_CommandText(BSTR text) = 0;
  virtual HRESULT put_CommandType(CommandTypeEnum type) = 0;
  // A stored procedure is a saved query (an SQLite view), run as SELECT * FROM it. *recordset:
  // an open recordset, one reference.
  virtual HRESULT Execute(VARIANT* recordsAffected, VARIANT* parameters, LONG options,
                          ADORecordset** recordset) = 0;

 protected:
  ~ADOCommand() = default;
};

// Registers the three classes (Connection, Recordset, Command) with the COM stand-in's class
// registry. Idempotent and thread-safe; the first call registers, later ones cost one check.
void RegisterAdoClasses();

// A connection string as it may be shown: the password of a server URI in its Data Source (and
// any password=... key) replaced by "***".
std::string MaskConnectionPassword(std::string_view connectionString);

#endif
