// VariantChangeType: conversions among the scalar types of a VARIANT.
//
// Rules beyond the contract in oleauto.h: those of OLE Automation with flags 0, except that
// text is read and written in the C locale and dates as ISO text, not in the user's locale.
// - VT_EMPTY converts to 0, "", false, DATE 0; VT_NULL converts only to VT_NULL and VT_EMPTY;
//   every type converts to VT_EMPTY (the result is empty).
// - Integer, real, currency, decimal, date and bool values convert among each other; each
//   conversion rounds once, to nearest with ties to even, and fails with DISP_E_OVERFLOW when
//   the rounded value does not fit the target. A bool is the integer -1 or 0, except that true
//   converts to an unsigned integer as all bits set (255 for VT_UI1); a
//   number converts to bool as -1 when it is not zero.
// - Reals become currency and decimals through the shortest decimal text that reads back as the
//   same real (0.1 is 0.1, not 0.1000000000000000055...).
// - Text: numbers are read and written in the C locale (see ParseExactNumber); a double is
//   written with 15 significant digits and a float with 7 ("0.1", "1E+20"), currency and
//   decimals exactly (a decimal keeps its scale: "1.50"), a bool as "-1" or "0", a DATE as
//   "YYYY-MM-DD HH:MM:SS" (".fff" added for non-zero milliseconds, the time always present).
//   Text converts to bool from "True"/"False" in any case, or from a number; to DATE from ISO
//   dates (DateFromText).
// - VT_ERROR converts only to itself; interfaces convert between VT_UNKNOWN and VT_DISPATCH
//   through QueryInterface (VT_EMPTY gives a null interface), never to values, since there is
//   no default property to call; a byte array converts only to itself.
// - A by-reference source is converted from the value it refers to.
#include <string.h>

#include <charconv>
#include <cmath>

#include "oleauto.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/decimal.h"
#include "platform/oleaut/exact_number.h"
#include "platform/oleaut/internal.h"
#include "platform/oleaut/numbers.h"

namespace platform {
namespace {

using int128 = __int128;

// What a source value is, for the purpose of converting it.
enum class Kind { kEmpty, kInteger, kReal, kCurrency, kDecimal, kText };

struct Source {
  Kind kind = Kind::kEmpty;
  VARTYPE vt = VT_EMPTY;
  int128 integer = 0;   // kInteger
  double real = 0;      // kReal (R4, R8, DATE)
  CY currency{};        // kCurrency
  DECIMAL decimal{};    // kDecimal
  BSTR text = nullptr;  // kText, borrowed
};

struct IntegerRange {
  int128 min;
  int128 max;
};

bool IntegerTargetRange(VARTYPE vt, IntegerRange* range) {
  switch (vt) {
    case VT_I1:
      *range = {INT8_MIN, INT8_MAX};
      return true;
    case VT_UI1:
      *range = {0, UINT8_MAX};
      return true;
    case VT_I2:
      *range = {INT16_MIN, INT16_MAX};
      return true;
    case VT_UI2:
      *range = {0, UINT16_MAX};
      return true;
    case VT_I4:
    case VT_INT:
      *range = {INT32_MIN, INT32_MAX};
      return true;
    case VT_UI4:
    case VT_UINT:
      *range = {0, UINT32_MAX};
      return true;
    case VT_I8:
      *range = {INT64_MIN, INT64_MAX};
      return true;
    case VT_UI8:
      *range = {0, static_cast<int128>(UINT64_MAX)};
      return true;
    default:
      return false;
  }
}

void StoreInteger(VARIANT* v, VARTYPE vt, int128 value) {
  switch (vt) {
    case VT_I1:
      v->cVal = static_cast<CHAR>(static_cast<int8_t>(value));
      break;
    case VT_UI1:
      v->bVal = static_cast<BYTE>(value);
      break;
    case VT_I2:
      v->iVal = static_cast<SHORT>(value);
      break;
    case VT_UI2:
      v->uiVal = static_cast<USHORT>(value);
      break;
    case VT_I4:
      v->lVal = static_cast<LONG>(value);
      break;
    case VT_INT:
      v->intVal = static_cast<INT>(value);
      break;
    case VT_UI4:
      v->ulVal = static_cast<ULONG>(value);
      break;
    case VT_UINT:
      v->uintVal = static_cast<UINT>(value);
      break;
    case VT_I8:
      v->llVal = static_cast<LONGLONG>(value);
      break;
    case VT_UI8:
      v->ullVal = static_cast<ULONGLONG>(value);
      break;
    default:
      break;
  }
  v->vt = vt;
}

// Reads a by-value source into a Source. DISP_E_TYPEMISMATCH for types that are not numbers or
// text (handled before this is reached).
HRESULT ReadSource(const VARIANT& v, Source* s) {
  s->vt = v.vt;
  switch (v.vt) {
    case VT_EMPTY:
      s->kind = Kind::kEmpty;
      return S_OK;
    case VT_I1:
      s->kind = Kind::kInteger;
      s->integer = static_cast<int8_t>(v.cVal);
      return S_OK;
    case VT_UI1:
      s->kind = Kind::kInteger;
      s->integer = v.bVal;
      return S_OK;
    case VT_I2:
      s->kind = Kind::kInteger;
      s->integer = v.iVal;
      return S_OK;
    case VT_UI2:
      s->kind = Kind::kInteger;
      s->integer = v.uiVal;
      return S_OK;
    case VT_I4:
      s->kind = Kind::kInteger;
      s->integer = v.lVal;
      return S_OK;
    case VT_INT:
      s->kind = Kind::kInteger;
      s->integer = v.intVal;
      return S_OK;
    case VT_UI4:
      s->kind = Kind::kInteger;
      s->integer = v.ulVal;
      return S_OK;
    case VT_UINT:
      s->kind = Kind::kInteger;
      s->integer = v.uintVal;
      return S_OK;
    case VT_I8:
      s->kind = Kind::kInteger;
      s->integer = v.llVal;
      return S_OK;
    case VT_UI8:
      s->kind = Kind::kInteger;
      s->integer = v.ullVal;
      return S_OK;
    case VT_BOOL:
      s->kind = Kind::kInteger;
      s->integer = v.boolVal ? -1 : 0;
      return S_OK;
    case VT_R4:
      s->kind = Kind::kReal;
      s->real = v.fltVal;
      return S_OK;
    case VT_R8:
      s->kind = Kind::kReal;
      s->real = v.dblVal;
      return S_OK;
    case VT_DATE:
      s->kind = Kind::kReal;
      s->real = v.date;
      return S_OK;
    case VT_CY:
      s->kind = Kind::kCurrency;
      s->currency = v.cyVal;
      return S_OK;
    case VT_DECIMAL:
      if (!IsValidDecimal(v.decVal)) return E_INVALIDARG;
      s->kind = Kind::kDecimal;
      s->decimal = v.decVal;
      return S_OK;
    case VT_BSTR:
      s->kind = Kind::kText;
      s->text = v.bstrVal;
      return S_OK;
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

// The exact value of a number source, or the parsed number of a text.
HRESULT SourceToExact(const Source& s, ExactNumber* number) {
  switch (s.kind) {
    case Kind::kEmpty:
      *number = ExactNumber();
      return S_OK;
    case Kind::kInteger: {
      const bool negative = s.integer < 0;
      *number = ExactFromScaled(
          negative, negative ? -static_cast<uint128>(s.integer) : static_cast<uint128>(s.integer),
          0);
      return S_OK;
    }
    case Kind::kReal:
      if (!std::isfinite(s.real)) return DISP_E_OVERFLOW;
      *number = ExactFromDouble(s.real);
      return S_OK;
    case Kind::kCurrency:
      *number = CyToExact(s.currency);
      return S_OK;
    case Kind::kDecimal:
      *number = DecimalToExact(s.decimal);
      return S_OK;
    case Kind::kText: {
      std::string ascii;
      if (!BstrToAscii(s.text, &ascii) || !ParseExactNumber(ascii, number))
        return DISP_E_TYPEMISMATCH;
      return S_OK;
    }
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT ToInteger(const Source& s, VARTYPE vt, VARIANT* result) {
  IntegerRange range{0, 0};
  IntegerTargetRange(vt, &range);
  int128 value = 0;
  switch (s.kind) {
    case Kind::kEmpty:
      break;
    case Kind::kInteger:
      value = s.integer;
      // True converts to an unsigned type as all bits set.
      if (s.vt == VT_BOOL && value == -1 && range.min == 0) value = range.max;
      break;
    case Kind::kReal: {
      const double rounded = std::nearbyint(s.real);  // the default mode: to nearest, ties even
      // Every target range lies within +-2^64, so the comparison is exact.
      if (!(rounded > -18446744073709551616.0 && rounded < 18446744073709551616.0))
        return DISP_E_OVERFLOW;
      value = rounded < 0 ? -static_cast<int128>(static_cast<uint64_t>(-rounded))
                          : static_cast<int128>(static_cast<uint64_t>(rounded));
      break;
    }
    case Kind::kCurrency: {
      const int64_t cy = s.currency.int64;
      int64_t quotient = cy / kCyScale;
      const int64_t remainder = cy % kCyScale;  // same sign as cy
      const int64_t twice = 2 * (remainder < 0 ? -remainder : remainder);
      if (twice > kCyScale || (twice == kCyScale && (quotient & 1) != 0))
        quotient += cy < 0 ? -1 : 1;
      value = quotient;
      break;
    }
    case Kind::kDecimal:
    case Kind::kText: {
      ExactNumber number;
      if (HRESULT hr = SourceToExact(s, &number); FAILED(hr)) return hr;
      uint128 magnitude;
      if (!RoundExact(number, 0, static_cast<uint128>(UINT64_MAX), &magnitude))
        return DISP_E_OVERFLOW;
      value = number.negative ? -static_cast<int128>(magnitude) : static_cast<int128>(magnitude);
      break;
    }
  }
  if (value < range.min || value > range.max) return DISP_E_OVERFLOW;
  StoreInteger(result, vt, value);
  return S_OK;
}

bool EqualsIgnoringCase(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != word[i]) return false;
  }
  return true;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

HRESULT ToBool(const Source& s, VARIANT* result) {
  bool value = false;
  switch (s.kind) {
    case Kind::kEmpty:
      break;
    case Kind::kInteger:
      value = s.integer != 0;
      break;
    case Kind::kReal:
      value = s.real != 0;
      break;
    case Kind::kCurrency:
      value = s.currency.int64 != 0;
      break;
    case Kind::kDecimal:
      value = DecimalMagnitude(s.decimal) != 0;
      break;
    case Kind::kText: {
      std::string ascii;
      if (!BstrToAscii(s.text, &ascii)) return DISP_E_TYPEMISMATCH;
      const std::string_view word = TrimBlanks(ascii);
      if (EqualsIgnoringCase(word, "true")) {
        value = true;
      } else if (EqualsIgnoringCase(word, "false")) {
        value = false;
      } else {
        ExactNumber number;
        if (!ParseExactNumber(ascii, &number)) return DISP_E_TYPEMISMATCH;
        value = !number.digits.empty();
      }
      break;
    }
  }
  result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  result->vt = VT_BOOL;
  return S_OK;
}

// The double value of a number source (dates, currency and decimals included).
HRESULT SourceToDouble(const Source& s, double* value) {
  switch (s.kind) {
    case Kind::kEmpty:
      *value = 0;
      return S_OK;
    case Kind::kInteger:
      *value = static_cast<double>(s.integer);
      return S_OK;
    case Kind::kReal:
      *value = s.real;
      return S_OK;
    case Kind::kCurrency:
      // Below 2^53 both operands are exact and one division rounds correctly.
      if (s.currency.int64 > -(int64_t{1} << 53) && s.currency.int64 < (int64_t{1} << 53)) {
        *value = static_cast<double>(s.currency.int64) / kCyScale;
        return S_OK;
      }
      break;
    case Kind::kDecimal:
      if (DecimalMagnitude(s.decimal) < (uint128(1) << 53) && s.decimal.scale <= 22) {
        static const double kPowers[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                           1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
        const double magnitude = static_cast<double>(s.decimal.Lo64) / kPowers[s.decimal.scale];
        *value = s.decimal.sign == DECIMAL_NEG ? -magnitude : magnitude;
        return S_OK;
      }
      break;
    case Kind::kText:
      break;
  }
  ExactNumber number;
  if (HRESULT hr = SourceToExact(s, &number); FAILED(hr)) return hr;
  return ExactToDouble(number, value);
}

HRESULT ToDouble(const Source& s, VARIANT* result) {
  double value;
  if (HRESULT hr = SourceToDouble(s, &value); FAILED(hr)) return hr;
  result->dblVal = value;
  result->vt = VT_R8;
  return S_OK;
}

HRESULT ToFloat(const Source& s, VARIANT* result) {
  float value;
  if (s.kind == Kind::kInteger) {
    value = static_cast<float>(s.integer);  // rounds once
  } else if (s.kind == Kind::kReal || s.kind == Kind::kEmpty) {
    const double real = s.kind == Kind::kReal ? s.real : 0;
    value = static_cast<float>(real);
    if (std::isinf(value) && !std::isinf(real)) return DISP_E_OVERFLOW;
  } else {
    ExactNumber number;
    if (HRESULT hr = SourceToExact(s, &number); FAILED(hr)) return hr;
    if (HRESULT hr = ExactToFloat(number, &value); FAILED(hr)) return hr;
  }
  result->fltVal = value;
  result->vt = VT_R4;
  return S_OK;
}

HRESULT ToDate(const Source& s, VARIANT* result) {
  double value;
  if (s.kind == Kind::kText) {
    std::string ascii;
    if (!BstrToAscii(s.text, &ascii) || !DateFromText(ascii, &value)) return DISP_E_TYPEMISMATCH;
  } else {
    if (HRESULT hr = SourceToDouble(s, &value); FAILED(hr)) return hr;
    if (!IsDateInRange(value)) return DISP_E_OVERFLOW;
  }
  result->date = value;
  result->vt = VT_DATE;
  return S_OK;
}

HRESULT ToCurrency(const Source& s, VARIANT* result) {
  CY value;
  if (s.kind == Kind::kInteger) {
    if (s.integer < INT64_MIN / kCyScale || s.integer > INT64_MAX / kCyScale)
      return DISP_E_OVERFLOW;
    value.int64 = static_cast<int64_t>(s.integer) * kCyScale;
  } else {
    ExactNumber number;
    if (HRESULT hr = SourceToExact(s, &number); FAILED(hr)) return hr;
    if (HRESULT hr = ExactToCy(number, &value); FAILED(hr)) return hr;
  }
  result->cyVal = value;
  result->vt = VT_CY;
  return S_OK;
}

HRESULT ToDecimal(const Source& s, VARIANT* result) {
  ExactNumber number;
  if (HRESULT hr = SourceToExact(s, &number); FAILED(hr)) return hr;
  DECIMAL value;
  if (HRESULT hr = ExactToDecimal(number, &value); FAILED(hr)) return hr;
  result->decVal = value;  // the DECIMAL overlays vt: assign it first
  result->vt = VT_DECIMAL;
  return S_OK;
}

std::string FormatReal(double value, int precision, bool isFloat) {
  if (value == 0) return "0";  // also for -0
  char buffer[64];
  std::to_chars_result done =
      isFloat ? std::to_chars(buffer, buffer + sizeof buffer, static_cast<float>(value),
                              std::chars_format::general, precision)
              : std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general,
                              precision);
  std::string text(buffer, done.ptr);
  for (char& c : text)
    if (c == 'e') c = 'E';
  return text;
}

HRESULT ToText(const Source& s, VARIANT* result) {
  std::string text;
  switch (s.kind) {
    case Kind::kEmpty:
      break;
    case Kind::kInteger: {
      const bool negative = s.integer < 0;
      text = negative ? "-" : "";
      text += MagnitudeToDigits(negative ? -static_cast<uint128>(s.integer)
                                         : static_cast<uint128>(s.integer));
      break;
    }
    case Kind::kReal:
      if (s.vt == VT_DATE) {
        text = DateToText(s.real);
        if (text.empty()) return DISP_E_OVERFLOW;
      } else {
        text = FormatReal(s.real, s.vt == VT_R4 ? 7 : 15, s.vt == VT_R4);
      }
      break;
    case Kind::kCurrency:
      text = CyToText(s.currency);
      break;
    case Kind::kDecimal:
      text = DecimalToText(s.decimal);
      break;
    case Kind::kText:
      break;  // same type: copied before this is reached
  }
  BSTR bstr = AllocBstrFromAscii(text);
  if (bstr == nullptr) return E_OUTOFMEMORY;
  result->bstrVal = bstr;
  result->vt = VT_BSTR;
  return S_OK;
}

HRESULT ToInterface(const VARIANT& src, VARTYPE vt, VARIANT* result) {
  IUnknown* object = nullptr;
  if (src.vt == VT_EMPTY) {
    // An empty value becomes a null interface.
  } else if (src.vt == VT_UNKNOWN || src.vt == VT_DISPATCH) {
    if (src.punkVal != nullptr) {
      void* asked = nullptr;
      const IID& iid = vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown;
      if (FAILED(src.punkVal->QueryInterface(iid, &asked)) || asked == nullptr)
        return DISP_E_TYPEMISMATCH;
      object = static_cast<IUnknown*>(asked);
    }
  } else {
    return DISP_E_TYPEMISMATCH;
  }
  result->punkVal = object;
  result->vt = vt;
  return S_OK;
}

// The value a by-reference source refers to, as a by-value VARIANT that borrows its payload.
HRESULT Dereference(const VARIANT& src, VARIANT* value) {
  const VARTYPE base = src.vt & ~VT_BYREF;
  if (src.byref == nullptr) return E_INVALIDARG;
  if (base == VT_VARIANT) {
    const VARIANT* inner = static_cast<const VARIANT*>(src.byref);
    if ((inner->vt & VT_BYREF) || !IsValidVariantType(inner->vt)) return DISP_E_BADVARTYPE;
    memcpy(value, inner, sizeof *value);
    return S_OK;
  }
  VariantInit(value);
  switch (base) {
    case VT_DECIMAL:
      value->decVal = *static_cast<const DECIMAL*>(src.byref);
      break;
    case VT_I1:
    case VT_UI1:
      memcpy(&value->bVal, src.byref, 1);
      break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      memcpy(&value->iVal, src.byref, 2);
      break;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR:
      memcpy(&value->lVal, src.byref, 4);
      break;
    case VT_BSTR:
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_ARRAY | VT_UI1:
      memcpy(&value->byref, src.byref, sizeof(void*));
      break;
    default:  // VT_I8, VT_UI8, VT_R8, VT_CY, VT_DATE
      memcpy(&value->llVal, src.byref, 8);
      break;
  }
  value->vt = base;
  return S_OK;
}

// Converts a by-value source into a fresh *result, which owns what it holds on success.
HRESULT Convert(const VARIANT& src, VARTYPE vt, VARIANT* result) {
  VariantInit(result);
  if (src.vt == vt) return CopyVariant(result, &src);
  if (vt == VT_EMPTY) return S_OK;
  if (src.vt == VT_NULL || vt == VT_NULL) {
    if (src.vt != VT_EMPTY || vt != VT_NULL) return DISP_E_TYPEMISMATCH;
    result->vt = VT_NULL;
    return S_OK;
  }
  if (vt == VT_UNKNOWN || vt == VT_DISPATCH) return ToInterface(src, vt, result);
  if (vt == VT_ERROR || vt == (VT_ARRAY | VT_UI1)) return DISP_E_TYPEMISMATCH;
  Source s;
  if (HRESULT hr = ReadSource(src, &s); FAILED(hr)) return hr;
  if (IntegerRange range; IntegerTargetRange(vt, &range)) return ToInteger(s, vt, result);
  switch (vt) {
    case VT_BOOL:
      return ToBool(s, result);
    case VT_R8:
      return ToDouble(s, result);
    case VT_R4:
      return ToFloat(s, result);
    case VT_DATE:
      return ToDate(s, result);
    case VT_CY:
      return ToCurrency(s, result);
    case VT_DECIMAL:
      return ToDecimal(s, result);
    case VT_BSTR:
      return ToText(s, result);
    default:
      return DISP_E_TYPEMISMATCH;
  }
}

}  // namespace
}  // namespace platform

extern "C" HRESULT VariantChangeType(VARIANTARG* dest, const VARIANTARG* src, USHORT flags,
                                     VARTYPE vt) {
  if (HRESULT hr = platform::FaultCheck("VariantChangeType")) return hr;
  if (dest == nullptr || src == nullptr || flags != 0) return E_INVALIDARG;
  // A value already of the type asked for, which owns nothing, into a destination that owns
  // nothing: the conversion is a copy of the 16 bytes (what the steps below come to), and
  // writers pass every value of a column through here.
  if (src->vt == vt && platform::IsPlainValueType(vt) && platform::IsPlainValueType(dest->vt)) {
    if (dest != src) memcpy(dest, src, sizeof *dest);
    return S_OK;
  }
  if (!platform::IsValidVariantType(src->vt)) return DISP_E_BADVARTYPE;
  if (!platform::IsScalarVariantType(vt) && vt != (VT_ARRAY | VT_UI1)) return DISP_E_BADVARTYPE;
  VARIANT value;
  const VARIANT* from = src;
  if (src->vt & VT_BYREF) {
    if (HRESULT hr = platform::Dereference(*src, &value); FAILED(hr)) return hr;
    from = &value;
  }
  VARIANT result;
  if (HRESULT hr = platform::Convert(*from, vt, &result); FAILED(hr)) return hr;
  if (HRESULT hr = platform::ClearVariant(dest); FAILED(hr)) {
    platform::ClearVariant(&result);
    return hr;
  }
  memcpy(dest, &result, sizeof result);
  return S_OK;
}
