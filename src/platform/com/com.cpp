// COM stand-in: per-thread initialisation, the class registry behind CoCreateInstance, and the
// per-thread error information.
#include "platform/com/com.h"

#include <pthread.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>

#include "platform/faults/faults.h"

const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IErrorInfo = {
    0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
const IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};

namespace {

struct GuidLess {
  bool operator()(const GUID& a, const GUID& b) const {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    for (int i = 0; i < 8; ++i)
      if (a.Data4[i] != b.Data4[i]) return a.Data4[i] < b.Data4[i];
    return false;
  }
};

struct ClassRegistry {
  std::mutex mutex;
  std::map<CLSID, ClassFactory, GuidLess> factories;
};

ClassRegistry& Registry() {
  static ClassRegistry* registry = new ClassRegistry;  // never destroyed: used during exit
  return *registry;
}

thread_local int initCount = 0;

// The thread's error information lives in a pthread key rather than a thread_local object: a
// thread_local with a destructor would keep the library loaded after dlclose for as long as the
// thread that touched it runs. A thread that ends releases its error information; deleting the
// key when the library is unloaded leaves the values of threads still running unreleased.
class ErrorInfoSlot {
 public:
  ErrorInfoSlot() { valid = pthread_key_create(&key, ReleaseAtThreadEnd) == 0; }
  // Exit may still set or take error information after this runs (a caller's static object
  // that closes a writer): the slot then stores nothing.
  ~ErrorInfoSlot() {
    if (valid) pthread_key_delete(key);
    valid = false;
  }
  ErrorInfoSlot(const ErrorInfoSlot&) = delete;
  ErrorInfoSlot& operator=(const ErrorInfoSlot&) = delete;

  // Stores info as the calling thread's and returns the previous one (references move along).
  IErrorInfo* Exchange(IErrorInfo* info) {
    if (!valid) return info;  // no slot: nothing is ever stored
    IErrorInfo* previous = static_cast<IErrorInfo*>(pthread_getspecific(key));
    pthread_setspecific(key, info);
    return previous;
  }

 private:
  static void ReleaseAtThreadEnd(void* info) { static_cast<IErrorInfo*>(info)->Release(); }

  pthread_key_t key;
  bool valid;
};

ErrorInfoSlot& ThreadErrorInfo() {
  static ErrorInfoSlot slot;
  return slot;
}

class ErrorInfo final : public IErrorInfo {
 public:
  ErrorInfo(const GUID& guid, const OLECHAR* source, const OLECHAR* description)
      : errorGuid(guid), hasSource(source != nullptr), hasDescription(description != nullptr) {
    if (source != nullptr) sourceText = source;
    if (description != nullptr) descriptionText = description;
  }

  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IErrorInfo) {
      AddRef();
      *object = static_cast<IErrorInfo*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }

  HRESULT GetGUID(GUID* guid) override {
    if (guid == nullptr) return E_POINTER;
    *guid = errorGuid;
    return S_OK;
  }
  HRESULT GetSource(BSTR* source) override { return CopyOut(hasSource, sourceText, source); }
  HRESULT GetDescription(BSTR* description) override {
    return CopyOut(hasDescription, descriptionText, description);
  }

 private:
  static HRESULT CopyOut(bool has, const std::u16string& text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!has) return S_OK;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  std::atomic<ULONG> references{1};
  GUID errorGuid;
  bool hasSource;
  bool hasDescription;
  std::u16string sourceText;
  std::u16string descriptionText;
};

}  // namespace

HRESULT CoInitialize(void*) { return ++initCount == 1 ? S_OK : S_FALSE; }

void CoUninitialize() {
  if (initCount > 0) --initCount;
}

int CoInitializeCount() { return initCount; }

HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD clsctx, const IID& iid,
                         void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (initCount == 0) return CO_E_NOTINITIALIZED;
  if ((clsctx & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;

  if (platform::FaultSeamActive()) {
    if (HRESULT hr = platform::FaultCheckUntraced(platform::FaultNameCreateInstance(clsid));
        hr != S_OK)
      return hr;
  }
  ClassFactory factory = nullptr;
  {
    ClassRegistry& registry = Registry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto found = registry.factories.find(clsid);
    if (found == registry.factories.end()) return REGDB_E_CLASSNOTREG;
    factory = found->second;
  }
  IUnknown* created = nullptr;
  if (HRESULT hr = factory(&created); FAILED(hr)) return hr;
  if (created == nullptr) return E_UNEXPECTED;
  HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  if (FAILED(hr)) *object = nullptr;
  return hr;
}

HRESULT OleRun(IUnknown* object) { return object == nullptr ? E_INVALIDARG : S_OK; }

void CoRegisterClass(const CLSID& clsid, ClassFactory factory) {
  ClassRegistry& registry = Registry();
  std::lock_guard<std::mutex> lock(registry.mutex);
  if (factory == nullptr)
    registry.factories.erase(clsid);
  else
    registry.factories[clsid] = factory;
}

HRESULT SetErrorInfo(ULONG, IErrorInfo* errorInfo) {
  if (errorInfo != nullptr) errorInfo->AddRef();
  IErrorInfo* previous = ThreadErrorInfo().Exchange(errorInfo);
  if (previous != nullptr) previous->Release();
  return S_OK;
}

HRESULT GetErrorInfo(ULONG, IErrorInfo** errorInfo) {
  if (errorInfo == nullptr) return E_POINTER;
  *errorInfo = ThreadErrorInfo().Exchange(nullptr);
  return *errorInfo == nullptr ? S_FALSE : S_OK;
}

IErrorInfo* CreateErrorInfoObject(const GUID& guid, const OLECHAR* source,
                                  const OLECHAR* description) {
  return new ErrorInfo(guid, source, description);
}
