// OLE Automation values as ZEMATagAcs exchanges them with its callers.
//
// Field values travel in VARIANTs: a 16-bit type code (VT_...) and an 8-byte payload, 16 bytes in
// all on every build. A caller owns every VARIANT the library copies out to it and must release it
// with VariantClear; text travels as BSTR, a length-prefixed, zero-terminated UTF-16 string that
// is allocated and freed only with the Sys... functions below.
//
// The functions follow the rules of OLE Automation: VariantCopy and VariantChangeType
// clear their destination first, text is duplicated, interface payloads are reference-counted.
// They are safe to call from any thread on distinct VARIANTs.
#ifndef ZEMATAGACS_OLEAUTO_H
#define ZEMATAGACS_OLEAUTO_H

#include <stddef.h>
#include <stdint.h>

#if defined(ZEMATAGACS_BUILDING)
#define ZEMATAGACS_API __attribute__((visibility("default")))
#else
#define ZEMATAGACS_API
#endif

typedef int32_t HRESULT;
typedef int32_t SCODE;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint8_t BYTE;
typedef char CHAR;
typedef int32_t INT;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef float FLOAT;
typedef double DOUBLE;
typedef uint16_t VARTYPE;
typedef int16_t VARIANT_BOOL;
typedef char16_t OLECHAR;
typedef OLECHAR* BSTR;
typedef double DATE;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Result codes. Negative values are failures.
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_ABORT ((HRESULT)0x80004004L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_HANDLE ((HRESULT)0x80070006L)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define DISP_E_PARAMNOTFOUND ((HRESULT)0x80020004L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000AL)
#define DISP_E_DIVBYZERO ((HRESULT)0x80020012L)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)

// VARIANT type codes.
enum VARENUM {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_VARIANT = 12,
  VT_UNKNOWN = 13,
  VT_DECIMAL = 14,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_VOID = 24,
  VT_HRESULT = 25,
  VT_RECORD = 36,
  VT_ARRAY = 0x2000,
  VT_BYREF = 0x4000,
  VT_TYPEMASK = 0x0fff
};

// A globally unique identifier of a class or an interface.
typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
typedef GUID CLSID;

#ifdef __cplusplus
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// A reference-counted object. A VARIANT of type VT_UNKNOWN or VT_DISPATCH holds one reference.
struct IUnknown {
  virtual HRESULT QueryInterface(const IID& iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

// An object that can be reached through late binding; only its reference counting is used here.
struct IDispatch : IUnknown {
 protected:
  ~IDispatch() = default;
};

// The description of an error: where it came from and what happened.
struct IErrorInfo : IUnknown {
  virtual HRESULT GetGUID(GUID* guid) = 0;
  // *source receives a new BSTR (possibly null) that the caller frees.
  virtual HRESULT GetSource(BSTR* source) = 0;
  // *description receives a new BSTR (possibly null) that the caller frees.
  virtual HRESULT GetDescription(BSTR* description) = 0;

 protected:
  ~IErrorInfo() = default;
};
#else
typedef struct IUnknown IUnknown;
typedef struct IDispatch IDispatch;
typedef struct IErrorInfo IErrorInfo;
#endif

// Currency: a signed 64-bit integer scaled by 10,000.
typedef union CY {
  struct {
    uint32_t Lo;
    int32_t Hi;
  };
  LONGLONG int64;
} CY;

// Decimal: (Hi32 * 2^64 + Lo64) / 10^scale, negative when sign is DECIMAL_NEG.
typedef struct DECIMAL {
  USHORT wReserved;
  union {
    struct {
      BYTE scale;
      BYTE sign;
    };
    USHORT signscale;
  };
  ULONG Hi32;
  union {
    struct {
      ULONG Lo32;
      ULONG Mid32;
    };
    ULONGLONG Lo64;
  };
} DECIMAL;
#define DECIMAL_NEG ((BYTE)0x80)

// A one-dimensional array; the library hands out byte arrays (VT_ARRAY | VT_UI1) for binary
// values and nothing else.
typedef struct SAFEARRAYBOUND {
  ULONG cElements;
  LONG lLbound;
} SAFEARRAYBOUND;

typedef struct SAFEARRAY {
  USHORT cDims;
  USHORT fFeatures;
  ULONG cbElements;
  ULONG cLocks;
  void* pvData;
  SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY;

typedef struct VARIANT {
  union {
    struct {
      VARTYPE vt;
      WORD wReserved1;
      WORD wReserved2;
      WORD wReserved3;
      union {
        LONGLONG llVal;
        LONG lVal;
        BYTE bVal;
        SHORT iVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        SAFEARRAY* parray;
        CHAR cVal;
        USHORT uiVal;
        ULONG ulVal;
        ULONGLONG ullVal;
        INT intVal;
        UINT uintVal;
        void* byref;
      };
    };
    DECIMAL decVal;
  };
} VARIANT;
typedef VARIANT VARIANTARG;

#ifdef __cplusplus
static_assert(sizeof(VARIANT) == 16, "a VARIANT is 16 bytes on every build");
static_assert(sizeof(DECIMAL) == 16, "a DECIMAL overlays the whole VARIANT");
static_assert(sizeof(CY) == 8, "a CY is 8 bytes");
extern "C" {
#endif

// Sets vt to VT_EMPTY; the rest is not looked at.
ZEMATAGACS_API void VariantInit(VARIANTARG* v);
// Frees the payload (BSTR, array) or releases the interface, then sets VT_EMPTY.
// By-reference values are not released. DISP_E_BADVARTYPE for an unknown type (left unchanged).
ZEMATAGACS_API HRESULT VariantClear(VARIANTARG* v);
// Clears *dest, then copies *src into it: text and arrays duplicated, interfaces AddRef'd.
// On failure *dest is left VT_EMPTY.
ZEMATAGACS_API HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src);
// Converts *src to type vt into *dest (dest may equal src). Only flags 0 is supported.
// DISP_E_TYPEMISMATCH when the types do not convert, DISP_E_OVERFLOW when the value does not
// fit; on failure *dest is left as it was. Reals round to integers to nearest, ties to even.
ZEMATAGACS_API HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags,
                                         VARTYPE vt);

// A new BSTR holding a copy of the zero-terminated text; null for a null text or out of memory.
ZEMATAGACS_API BSTR SysAllocString(const OLECHAR* text);
// A new BSTR of len characters copied from text (uninitialised when text is null), zero-terminated.
ZEMATAGACS_API BSTR SysAllocStringLen(const OLECHAR* text, UINT len);
// Frees a BSTR; a null BSTR is ignored.
ZEMATAGACS_API void SysFreeString(BSTR text);
// The number of characters of a BSTR (0 for null).
ZEMATAGACS_API UINT SysStringLen(BSTR text);

// A new one-dimensional array of cElements elements of type vt (only VT_UI1 is supported).
ZEMATAGACS_API SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements);
ZEMATAGACS_API HRESULT SafeArrayDestroy(SAFEARRAY* array);
ZEMATAGACS_API HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy);

#ifdef __cplusplus
}
#endif

#endif
