// Helpers for the suites of the data-access objects: counted references, connections and
// recordsets made the way the access layer makes them, field reads and writes, and the thread's
// error information.
#ifndef ZEMA_TESTS_SUPPORT_ADOTESTOBJECTS_H
#define ZEMA_TESTS_SUPPORT_ADOTESTOBJECTS_H

#include <string>

#include "oleauto.h"
#include "platform/ado/ado.h"

namespace adotest {

// Holds one reference and releases it.
template <class T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Reset();
      p_ = other.p_;
      other.p_ = nullptr;
    }
    return *this;
  }
  void Reset() {
    if (p_ != nullptr) p_->Release();
    p_ = nullptr;
  }
  T** Out() {
    Reset();
    return &p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

// A BSTR owned for the scope of a call.
class Bstr {
 public:
  explicit Bstr(const std::u16string& text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  explicit Bstr(const std::string& ascii) : Bstr(std::u16string(ascii.begin(), ascii.end())) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

inline std::string Narrow(const char16_t* text, size_t length) {
  std::string narrow;
  for (size_t i = 0; i < length; ++i) narrow.push_back(text[i] < 128 ? char(text[i]) : '?');
  return narrow;
}

inline std::string Narrow(BSTR text) {
  return text == nullptr ? "" : Narrow(text, SysStringLen(text));
}

// The thread's error information, taken (and cleared).
struct ErrorText {
  bool present = false;
  std::string source;
  std::string description;
};

inline ErrorText TakeError() {
  ErrorText error;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return error;
  error.present = true;
  BSTR text = nullptr;
  if (SUCCEEDED(info->GetSource(&text))) error.source = Narrow(text);
  SysFreeString(text);
  text = nullptr;
  if (SUCCEEDED(info->GetDescription(&text))) error.description = Narrow(text);
  SysFreeString(text);
  info->Release();
  return error;
}

inline VARIANT Missing() {
  VARIANT v;
  v.vt = VT_ERROR;
  v.scode = DISP_E_PARAMNOTFOUND;
  return v;
}

inline VARIANT I4(LONG value) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

inline VARIANT R8(double value) {
  VARIANT v;
  v.vt = VT_R8;
  v.dblVal = value;
  return v;
}

// A VARIANT owning a copy of text; the caller clears it.
inline VARIANT Text(const std::u16string& text) {
  VARIANT v;
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

inline std::string ConnectionString(const std::string& path) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path;
}

// A new Connection object, created as the access layer creates it.
inline Ref<ADOConnection> NewConnection() {
  RegisterAdoClasses();
  Ref<IUnknown> unknown;
  Ref<ADOConnection> connection;
  if (SUCCEEDED(CoCreateInstance(CLSID_Connection, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                                 reinterpret_cast<void**>(unknown.Out()))))
    unknown->QueryInterface(IID_Connection, reinterpret_cast<void**>(connection.Out()));
  return connection;
}

// Opens a connection string in a mode; *hr receives Open's result.
inline Ref<ADOConnection> Connect(const std::string& connectionString, ConnectModeEnum mode,
                                  HRESULT* hr) {
  Ref<ADOConnection> connection = NewConnection();
  if (!connection) {
    *hr = E_POINTER;
    return connection;
  }
  connection->put_Mode(mode);
  Bstr text(connectionString), empty(std::string{});
  *hr = connection->Open(text.get(), empty.get(), empty.get(), 0);
  return connection;
}

inline Ref<ADORecordset> NewRecordset() {
  RegisterAdoClasses();
  Ref<IUnknown> unknown;
  Ref<ADORecordset> recordset;
  if (SUCCEEDED(CoCreateInstance(CLSID_Recordset, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                                 reinterpret_cast<void**>(unknown.Out()))))
    unknown->QueryInterface(IID_Recordset, reinterpret_cast<void**>(recordset.Out()));
  return recordset;
}

// Opens source on connection the way the access layer does: a table (adCmdTable, keyset cursor)
// or a statement (adCmdUnknown, static cursor). *hr receives Open's result.
inline Ref<ADORecordset> OpenSource(ADOConnection* connection, const std::u16string& source,
                                    LONG options, HRESULT* hr) {
  Ref<ADORecordset> recordset = NewRecordset();
  recordset->put_CursorType(adOpenStatic);
  recordset->put_CursorLocation(adUseClient);
  VARIANT text = Text(source);
  VARIANT active;
  active.vt = VT_DISPATCH;
  active.pdispVal = connection;
  *hr = recordset->Open(text, active, options == adCmdTable ? adOpenKeyset : adOpenStatic,
                        adLockOptimistic, options);
  VariantClear(&text);
  return recordset;
}

inline Ref<ADOField> FieldOf(ADORecordset* recordset, VARIANT key, HRESULT* hr) {
  Ref<ADOFields> fields;
  Ref<ADOField> field;
  *hr = recordset->get_Fields(fields.Out());
  if (SUCCEEDED(*hr)) *hr = fields->get_Item(key, field.Out());
  return field;
}

// The value of a column of the current row; VT_ERROR holding the failure when it fails. The
// caller clears the result.
inline VARIANT ValueOf(ADORecordset* recordset, const std::u16string& name) {
  VARIANT key = Text(name);
  HRESULT hr;
  Ref<ADOField> field = FieldOf(recordset, key, &hr);
  VariantClear(&key);
  VARIANT value;
  VariantInit(&value);
  if (SUCCEEDED(hr)) hr = field->get_Value(&value);
  if (FAILED(hr)) {
    value.vt = VT_ERROR;
    value.scode = hr;
  }
  return value;
}

// Writes a column of the pending row; the result of Field.Value put.
inline HRESULT PutValue(ADORecordset* recordset, const std::u16string& name, VARIANT value) {
  VARIANT key = Text(name);
  HRESULT hr;
  Ref<ADOField> field = FieldOf(recordset, key, &hr);
  VariantClear(&key);
  if (SUCCEEDED(hr)) hr = field->put_Value(value);
  return hr;
}

inline bool AtEof(ADORecordset* recordset) {
  VARIANT_BOOL eof = VARIANT_FALSE;
  return SUCCEEDED(recordset->get_EOF(&eof)) && eof == VARIANT_TRUE;
}

}  // namespace adotest

#endif
