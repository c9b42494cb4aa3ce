// Command: runs a saved query (an SQLite view), a table or a statement on a Connection.
#include "platform/ado/ado_objects.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {

HRESULT CommandImpl::Create(IUnknown** object) {
  if (object == nullptr) return E_POINTER;
  *object = static_cast<ADOCommand*>(new CommandImpl);
  return S_OK;
}

namespace {
const IID* const kCommandInterfaces[] = {&IID_Command, &IID_Command15, nullptr};
}  // namespace

CommandImpl::CommandImpl() : ComObject(kCommandInterfaces) {}

CommandImpl::~CommandImpl() {
  if (activeConnection != nullptr) activeConnection->Release();
}

HRESULT CommandImpl::putref_ActiveConnection(ADOConnection* connection) {
  if (HRESULT hr = FaultCheck("Command.ActiveConnection.putref"))
    return FailInjected(hr, kCommandSite, "Command.ActiveConnection.putref");
  ConnectionImpl* impl = nullptr;
  if (connection != nullptr) {
    impl = ConnectionImpl::FromUnknown(connection);
    if (impl == nullptr)
      return Fail(adErrInvalidConnection, kCommandSite,
                  "The connection cannot be used to perform this operation.");
  }
  if (activeConnection != nullptr) activeConnection->Release();
  activeConnection = impl;
  return S_OK;
}

HRESULT CommandImpl::put_CommandText(BSTR text) {
  if (HRESULT hr = FaultCheck("Command.CommandText.put"))
    return FailInjected(hr, kCommandSite, "Command.CommandText.put");
  commandText = BstrToUtf8(text);
  return S_OK;
}

HRESULT CommandImpl::put_CommandType(CommandTypeEnum type) {
  if (HRESULT hr = FaultCheck("Command.CommandType.put"))
    return FailInjected(hr, kCommandSite, "Command.CommandType.put");
  switch (type) {
    case adCmdText:
    case adCmdTable:
    case adCmdStoredProc:
    case adCmdUnknown:
    case adCmdUnspecified:
      commandType = type;
      return S_OK;
    default:
      return Fail(E_INVALIDARG, kCommandSite, "Unknown command type.");
  }
}

HRESULT CommandImpl::Execute(VARIANT* recordsAffected, VARIANT*, LONG, ADORecordset** recordset) {
  if (recordset != nullptr) *recordset = nullptr;
  if (HRESULT hr = FaultCheck("Command.Execute"))
    return FailInjected(hr, kCommandSite, "Command.Execute");
  if (activeConnection == nullptr || !activeConnection->IsOpen())
    return Fail(adErrInvalidConnection, kCommandSite,
                "The command has no open connection to run on.");
  if (commandText.empty()) return Fail(E_FAIL, kCommandSite, "The command text is empty.");
  RecordsetImpl* result = RecordsetImpl::New();
  const HRESULT hr = result->OpenOn(activeConnection, commandText,
                                    commandType == adCmdUnspecified ? adCmdUnknown : commandType);
  if (FAILED(hr)) {
    result->Release();
    return hr;
  }
  if (recordsAffected != nullptr) {
    VariantClear(recordsAffected);
    recordsAffected->vt = VT_I4;
    recordsAffected->lVal = -1;
  }
  if (recordset != nullptr)
    *recordset = result;
  else
    result->Release();
  return S_OK;
}

}  // namespace ado
}  // namespace platform
