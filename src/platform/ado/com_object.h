// The COM object base shared by the five data-access classes (Connection, Recordset, Command,
// Fields, Field): the reference count, QueryInterface and ISupportErrorInfo.
//
// An object answers QueryInterface for IUnknown, IDispatch and each identifier of its interface
// list with its data-access interface, and for IID_ISupportErrorInfo; anything else is
// E_NOINTERFACE with *object null. Failures of the interfaces in the list set the thread's
// error information (InterfaceSupportsErrorInfo gives S_OK for them, S_FALSE otherwise).
//
// An object starts with one reference, owned by its creator, and deletes itself when the last
// one is released. Reference counts are not atomic: an object is used by one thread at a time.
#ifndef ZEMA_PLATFORM_ADO_COM_OBJECT_H
#define ZEMA_PLATFORM_ADO_COM_OBJECT_H

#include "oleauto.h"
#include "platform/com/com.h"

namespace platform {
namespace ado {

template <class Interface>
class ComObject : public Interface, public ISupportErrorInfo {
 public:
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (iid == IID_IUnknown || iid == IID_IDispatch || Lists(iid)) {
      *object = static_cast<Interface*>(this);
    } else if (iid == IID_ISupportErrorInfo) {
      *object = static_cast<ISupportErrorInfo*>(this);
    } else {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override {
    const ULONG left = --references;
    if (left == 0) delete this;
    return left;
  }
  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override {
    return Lists(iid) ? S_OK : S_FALSE;
  }

 protected:
  // interfaces: the identifiers of the object's interface, ended by a null entry; static.
  explicit ComObject(const IID* const* interfaces) : interfaceIds(interfaces) {}
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  bool Lists(const IID& iid) const {
    for (const IID* const* listed = interfaceIds; *listed != nullptr; ++listed)
      if (**listed == iid) return true;
    return false;
  }

  const IID* const* interfaceIds;
  ULONG references = 1;
};

}  // namespace ado
}  // namespace platform

#endif
