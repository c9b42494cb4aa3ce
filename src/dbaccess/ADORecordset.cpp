// CADORecordset: opening, walking, appending and closing. The field reads and writes are in
// ADORecordsetFields.cpp.
#include "dbaccess/ADORecordset.h"

#include "platform/com/com.h"

namespace {

using dbaccess::CheckResult;
using dbaccess::RaiseError;

// The platform's value for an argument left out: VT_ERROR with DISP_E_PARAMNOTFOUND.
VARIANT MissingArgument() {
  VARIANT missing;
  VariantInit(&missing);
  missing.vt = VT_ERROR;
  missing.scode = DISP_E_PARAMNOTFOUND;
  return missing;
}

bool IsLeadingSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

CADORecordset::CADORecordset(CADODataBase* database) {
  dbaccess::CreateObject(CLSID_Recordset, IID_Recordset, recordset);
  dbaccess::CreateObject(CLSID_Command, IID_Command, command);
  newRecordPending = FALSE;
  ADOConnection* shared = database != nullptr ? database->Connection() : nullptr;
  if (shared != nullptr) {
    shared->AddRef();
    *connection.out() = shared;
  }
}

CADORecordset::~CADORecordset() {
  try {
    CloseRecordset();
  } catch (const PlatformError&) {
    // A destructor cannot pass the failure on; the objects are released below regardless.
  }
  ForgetFields();
  recordset.reset();
  command.reset();
  queryText.clear();
  lastErrorText.clear();
  lastErrorCode = 0;
  newRecordPending = FALSE;
  connection.reset();
}

BOOL CADORecordset::OpenRecordset(const char* source, int openMode) {
  return OpenRecordsetOn(connection.get(), source, openMode);
}

BOOL CADORecordset::OpenRecordsetOn(ADOConnection* activeConnection, const char* source,
                                    int openMode) {
  ForgetFields();
  CloseRecordset();
  if (source != nullptr && *source != '\0') queryText = source;
  if (!connection && activeConnection != nullptr) {
    activeConnection->AddRef();
    *connection.out() = activeConnection;
  }
  size_t skip = 0;
  while (skip < queryText.size() && IsLeadingSpace(queryText[skip])) ++skip;
  queryText.erase(0, skip);

  try {
    if (!recordset) RaiseError(E_POINTER);
    CheckResult(recordset->put_CursorType(adOpenStatic), recordset.get(), IID_Recordset15);
    CheckResult(recordset->put_CursorLocation(adUseClient), recordset.get(), IID_Recordset15);
    switch (openMode) {
      case SourceAuto:
      case SourceQuery:
      case SourceTable: {
        dbaccess::CVariant sourceValue;
        sourceValue.get().bstrVal = dbaccess::ToBstr(queryText.c_str());
        sourceValue.get().vt = VT_BSTR;
        dbaccess::CVariant connectionValue;
        if (activeConnection != nullptr) activeConnection->AddRef();
        connectionValue.get().pdispVal = activeConnection;
        connectionValue.get().vt = VT_DISPATCH;
        const bool table = openMode == SourceTable;
        CheckResult(recordset->Open(sourceValue.get(), connectionValue.get(),
                                    table ? adOpenKeyset : adOpenStatic, adLockOptimistic,
                                    table ? adCmdTable : adCmdUnknown),
                    recordset.get(), IID_Recordset15);
        break;
      }
      case SourceProcedure: {
        if (!command) RaiseError(E_POINTER);
        CheckResult(command->putref_ActiveConnection(activeConnection), command.get(),
                    IID_Command15);
        dbaccess::CBstr text(queryText.c_str());
        CheckResult(command->put_CommandText(text.get()), command.get(), IID_Command15);
        CheckResult(command->put_CommandType(adCmdStoredProc), command.get(), IID_Command15);
        if (!connection) RaiseError(E_POINTER);
        CheckResult(connection->put_CursorLocation(adUseClient), connection.get(),
                    IID_Connection15);
        ADORecordset* result = nullptr;
        CheckResult(command->Execute(nullptr, nullptr, adCmdText, &result), command.get(),
                    IID_Command15);
        *recordset.out() = result;
        break;
      }
      default:
        return FALSE;
    }
    if (!recordset) return FALSE;
    LONG state = adStateClosed;
    CheckResult(recordset->get_State(&state), recordset.get(), IID_Recordset15);
    return state != adStateClosed ? TRUE : FALSE;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
    return FALSE;
  }
}

void CADORecordset::CloseRecordset() {
  ForgetFields();
  if (!IsRecordsetOpen()) return;
  if (newRecordPending) CancelRecordChanges();
  dbaccess::CBstr noSort(SysAllocString(u""));
  if (noSort.get() == nullptr) RaiseError(E_OUTOFMEMORY);
  CheckResult(recordset->put_Sort(noSort.get()), recordset.get(), IID_Recordset15);
  CheckResult(recordset->Close(), recordset.get(), IID_Recordset15);
}

BOOL CADORecordset::IsRecordsetOpen() {
  if (!recordset || !connection) return FALSE;
  LONG state = adStateClosed;
  CheckResult(connection->get_State(&state), connection.get(), IID_Connection15);
  if (state == adStateClosed) return FALSE;
  state = adStateClosed;
  CheckResult(recordset->get_State(&state), recordset.get(), IID_Recordset15);
  return state != adStateClosed ? TRUE : FALSE;
}

BOOL CADORecordset::AtEndOfRecords() {
  if (!recordset) RaiseError(E_POINTER);
  VARIANT_BOOL eof = VARIANT_FALSE;
  CheckResult(recordset->get_EOF(&eof), recordset.get(), IID_Recordset15);
  return eof == VARIANT_TRUE ? TRUE : FALSE;
}

void CADORecordset::MoveToNextRecord() {
  if (!recordset) RaiseError(E_POINTER);
  CheckResult(recordset->MoveNext(), recordset.get(), IID_Recordset15);
}

LONG CADORecordset::FieldCount() {
  if (!recordset) RaiseError(E_POINTER);
  dbaccess::CComPtr<ADOFields> fields;
  CheckResult(recordset->get_Fields(fields.out()), recordset.get(), IID_Recordset15);
  if (!fields) RaiseError(E_POINTER);
  LONG count = 0;
  CheckResult(fields->get_Count(&count), fields.get(), IID_ADOCollection);
  return count;
}

BOOL CADORecordset::BeginNewRecord() {
  newRecordPending = FALSE;
  if (!recordset) RaiseError(E_POINTER);
  const HRESULT hr = recordset->AddNew(MissingArgument(), MissingArgument());
  CheckResult(hr, recordset.get(), IID_Recordset15);
  if (hr != S_OK) return FALSE;
  newRecordPending = TRUE;
  return TRUE;
}

BOOL CADORecordset::SaveRecord() {
  if (!newRecordPending) return TRUE;
  bool stored = false;
  try {
    if (!recordset) RaiseError(E_POINTER);
    const HRESULT hr = recordset->Update(MissingArgument(), MissingArgument());
    CheckResult(hr, recordset.get(), IID_Recordset15);
    stored = hr == S_OK;
  } catch (const PlatformError& error) {
    ReportRecordsetError(error);
  }
  newRecordPending = FALSE;
  if (!stored) {
    if (!recordset) RaiseError(E_POINTER);
    CheckResult(recordset->CancelUpdate(), recordset.get(), IID_Recordset15);
  }
  return stored ? TRUE : FALSE;
}

void CADORecordset::CancelRecordChanges() {
  if (!recordset) RaiseError(E_POINTER);
  CheckResult(recordset->CancelUpdate(), recordset.get(), IID_Recordset15);
  newRecordPending = FALSE;
}

void CADORecordset::ReportRecordsetError(const PlatformError& error) {
  const std::string block = dbaccess::FormatErrorBlock("CADORecordset Error", error);
  lastErrorText = "Query = " + queryText + "\n" + block;
  lastErrorCode = static_cast<ULONG>(error.Error());
}
