// CADODataBase: the connection half of the access layer.
#include "dbaccess/ADODataBase.h"

#include "platform/com/com.h"

namespace {

using dbaccess::CheckResult;
using dbaccess::RaiseError;

// REQUIRES: connection is not null.
void CheckConnection(HRESULT hr, ADOConnection* connection) {
  CheckResult(hr, connection, IID_Connection15);
}

}  // namespace

CADODataBase::CADODataBase() {
  CoInitialize(nullptr);  // S_FALSE (already initialised) still needs its CoUninitialize
  dbaccess::CreateObject(CLSID_Connection, IID_Connection, connection);
}

CADODataBase::~CADODataBase() {
  try {
    CloseConnection();
  } catch (const PlatformError&) {
    // A destructor cannot pass the failure on; the Connection is released below regardless.
  }
  connection.reset();
  connectionString.clear();
  lastErrorText.clear();
  lastErrorCode = 0;
  CoUninitialize();
}

void CADODataBase::SetConnectionMode(LONG mode) {
  if (!connection) RaiseError(E_POINTER);
  CheckConnection(connection->put_Mode(static_cast<ConnectModeEnum>(mode)), connection.get());
}

BOOL CADODataBase::OpenConnection(const char* connectionText, const char* userId,
                                  const char* password) {
  if (IsConnectionOpen()) CloseConnection();
  if (connectionText != nullptr && *connectionText != '\0') connectionString = connectionText;
  try {
    if (!connection) RaiseError(E_POINTER);
    if (connectionTimeout != 0)
      CheckConnection(connection->put_ConnectionTimeout(connectionTimeout), connection.get());
    dbaccess::CBstr text(connectionString.c_str());
    dbaccess::CBstr user(userId);
    dbaccess::CBstr secret(password);
    const HRESULT hr = connection->Open(text.get(), user.get(), secret.get(), 0);
    CheckConnection(hr, connection.get());
    return hr == S_OK ? TRUE : FALSE;
  } catch (const PlatformError& error) {
    ReportConnectionError(error);
    return FALSE;
  }
}

BOOL CADODataBase::IsConnectionOpen() {
  if (!connection) return FALSE;
  LONG state = adStateClosed;
  CheckConnection(connection->get_State(&state), connection.get());
  return state != adStateClosed ? TRUE : FALSE;
}

void CADODataBase::CloseConnection() {
  if (IsConnectionOpen()) CheckConnection(connection->Close(), connection.get());
}

BOOL CADODataBase::ExecuteStatement(const char* sql) {
  recordsAffected = 0;
  dbaccess::CVariant count;
  try {
    if (!connection) RaiseError(E_POINTER);
    CheckConnection(connection->put_CursorLocation(adUseClient), connection.get());
    dbaccess::CBstr text(sql);
    dbaccess::CComPtr<ADORecordset> unread;  // released without being read
    CheckConnection(connection->Execute(text.get(), &count, adExecuteNoRecords, unread.out()),
                    connection.get());
    const VARIANT& value = count.get();
    switch (value.vt) {
      case VT_I4:
      case VT_INT:
        recordsAffected = value.lVal;
        break;
      case VT_I2:
        recordsAffected = value.iVal;
        break;
      case VT_UI1:
        recordsAffected = value.bVal;
        break;
      default:
        recordsAffected = 0;
        break;
    }
    return TRUE;
  } catch (const PlatformError& error) {
    ReportConnectionError(error);
    return FALSE;
  }
}

BOOL CADODataBase::BeginTransaction() {
  try {
    if (!connection) RaiseError(E_POINTER);
    LONG level = 0;
    CheckConnection(connection->BeginTrans(&level), connection.get());
    return TRUE;
  } catch (const PlatformError& error) {
    ReportConnectionError(error);
    return FALSE;
  }
}

BOOL CADODataBase::CommitTransaction() {
  try {
    if (!connection) RaiseError(E_POINTER);
    CheckConnection(connection->CommitTrans(), connection.get());
    return TRUE;
  } catch (const PlatformError& error) {
    ReportConnectionError(error);
    return FALSE;
  }
}

BOOL CADODataBase::RollbackTransaction() {
  try {
    if (!connection) RaiseError(E_POINTER);
    CheckConnection(connection->RollbackTrans(), connection.get());
    return TRUE;
  } catch (const PlatformError& error) {
    ReportConnectionError(error);
    return FALSE;
  }
}

void CADODataBase::ReportConnectionError(const PlatformError& error) {
  const std::string block = dbaccess::FormatErrorBlock("CADODataBase Error", error);
  lastErrorDescription = error.Description();
  // A server's password never shows.
  lastErrorText = "Connection String = " + MaskConnectionPassword(connectionString) + "\n" + block;
  lastErrorCode = static_cast<ULONG>(error.Error());
}
