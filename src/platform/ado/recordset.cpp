// Recordset: a table, a saved query or a statement opened on a Connection.
#include "platform/ado/ado_objects.h"
#include "platform/ado/statement_form.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {
namespace {

const IID* const kRecordsetInterfaces[] = {&IID_Recordset, &IID_Recordset15, nullptr};

constexpr char kClosed[] = "Operation is not allowed when the object is closed.";

// True for an argument left out: VT_ERROR with DISP_E_PARAMNOTFOUND, or VT_EMPTY.
bool IsMissing(const VARIANT& argument) {
  return argument.vt == VT_EMPTY ||
         (argument.vt == VT_ERROR && argument.scode == DISP_E_PARAMNOTFOUND);
}

}  // namespace

HRESULT RecordsetImpl::Create(IUnknown** object) {
  if (object == nullptr) return E_POINTER;
  *object = static_cast<ADORecordset*>(New());
  return S_OK;
}

RecordsetImpl* RecordsetImpl::New() { return new RecordsetImpl; }

RecordsetImpl::RecordsetImpl() : ComObject(kRecordsetInterfaces) {}

RecordsetImpl::~RecordsetImpl() { DropCursor(); }

void RecordsetImpl::DropCursor() {
  if (rowCursor != nullptr) {
    rowCursor->Close();
    rowCursor->Release();
    rowCursor = nullptr;
  }
  if (fieldsObject != nullptr) {
    fieldsObject->Release();
    fieldsObject = nullptr;
  }
}

bool RecordsetImpl::IsOpen() const { return rowCursor != nullptr && rowCursor->open(); }

// S_OK when the recordset is open; otherwise the failure, reported.
HRESULT RecordsetImpl::CheckOpen(const char* call, HRESULT* failure) {
  if (HRESULT hr = FaultCheck(call)) return *failure = FailInjected(hr, kRecordsetSite, call);
  if (!IsOpen()) return *failure = Fail(adErrObjectClosed, kRecordsetSite, kClosed);
  return *failure = S_OK;
}

HRESULT RecordsetImpl::put_CursorType(CursorTypeEnum type) {
  if (HRESULT hr = FaultCheck("Recordset.CursorType.put"))
    return FailInjected(hr, kRecordsetSite, "Recordset.CursorType.put");
  if (IsOpen())
    return Fail(adErrObjectOpen, kRecordsetSite,
                "Operation is not allowed when the object is open.");
  cursorType = type;
  return S_OK;
}

HRESULT RecordsetImpl::put_CursorLocation(CursorLocationEnum location) {
  if (HRESULT hr = FaultCheck("Recordset.CursorLocation.put"))
    return FailInjected(hr, kRecordsetSite, "Recordset.CursorLocation.put");
  if (IsOpen())
    return Fail(adErrObjectOpen, kRecordsetSite,
                "Operation is not allowed when the object is open.");
  cursorLocation = location;
  return S_OK;
}

void RecordsetImpl::Adopt(Cursor* cursor) {
  DropCursor();
  rowCursor = cursor;
  fieldsObject = FieldsImpl::Create(cursor);
}

HRESULT RecordsetImpl::OpenOn(ConnectionImpl* connection, const std::string& source,
                              LONG commandType) {
  if (!connection->IsOpen()) return Fail(adErrObjectClosed, kRecordsetSite, kClosed);
  Cursor* cursor = new Cursor(connection);
  HRESULT hr;
  bool returnsRows = true;
  switch (commandType) {
    case adCmdTable:
      hr = cursor->OpenTable(source);
      break;
    case adCmdStoredProc:
      hr = cursor->OpenStatement("SELECT * FROM " + QuoteIdentifier(source), &returnsRows);
      break;
    default:
      hr = cursor->OpenStatement(source, &returnsRows);
      // A bare name given as a command names a table.
      if (hr == DB_E_ERRORSINCOMMAND && IsSingleName(source)) {
        hr = cursor->OpenTable(source);
        if (SUCCEEDED(hr)) SetErrorInfo(0, nullptr);
      }
      break;
  }
  if (FAILED(hr) || !returnsRows) {
    cursor->Release();
    return hr;
  }
  Adopt(cursor);
  return S_OK;
}

void RecordsetImpl::OpenOnStatement(ConnectionImpl* connection, sqlite3_stmt* statement) {
  Cursor* cursor = new Cursor(connection);
  cursor->OpenPrepared(statement);
  Adopt(cursor);
}

void RecordsetImpl::OpenOnRows(ConnectionImpl* connection, std::vector<Column> columns,
                               std::unique_ptr<EngineRows> rows) {
  Cursor* cursor = new Cursor(connection);
  cursor->OpenRows(std::move(columns), std::move(rows));
  Adopt(cursor);
}

HRESULT RecordsetImpl::Open(VARIANT source, VARIANT activeConnection, CursorTypeEnum, LockTypeEnum,
                            LONG options) {
  if (HRESULT hr = FaultCheck("Recordset.Open"))
    return FailInjected(hr, kRecordsetSite, "Recordset.Open");
  if (IsOpen())
    return Fail(adErrObjectOpen, kRecordsetSite,
                "Operation is not allowed when the object is open.");
  std::string text;
  if (!VariantText(source, &text))
    return Fail(E_INVALIDARG, kRecordsetSite, "The source must be a table name or a statement.");
  const VARIANT* active = &activeConnection;
  if (active->vt == (VT_BYREF | VT_VARIANT) && active->byref != nullptr)
    active = static_cast<const VARIANT*>(active->byref);
  ConnectionImpl* connection = nullptr;
  if (active->vt == VT_DISPATCH || active->vt == VT_UNKNOWN)
    connection = ConnectionImpl::FromUnknown(active->punkVal);
  if (connection == nullptr)
    return Fail(adErrInvalidConnection, kRecordsetSite,
                "The connection cannot be used to perform this operation.");
  const HRESULT hr = OpenOn(connection, text, options & 0xFF);
  connection->Release();
  return hr;
}

HRESULT RecordsetImpl::get_State(LONG* state) {
  if (HRESULT hr = FaultCheck("Recordset.State.get"))
    return FailInjected(hr, kRecordsetSite, "Recordset.State.get");
  if (state == nullptr) return Fail(E_POINTER, kRecordsetSite, "No place for the state.");
  *state = IsOpen() ? adStateOpen : adStateClosed;
  return S_OK;
}

HRESULT RecordsetImpl::get_EOF(VARIANT_BOOL* eof) {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.EOF.get", &failure))) return failure;
  if (eof == nullptr) return Fail(E_POINTER, kRecordsetSite, "No place for the result.");
  bool atEnd = true;
  if (HRESULT hr = rowCursor->Eof(&atEnd, kRecordsetSite); FAILED(hr)) return hr;
  *eof = atEnd ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

HRESULT RecordsetImpl::MoveNext() {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.MoveNext", &failure))) return failure;
  return rowCursor->MoveNext(kRecordsetSite);
}

HRESULT RecordsetImpl::get_Fields(ADOFields** fields) {
  HRESULT failure;
  if (fields != nullptr) *fields = nullptr;
  if (FAILED(CheckOpen("Recordset.Fields.get", &failure))) return failure;
  if (fields == nullptr) return Fail(E_POINTER, kRecordsetSite, "No place for the fields.");
  fieldsObject->AddRef();
  *fields = fieldsObject;
  return S_OK;
}

HRESULT RecordsetImpl::AddNew(VARIANT fieldList, VARIANT values) {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.AddNew", &failure))) return failure;
  if (!IsMissing(fieldList) || !IsMissing(values))
    return Fail(adErrFeatureNotAvailable, kRecordsetSite,
                "AddNew with a field list is not supported; assign Field.Value instead.");
  return rowCursor->AddNew(kRecordsetSite);
}

HRESULT RecordsetImpl::Update(VARIANT fields, VARIANT values) {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.Update", &failure))) return failure;
  if (!IsMissing(fields) || !IsMissing(values))
    return Fail(adErrFeatureNotAvailable, kRecordsetSite,
                "Update with a field list is not supported; assign Field.Value instead.");
  return rowCursor->Update(kRecordsetSite);
}

HRESULT RecordsetImpl::CancelUpdate() {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.CancelUpdate", &failure))) return failure;
  rowCursor->CancelUpdate();
  return S_OK;
}

HRESULT RecordsetImpl::put_Sort(BSTR criteria) {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.Sort.put", &failure))) return failure;
  if (SysStringLen(criteria) != 0)
    return Fail(adErrFeatureNotAvailable, kRecordsetSite,
                "Sorting an open recordset is not supported; use ORDER BY in the statement.");
  return S_OK;
}

HRESULT RecordsetImpl::Close() {
  HRESULT failure;
  if (FAILED(CheckOpen("Recordset.Close", &failure))) return failure;
  DropCursor();
  return S_OK;
}

}  // namespace ado
}  // namespace platform
