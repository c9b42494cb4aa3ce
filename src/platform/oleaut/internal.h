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

// True for the types a VARIANT holds by value: the scalars, text, interfaces and decimals.
bool IsScalarVariantType(VARTYPE vt);
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

// Releases what v owns and sets VT_EMPTY. DISP_E_BADVARTYPE (v unchanged) for an unknown type.
HRESULT ClearVariant(VARIANT* v);
// Copies *src into *dest without looking at what *dest held: text and arrays duplicated,
// interfaces AddRef'd. On failure *dest is VT_EMPTY.
// REQUIRES: dest != src.
HRESULT CopyVariant(VARIANT* dest, const VARIANT* src);

}  // namespace platform

#endif
