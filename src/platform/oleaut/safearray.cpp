// SAFEARRAY: one allocation holding the descriptor and, after it, the elements. Only
// one-dimensional arrays of bytes are made (the library's binary values); copy and destroy work
// on any array made here.
#include <stdlib.h>
#include <string.h>

#include "oleauto.h"

namespace {

constexpr USHORT kFeatureEmbedded = 0x0001;  // elements live in the same block as the descriptor

size_t DataOffset() {
  return (sizeof(SAFEARRAY) + alignof(max_align_t) - 1) / alignof(max_align_t) *
         alignof(max_align_t);
}

SAFEARRAY* Create(ULONG elementSize, LONG lLbound, ULONG cElements) {
  const size_t dataBytes = static_cast<size_t>(elementSize) * cElements;
  if (dataBytes > SIZE_MAX - DataOffset()) return nullptr;
  char* block = static_cast<char*>(calloc(1, DataOffset() + dataBytes));
  if (block == nullptr) return nullptr;
  SAFEARRAY* array = reinterpret_cast<SAFEARRAY*>(block);
  array->cDims = 1;
  array->fFeatures = kFeatureEmbedded;
  array->cbElements = elementSize;
  array->cLocks = 0;
  array->pvData = block + DataOffset();
  array->rgsabound[0].cElements = cElements;
  array->rgsabound[0].lLbound = lLbound;
  return array;
}

}  // namespace

extern "C" {

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
  if (vt != VT_UI1) return nullptr;
  return Create(1, lLbound, cElements);
}

HRESULT SafeArrayDestroy(SAFEARRAY* array) {
  if (array == nullptr) return S_OK;
  if (array->cLocks != 0) return DISP_E_ARRAYISLOCKED;
  free(array);
  return S_OK;
}

HRESULT SafeArrayCopy(SAFEARRAY* array, SAFEARRAY** copy) {
  if (copy == nullptr) return E_INVALIDARG;
  *copy = nullptr;
  if (array == nullptr) return S_OK;
  if (array->cDims != 1 || (array->fFeatures & kFeatureEmbedded) == 0) return E_INVALIDARG;
  const ULONG count = array->rgsabound[0].cElements;
  SAFEARRAY* result = Create(array->cbElements, array->rgsabound[0].lLbound, count);
  if (result == nullptr) return E_OUTOFMEMORY;
  if (count != 0)
    memcpy(result->pvData, array->pvData, static_cast<size_t>(array->cbElements) * count);
  *copy = result;
  return S_OK;
}

}  // extern "C"
