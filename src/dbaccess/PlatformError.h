// Turning failing platform calls into PlatformError, and the reports the access layer keeps.
#ifndef ZEMA_DBACCESS_PLATFORMERROR_H
#define ZEMA_DBACCESS_PLATFORMERROR_H

#include <string>

#include "ZEMATagAcs.h"
#include "platform/ado/ado.h"
#include "platform/com/com.h"

namespace dbaccess {

// Raises a PlatformError when hr is negative. The error information is taken from the thread
// (GetErrorInfo) only when object answers ISupportErrorInfo and reports S_OK for iid.
void CheckResult(HRESULT hr, IUnknown* object, const IID& iid);

// Raises a PlatformError without error information (errors the layer itself detects:
// E_POINTER for a missing object, E_OUTOFMEMORY, a failing VARIANT copy, a failing conversion).
[[noreturn]] void RaiseError(HRESULT hr);

// The message of a code: the system text without its trailing line feed (and the carriage
// return before it), else "IDispatch error #%d" for 0x80040200..0x8004FFFF, else
// "Unknown error 0x%0lX".
std::string CodeMessage(HRESULT hr);

// The five-line block of a report: heading, then tab-indented "Code = ", "Code meaning = ",
// "Source = ", "Description = " lines, each ending with a line feed. A missing source or
// description leaves its line empty after "= ".
std::string FormatErrorBlock(const char* heading, const PlatformError& error);

// Narrow text of the process code page to a new BSTR and back. Raise PlatformError
// (0x80070000 | last error, or E_OUTOFMEMORY) when the conversion fails.
BSTR ToBstr(const char* text);
std::string FromWide(const OLECHAR* text);

// Owns one BSTR.
class CBstr {
 public:
  CBstr() = default;
  explicit CBstr(BSTR owned) : text(owned) {}
  explicit CBstr(const char* narrow) : text(ToBstr(narrow)) {}
  ~CBstr() { SysFreeString(text); }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  BSTR get() const { return text; }
  BSTR* out() {
    SysFreeString(text);
    text = nullptr;
    return &text;
  }

 private:
  BSTR text = nullptr;
};

// Owns one VARIANT.
class CVariant {
 public:
  CVariant() { VariantInit(&value); }
  ~CVariant() { VariantClear(&value); }
  CVariant(const CVariant&) = delete;
  CVariant& operator=(const CVariant&) = delete;
  VARIANT* operator&() { return &value; }
  VARIANT& get() { return value; }

 private:
  VARIANT value;
};

// Holds one reference to an interface.
template <class T>
class CComPtr {
 public:
  CComPtr() = default;
  ~CComPtr() { reset(); }
  CComPtr(const CComPtr& other) : object(other.object) {
    if (object) object->AddRef();
  }
  CComPtr& operator=(const CComPtr& other) {
    if (other.object) other.object->AddRef();
    reset();
    object = other.object;
    return *this;
  }
  T* operator->() const { return object; }
  T* get() const { return object; }
  explicit operator bool() const { return object != nullptr; }
  // Releases the held reference and hands out the slot to receive a new one.
  T** out() {
    reset();
    return &object;
  }
  void reset() {
    if (object) {
      object->Release();
      object = nullptr;
    }
  }

 private:
  T* object = nullptr;
};

// Creates one data-access object and asks it for iid; *object stays null on any failure. The
// data-access classes are registered with COM first (once per process).
template <class T>
void CreateObject(const CLSID& clsid, const IID& iid, CComPtr<T>& object) {
  RegisterAdoClasses();
  IUnknown* unknown = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                              reinterpret_cast<void**>(&unknown))) ||
      unknown == nullptr)
    return;
  if (SUCCEEDED(OleRun(unknown)) &&
      FAILED(unknown->QueryInterface(iid, reinterpret_cast<void**>(object.out()))))
    object.reset();
  unknown->Release();
}

}  // namespace dbaccess

#endif
