// Which VARTYPE codes a VARIANT may carry here, shared by the VARIANT functions.
#ifndef ZEMA_PLATFORM_OLEAUT_VARIANT_TYPES_H
#define ZEMA_PLATFORM_OLEAUT_VARIANT_TYPES_H

#include "oleauto.h"

namespace platform {

// True for the types a VARIANT holds by value: the scalars, text, interfaces and decimals.
inline bool IsScalarVariantType(VARTYPE vt) {
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
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

// True for every type code VariantClear and VariantCopy accept: the scalars, byte arrays, and a
// reference to a scalar, a VARIANT or a byte array. VT_RECORD is not supported.
inline bool IsValidVariantType(VARTYPE vt) {
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || base == (VT_ARRAY | VT_UI1) ||
           (IsScalarVariantType(base) && base != VT_EMPTY && base != VT_NULL);
  }
  return vt == (VT_ARRAY | VT_UI1) || IsScalarVariantType(vt);
}

}  // namespace platform

#endif
