// VariantInit, VariantClear and VariantCopy: the ownership rules of a VARIANT's payload.
#include <string.h>

#include "oleauto.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/variant_types.h"

extern "C" {

void VariantInit(VARIANTARG* v) {
  if (v != nullptr) v->vt = VT_EMPTY;
}

HRESULT VariantClear(VARIANTARG* v) {
  if (HRESULT hr = platform::FaultCheck("VariantClear")) return hr;
  if (v == nullptr) return E_INVALIDARG;
  if (!platform::IsValidVariantType(v->vt)) return DISP_E_BADVARTYPE;
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

HRESULT VariantCopy(VARIANTARG* dest, const VARIANTARG* src) {
  if (HRESULT hr = platform::FaultCheck("VariantCopy")) return hr;
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (dest == src) return platform::IsValidVariantType(src->vt) ? S_OK : DISP_E_BADVARTYPE;
  if (HRESULT hr = VariantClear(dest); FAILED(hr)) return hr;
  if (!platform::IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  VARIANT copy;
  memcpy(&copy, src, sizeof copy);  // the whole 16 bytes: a DECIMAL overlays them all
  switch (src->vt) {
    case VT_BSTR:
      if (src->bstrVal != nullptr) {
        copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
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

}  // extern "C"
