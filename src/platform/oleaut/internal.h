// What the OLE Automation functions share among themselves: the accepted type codes and the
// unchecked building blocks of the public calls.
//
// The public functions each pass the fault seam once under their own name; these helpers do not,
// so a conversion that copies text internally is not also reported as a SysAllocString call.
#ifndef ZEMA_PLATFORM_OLEAUT_INTERNAL_H
#define ZEMA_PLATFORM_OLEAUT_INTERNAL_H

#include <string>
#include <string_view>

#include "oleauto.h"

namespace platform {

// True for every type code VariantClear and VariantCopy accept: the scalars, byte arrays, and a
// reference to a scalar, a VARIANT or a byte array. VT_RECORD is not supported.
bool IsValidVariantType(VARTYPE vt);

// A new BSTR of len characters copied from text (uninitialised when text is null); null when
// out of memory or when len does not fit the length prefix.
BSTR AllocBstr(const OLECHAR* text, UINT len);
// A new BSTR holding ASCII text widened character by character; null when out of memory.
BSTR AllocBstrFromAscii(std::string_view text);
// The text of a BSTR narrowed to ASCII (a null BSTR is ""); false when it holds a character
// outside ASCII or a zero character, which no number or date text contains.
bool BstrToAscii(BSTR text, std::string* ascii);

// True for the types whose value is all a VARIANT holds: nothing to release when it is cleared,
// nothing to duplicate when it is copied (VT_EMPTY and VT_NULL included; not text, interfaces,
// arrays or references).
inline bool IsPlainValueType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_DECIMAL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
      return true;
    default:
      return false;
  }
}

// True for the types a VARIANT holds by value: the plain values above, text and interfaces.
inline bool IsScalarVariantType(VARTYPE vt) {
  return IsPlainValueType(vt) || vt == VT_BSTR || vt == VT_DISPATCH || vt == VT_UNKNOWN;
}

// Releases what v owns and sets VT_EMPTY. DISP_E_BADVARTYPE (v unchanged) for an unknown type.
HRESULT ClearVariant(VARIANT* v);
// Copies *src into *dest without looking at what *dest held: text and arrays duplicated,
// interfaces AddRef'd. On failure *dest is VT_EMPTY.
// REQUIRES: dest != src.
HRESULT CopyVariant(VARIANT* dest, const VARIANT* src);

}  // namespace platform

#endif
