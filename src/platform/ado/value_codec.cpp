#include "platform/ado/value_codec.h"

#include <math.h>
#include <string.h>

#include <limits>

#include "platform/oleaut/dates.h"
#include "platform/oleaut/decimal.h"
#include "platform/oleaut/exact_number.h"
#include "platform/oleaut/internal.h"
#include "platform/oleaut/numbers.h"

namespace platform {
namespace ado {
namespace {

bool IsSqlSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// True for text that SQLite's numeric affinity would turn into a number. Broader than SQLite's
// own test where in doubt: it only decides whether a zero character guards the text.
bool LooksNumeric(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsSqlSpace(text[begin])) ++begin;
  while (end > begin && IsSqlSpace(text[end - 1])) --end;
  if (begin == end) return false;
  ExactNumber number;
  return ParseExactNumber(text.substr(begin, end - begin), &number);
}

// The text of a stored text value without the guarding zero character.
std::string_view StoredText(const ColumnType& type, const StoredValue& value) {
  std::string_view text(value.bytes != nullptr ? value.bytes : "", static_cast<size_t>(value.size));
  if (type.numericAffinity && !text.empty() && text.back() == '\0') {
    const std::string_view rest = text.substr(0, text.size() - 1);
    if ((!rest.empty() && rest.back() == '\0') || LooksNumeric(rest)) return rest;
  }
  return text;
}

// Strips trailing zero digits into the exponent, so that equal values compare equal.
ExactNumber Normalized(ExactNumber number) {
  while (!number.digits.empty() && number.digits.back() == '0') {
    number.digits.pop_back();
    ++number.exponent;
  }
  if (number.digits.empty()) {
    number.negative = false;
    number.exponent = 0;
  }
  return number;
}

bool SameNumber(const ExactNumber& a, const ExactNumber& b) {
  return a.negative == b.negative && a.digits == b.digits && a.exponent == b.exponent;
}

// The value as a 64-bit integer when it is whole and fits.
bool ExactToInt64(const ExactNumber& number, int64_t* value) {
  if (number.exponent < 0) return false;
  if (number.digits.size() + static_cast<size_t>(number.exponent) > 19) return false;
  uint128 magnitude = 0;
  for (char c : number.digits) magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
  for (int64_t k = 0; k < number.exponent; ++k) magnitude *= 10;
  const uint128 limit = number.negative ? uint128(1) << 63 : (uint128(1) << 63) - 1;
  if (magnitude > limit) return false;
  *value = number.negative ? static_cast<int64_t>(-static_cast<__int128>(magnitude))
                           : static_cast<int64_t>(magnitude);
  return true;
}

// The integer a stored value holds exactly (an integer, or a whole real within 64 bits).
bool StoredInteger(const StoredValue& value, int64_t* integer) {
  if (value.storage == StoredValue::kInteger) {
    *integer = value.integer;
    return true;
  }
  if (value.storage == StoredValue::kReal && std::isfinite(value.real) &&
      value.real == std::trunc(value.real) && fabs(value.real) < 9.2233720368547758e18) {
    *integer = static_cast<int64_t>(value.real);
    return true;
  }
  return false;
}

// The exact number of a stored integer, real or numeric text; false for anything else.
bool StoredNumber(const ColumnType& type, const StoredValue& value, ExactNumber* number) {
  switch (value.storage) {
    case StoredValue::kInteger: {
      const bool negative = value.integer < 0;
      const uint128 magnitude =
          negative ? uint128(-(static_cast<__int128>(value.integer))) : uint128(value.integer);
      *number = ExactFromScaled(negative, magnitude, 0);
      return true;
    }
    case StoredValue::kReal:
      if (!std::isfinite(value.real)) return false;
      *number = ExactFromDouble(value.real);
      return true;
    case StoredValue::kText: {
      std::string_view text = StoredText(type, value);
      return ParseExactNumber(text, number);
    }
    default:
      return false;
  }
}

// Raises a DECIMAL's scale towards `scale` while the mantissa fits, so that a column's declared
// scale shows ("1.50" in DECIMAL(10,2)).
void RaiseScale(DECIMAL* value, int scale) {
  uint128 magnitude = DecimalMagnitude(*value);
  int current = value->scale;
  while (current < scale && magnitude * 10 <= kDecimalMantissaLimit) {
    magnitude *= 10;
    ++current;
  }
  *value = MakeDecimal(value->sign == DECIMAL_NEG, magnitude, current);
}

// The currency of a real read without going through its decimal text: true, with the value in
// ten-thousandths, when |real| < 4e11 and a multiple of 0.0001 reads as that real. Below 4e11 a
// double's neighbours lie less than 0.0001 apart, so at most one such multiple reads as it, and
// it is the real's shortest decimal form, which is what the exact conversion would take; a false
// leaves the real to that conversion.
bool WholeTenThousandths(double real, int64_t* tenThousandths) {
  if (!(fabs(real) < 4e11)) return false;  // NaN too
  const int64_t nearest = llrint(real * 10000.0);
  for (int64_t candidate = nearest - 1; candidate <= nearest + 1; ++candidate) {
    if (static_cast<double>(candidate) / 10000.0 == real) {
      *tenThousandths = candidate;
      return true;
    }
  }
  return false;
}

HRESULT DeliverText(std::string_view text, VARIANT* out) {
  BSTR bstr = Utf8ToBstr(text.data(), text.size());
  if (bstr == nullptr) return E_OUTOFMEMORY;
  out->vt = VT_BSTR;
  out->bstrVal = bstr;
  return S_OK;
}

// The VARIANT of the value's storage class.
HRESULT DeliverStorage(const ColumnType& type, const StoredValue& value, VARIANT* out) {
  switch (value.storage) {
    case StoredValue::kNull:
      out->vt = VT_NULL;
      return S_OK;
    case StoredValue::kInteger:
      if (value.integer >= INT32_MIN && value.integer <= INT32_MAX) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(value.integer);
      } else {
        out->vt = VT_I8;
        out->llVal = value.integer;
      }
      return S_OK;
    case StoredValue::kReal:
      out->vt = VT_R8;
      out->dblVal = value.real;
      return S_OK;
    case StoredValue::kText:
      return DeliverText(StoredText(type, value), out);
    case StoredValue::kBlob: {
      SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(value.size));
      if (array == nullptr) return E_OUTOFMEMORY;
      if (value.size > 0) memcpy(array->pvData, value.bytes, static_cast<size_t>(value.size));
      out->vt = VT_ARRAY | VT_UI1;
      out->parray = array;
      return S_OK;
    }
  }
  return E_UNEXPECTED;
}

// 10^15: integers below it in magnitude have at most 15 decimal digits.
constexpr int64_t kFifteenDigits = INT64_C(1000000000000000);

size_t Utf16Length(const char* text, size_t size) {
  return utf::Utf16Length(std::string_view(text, size), utf::Malformed::kOnePerByte);
}

}  // namespace

BSTR Utf8ToBstr(const char* text, size_t size) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
  size_t ascii = 0;
  while (ascii < size && bytes[ascii] < 0x80) ++ascii;
  if (ascii == size) {
    if (size > UINT32_MAX / 4) return nullptr;
    BSTR bstr = SysAllocStringLen(nullptr, static_cast<UINT>(size));
    if (bstr == nullptr) return nullptr;
    for (size_t i = 0; i < size; ++i) bstr[i] = bytes[i];
    return bstr;
  }
  std::u16string wide = Utf8ToUtf16(std::string_view(text, size));
  if (wide.size() > UINT32_MAX / 4) return nullptr;
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

HRESULT StoredToVariant(const ColumnType& type, const StoredValue& value, VARIANT* out) {
  if (value.storage == StoredValue::kNull) {
    out->vt = VT_NULL;
    return S_OK;
  }
  int64_t integer = 0;
  switch (type.kind) {
    case ColumnKind::kInteger:
      if (StoredInteger(value, &integer) && integer >= INT32_MIN && integer <= INT32_MAX) {
        out->vt = VT_I4;
        out->lVal = static_cast<LONG>(integer);
        return S_OK;
      }
      break;
    case ColumnKind::kBigInt:
      if (StoredInteger(value, &integer)) {
        out->vt = VT_I8;
        out->llVal = integer;
        return S_OK;
      }
      break;
    case ColumnKind::kSmallInt:
      if (StoredInteger(value, &integer) && integer >= INT16_MIN && integer <= INT16_MAX) {
        out->vt = VT_I2;
        out->iVal = static_cast<SHORT>(integer);
        return S_OK;
      }
      break;
    case ColumnKind::kByte:
      if (StoredInteger(value, &integer) && integer >= 0 && integer <= 255) {
        out->vt = VT_UI1;
        out->bVal = static_cast<BYTE>(integer);
        return S_OK;
      }
      break;
    case ColumnKind::kBoolean:
      if (StoredInteger(value, &integer) && (integer == 0 || integer == 1 || integer == -1)) {
        out->vt = VT_BOOL;
        out->boolVal = integer != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
      }
      break;
    case ColumnKind::kSingle:
      if (value.storage == StoredValue::kReal) {
        const float f = static_cast<float>(value.real);
        if (static_cast<double>(f) == value.real || std::isnan(value.real)) {
          out->vt = VT_R4;
          out->fltVal = f;
          return S_OK;
        }
      } else if (value.storage == StoredValue::kInteger) {
        const float f = static_cast<float>(value.integer);
        if (fabsf(f) < 9.2e18f && static_cast<int64_t>(f) == value.integer) {
          out->vt = VT_R4;
          out->fltVal = f;
          return S_OK;
        }
      }
      break;
    case ColumnKind::kDouble:
      if (value.storage == StoredValue::kReal) {
        out->vt = VT_R8;
        out->dblVal = value.real;
        return S_OK;
      }
      if (value.storage == StoredValue::kInteger && value.integer >= -(INT64_C(1) << 53) &&
          value.integer <= (INT64_C(1) << 53)) {
        out->vt = VT_R8;
        out->dblVal = static_cast<double>(value.integer);
        return S_OK;
      }
      break;
    case ColumnKind::kCurrency: {
      CY cy;
      if (value.storage == StoredValue::kReal && WholeTenThousandths(value.real, &cy.int64)) {
        out->vt = VT_CY;
        out->cyVal = cy;
        return S_OK;
      }
      ExactNumber number;
      if (StoredNumber(type, value, &number) && Normalized(number).exponent >= -4 &&
          ExactToCy(number, &cy) == S_OK) {
        out->vt = VT_CY;
        out->cyVal = cy;
        return S_OK;
      }
      break;
    }
    case ColumnKind::kDecimal: {
      ExactNumber number;
      DECIMAL decimal;
      if (StoredNumber(type, value, &number) && ExactToDecimal(number, &decimal) == S_OK) {
        RaiseScale(&decimal, type.scale);
        out->decVal = decimal;
        out->vt = VT_DECIMAL;
        return S_OK;
      }
      break;
    }
    case ColumnKind::kDate:
      if (value.storage == StoredValue::kText) {
        DATE date;
        if (DateFromText(StoredText(type, value), &date)) {
          out->vt = VT_DATE;
          out->date = date;
          return S_OK;
        }
      }
      break;
    case ColumnKind::kText:
    case ColumnKind::kLongText:
      if (value.storage == StoredValue::kInteger)
        return DeliverText(std::to_string(value.integer), out);
      if (value.storage == StoredValue::kReal && std::isfinite(value.real)) {
        const ExactNumber number = ExactFromDouble(value.real);
        std::string text;
        DECIMAL decimal;
        if (ExactToDecimal(number, &decimal) == S_OK) {
          text = DecimalToText(decimal);
          return DeliverText(text, out);
        }
      }
      break;
    case ColumnKind::kBinary:
    case ColumnKind::kUntyped:
      break;
  }
  return DeliverStorage(type, value, out);
}

bool StoredAsciiText(const ColumnType& type, const StoredValue& value, std::string_view* text) {
  if (value.storage == StoredValue::kNull) {
    *text = std::string_view();
    return true;
  }
  if (value.storage != StoredValue::kText) return false;
  // Text is delivered as it is stored in every kind of column but these, which may read it as
  // a number or a date.
  if (type.kind == ColumnKind::kCurrency || type.kind == ColumnKind::kDecimal ||
      type.kind == ColumnKind::kDate)
    return false;
  const std::string_view stored = StoredText(type, value);
  for (const char c : stored)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  *text = stored;
  return true;
}

LONG StoredActualSize(const ColumnType& type, const StoredValue& value) {
  switch (value.storage) {
    case StoredValue::kNull:
      return 0;
    case StoredValue::kText: {
      const std::string_view text = StoredText(type, value);
      return static_cast<LONG>(2 * Utf16Length(text.data(), text.size()));
    }
    case StoredValue::kBlob:
      return value.size;
    default:
      if (type.kind == ColumnKind::kUntyped || type.kind == ColumnKind::kText ||
          type.kind == ColumnKind::kLongText || type.kind == ColumnKind::kBinary)
        return 8;
      return type.definedSize;
  }
}

HRESULT ConvertForColumn(const ColumnType& type, const VARIANT& in, VARIANT* out,
                         std::string* why) {
  const VARIANT* source = &in;
  if (in.vt == (VT_BYREF | VT_VARIANT) && in.byref != nullptr)
    source = static_cast<const VARIANT*>(in.byref);
  if (source->vt == VT_EMPTY || source->vt == VT_NULL) {
    out->vt = VT_NULL;
    return S_OK;
  }
  if (type.kind == ColumnKind::kUntyped || type.kind == ColumnKind::kBinary) {
    bool accepted;
    switch (source->vt) {
      case VT_I1:
      case VT_I2:
      case VT_I4:
      case VT_I8:
      case VT_UI1:
      case VT_UI2:
      case VT_UI4:
      case VT_UI8:
      case VT_INT:
      case VT_UINT:
      case VT_BOOL:
      case VT_R4:
      case VT_R8:
      case VT_CY:
      case VT_DATE:
      case VT_DECIMAL:
      case VT_BSTR:
        accepted = type.kind == ColumnKind::kUntyped;
        break;
      case VT_ARRAY | VT_UI1:
        accepted = true;
        break;
      default:
        accepted = false;
        break;
    }
    if (!accepted) {
      *why = "The value's type cannot be stored in this column.";
      return DISP_E_TYPEMISMATCH;
    }
    if (source->vt == VT_DATE && !IsDateInRange(source->date)) {
      *why = "The date lies outside 1 January 100 to 31 December 9999.";
      return DISP_E_OVERFLOW;
    }
    const HRESULT hr = VariantCopy(out, source);
    if (FAILED(hr)) *why = "The value could not be copied.";
    return hr;
  }
  // A value that already has the column's type and owns nothing converts to itself: no call.
  HRESULT hr = S_OK;
  if (source->vt == type.vt && IsPlainValueType(type.vt))
    *out = *source;
  else
    hr = VariantChangeType(out, source, 0, type.vt);
  if (FAILED(hr)) {
    *why = hr == DISP_E_OVERFLOW ? "The value is out of the range of the column's type."
                                 : "The value does not convert to the column's type.";
    return hr;
  }
  switch (type.kind) {
    case ColumnKind::kText:
      if (SysStringLen(out->bstrVal) > static_cast<UINT>(type.definedSize)) {
        VariantClear(out);
        *why = "The text is longer than the column's size of " + std::to_string(type.definedSize) +
               " characters.";
        return DB_E_DATAOVERFLOW;
      }
      break;
    case ColumnKind::kDate:
      if (!IsDateInRange(out->date)) {
        out->vt = VT_EMPTY;
        *why = "The date lies outside 1 January 100 to 31 December 9999.";
        return DISP_E_OVERFLOW;
      }
      break;
    case ColumnKind::kDecimal: {
      DECIMAL decimal = out->decVal;
      if (type.scaleDeclared && decimal.scale > type.scale) {
        uint128 magnitude = 0;
        RoundExact(DecimalToExact(decimal), type.scale, kDecimalMantissaLimit, &magnitude);
        decimal = MakeDecimal(decimal.sign == DECIMAL_NEG, magnitude, type.scale);
      }
      RaiseScale(&decimal, type.scale);
      // Digits before the point may not exceed precision - scale.
      uint128 bound = 1;
      for (int k = 0; k < type.precision - type.scale; ++k) bound *= 10;
      for (int k = 0; k < decimal.scale; ++k) bound *= 10;
      if (type.precision < 29 && DecimalMagnitude(decimal) >= bound) {
        out->vt = VT_EMPTY;
        *why = "The number has more digits than the column's precision of " +
               std::to_string(type.precision) + ".";
        return DISP_E_OVERFLOW;
      }
      out->decVal = decimal;
      out->vt = VT_DECIMAL;
      break;
    }
    default:
      break;
  }
  return S_OK;
}

void EncodeForStorage(const ColumnType& type, const VARIANT& converted, StoredValue* out,
                      std::string* buffer) {
  *out = StoredValue();
  switch (converted.vt) {
    case VT_I1:
      out->storage = StoredValue::kInteger, out->integer = static_cast<signed char>(converted.cVal);
      return;
    case VT_I2:
      out->storage = StoredValue::kInteger, out->integer = converted.iVal;
      return;
    case VT_I4:
    case VT_INT:
      out->storage = StoredValue::kInteger, out->integer = converted.lVal;
      return;
    case VT_I8:
      out->storage = StoredValue::kInteger, out->integer = converted.llVal;
      return;
    case VT_UI1:
      out->storage = StoredValue::kInteger, out->integer = converted.bVal;
      return;
    case VT_UI2:
      out->storage = StoredValue::kInteger, out->integer = converted.uiVal;
      return;
    case VT_UI4:
    case VT_UINT:
      out->storage = StoredValue::kInteger, out->integer = converted.ulVal;
      return;
    case VT_UI8:
      if (converted.ullVal <= static_cast<ULONGLONG>(INT64_MAX)) {
        out->storage = StoredValue::kInteger;
        out->integer = static_cast<int64_t>(converted.ullVal);
      } else {
        out->storage = StoredValue::kReal;
        out->real = static_cast<double>(converted.ullVal);
      }
      return;
    case VT_BOOL:
      out->storage = StoredValue::kInteger, out->integer = converted.boolVal != 0 ? 1 : 0;
      return;
    case VT_R4:
      out->storage = StoredValue::kReal, out->real = converted.fltVal;
      return;
    case VT_R8:
      out->storage = StoredValue::kReal, out->real = converted.dblVal;
      return;
    case VT_DATE:
      *buffer = DateToText(converted.date);
      break;
    case VT_CY: {
      // The common amounts without the exact decimal conversion, to the same stored form: a whole
      // amount is its integer; an amount of at most 15 significant digits (below 10^11) reads
      // back from the nearest double as itself, since two decimals of 15 digits never share a
      // double, so it is stored as that double (ten-thousandths divided exactly rounded).
      const int64_t units = converted.cyVal.int64;
      if (units % 10000 == 0) {
        out->storage = StoredValue::kInteger, out->integer = units / 10000;
        return;
      }
      if (units > -kFifteenDigits && units < kFifteenDigits) {
        out->storage = StoredValue::kReal, out->real = static_cast<double>(units) / 10000.0;
        return;
      }
    }
      [[fallthrough]];
    case VT_DECIMAL: {
      const ExactNumber exact =
          converted.vt == VT_CY ? CyToExact(converted.cyVal) : DecimalToExact(converted.decVal);
      const ExactNumber number = Normalized(exact);
      int64_t integer;
      if (ExactToInt64(number, &integer)) {
        out->storage = StoredValue::kInteger;
        out->integer = integer;
        return;
      }
      double real;
      if (ExactToDouble(number, &real) == S_OK && std::isfinite(real) &&
          SameNumber(Normalized(ExactFromDouble(real)), number)) {
        out->storage = StoredValue::kReal;
        out->real = real;
        return;
      }
      *buffer = converted.vt == VT_CY ? CyToText(converted.cyVal) : DecimalToText(converted.decVal);
      if (type.numericAffinity) buffer->push_back('\0');
      break;
    }
    case VT_BSTR:
      buffer->clear();
      AppendUtf8(converted.bstrVal, SysStringLen(converted.bstrVal), buffer);
      if (type.numericAffinity &&
          ((!buffer->empty() && buffer->back() == '\0') || LooksNumeric(*buffer)))
        buffer->push_back('\0');
      break;
    case VT_ARRAY | VT_UI1:
      out->storage = StoredValue::kBlob;
      out->bytes =
          converted.parray != nullptr ? static_cast<const char*>(converted.parray->pvData) : "";
      out->size = converted.parray != nullptr
                      ? static_cast<int>(converted.parray->rgsabound[0].cElements)
                      : 0;
      return;
    default:  // VT_NULL
      return;
  }
  out->storage = StoredValue::kText;
  out->bytes = buffer->data();
  out->size = static_cast<int>(buffer->size());
}

}  // namespace ado
}  // namespace platform
