// VariantInit, VariantClear and VariantCopy: the ownership rules of a VARIANT's payload.
#include <string.h>

#include "oleauto.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/internal.h"

namespace platform {

bool IsValidVariantType(VARTYPE vt) {
  if (vt & VT_BYREF) {
    const VARTYPE base = vt & ~VT_BYREF;
    return base == VT_VARIANT || base == (VT_ARRAY | VT_UI1) ||
           (IsScalarVariantType(base) && base != VT_EMPTY && base != VT_NULL);
  }
  return vt == (VT_ARRAY | VT_UI1) || IsScalarVariantType(vt);
}

HRESULT ClearVariant(VARIANT* v) {
  if (!IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
  switch (v->vt) {
    case VT_BSTR:
      SysFreeString(v->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (v->punkVal != nullptr) v->punkVal->Release();
      break;
    case VT_ARRAY | VT_UI1:
      if (HRESULT hr = SafeArrayDestroy(v->parray); FAILED(hr)) return hr;
      break;
    default:  // values and references own nothing
      break;
  }
  v->vt = VT_EMPTY;
  return S_OK;
}

HRESULT CopyVariant(VARIANT* dest, const VARIANT* src) {
  dest->vt = VT_EMPTY;
  if (!IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy;
  memcpy(&copy, src, sizeof copy);  // the whole 16 bytes: a DECIMAL overlays them all
  switch (src->vt) {
    case VT_BSTR:
      if (src->bstrVal != nullptr) {
        copy.bstrVal = AllocBstr(src->bstrVal, SysStringLen(src->bstrVal));
        if (copy.bstrVal == nullptr) return E_OUTOFMEMORY;
      }
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (src->punkVal != nullptr) src->punkVal->AddRef();
      break;
    case VT_ARRAY | VT_UI1:
      if (HRESULT hr = SafeArrayCopy(src->parray, &copy.parray); FAILED(hr)) return hr;
      break;
    default:
      break;
  }
  memcpy(dest, &copy, sizeof copy);
  return S_OK;
}

}  // namespace platform

extern "C" {

void VariantInit(VARIANTARG* v) {
  if (v != nullptr) v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* v) {
  if (HRESULT hr = platform::FaultCheck("VariantClear")) return hr;
  if (v == nullptr) return E_INVALIDARG;
  if (platform::IsPlainValueType(v->vt)) {  // owns nothing
    v->vt = VT_EMPTY;
    return S_OK;
  }
  return platform::ClearVariant(v);
}

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  if (HRESULT hr = platform::FaultCheck("VariantCopy")) return hr;
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return platform::IsValidVariantType(src->vt) ? S_OK : DISP_E_BADVARTYPE;
  // A value that owns nothing over a destination that owns nothing: the 16 bytes.
  if (platform::IsPlainValueType(src->vt) && platform::IsPlainValueType(dest->vt)) {
    memcpy(dest, src, sizeof *dest);
    return S_OK;
  }
  if (HRESULT hr = platform::ClearVariant(dest); FAILED(hr)) return hr;
  return platform::CopyVariant(dest, src);
}

}  // extern "C"
