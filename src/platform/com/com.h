// COM stand-in: thread initialisation, object creation over a class registry, and the error
// information of the current thread.
#ifndef ZEMA_PLATFORM_COM_H
#define ZEMA_PLATFORM_COM_H

#include "oleauto.h"

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_ALL_LOCAL 0x7

#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)

extern const IID IID_IUnknown;           // {00000000-0000-0000-C000-000000000046}
extern const IID IID_IDispatch;          // {00020400-0000-0000-C000-000000000046}
extern const IID IID_IErrorInfo;         // {1CF2B120-547D-101B-8E65-08002B2BD119}
extern const IID IID_ISupportErrorInfo;  // {DF0B3D60-548F-101B-8E65-08002B2BD119}

// Answers whether an object sets the thread's error information for failures of an interface.
struct ISupportErrorInfo : IUnknown {
  // S_OK when failures of the interface iid set the error information, S_FALSE otherwise.
  virtual HRESULT InterfaceSupportsErrorInfo(const IID& iid) = 0;

 protected:
  ~ISupportErrorInfo() = default;
};

// Initialises COM on the calling thread: S_OK the first time, S_FALSE when already initialised.
// Each call must be balanced by CoUninitialize on the same thread.
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
// The calling thread's initialisation count (for tests: balanced means 0 after the work).
int CoInitializeCount();

// Creates an object of a registered class. clsctx must include CLSCTX_INPROC_SERVER; outer must
// be null. *object receives the interface iid with one reference, or null on failure
// (REGDB_E_CLASSNOTREG for an unknown class or a context without CLSCTX_INPROC_SERVER,
// CO_E_NOTINITIALIZED when the calling thread has not called CoInitialize, E_NOINTERFACE, or the
// failure the test seam set).
HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, DWORD clsctx, const IID& iid,
                         void** object);
// Puts a created object into its running state; the stand-in's objects always are.
HRESULT OleRun(IUnknown* object);

// The class registry: a factory returns a new object with one reference through *object.
using ClassFactory = HRESULT (*)(IUnknown** object);
void CoRegisterClass(const CLSID& clsid, ClassFactory factory);

// The calling thread's error information. SetErrorInfo replaces it (null clears it) and takes a
// reference; GetErrorInfo hands the current one to the caller (one reference) and clears it,
// returning S_FALSE and null when there is none.
HRESULT SetErrorInfo(ULONG reserved, IErrorInfo* errorInfo);
HRESULT GetErrorInfo(ULONG reserved, IErrorInfo** errorInfo);
// A new error-information object with the given texts (either may be null), one reference.
IErrorInfo* CreateErrorInfoObject(const GUID& guid, const OLECHAR* source,
                                  const OLECHAR* description);

#endif
