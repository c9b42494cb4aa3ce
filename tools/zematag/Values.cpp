#include "Values.h"

#include <fmt/format.h>

#include <cctype>
#include <cmath>

#include "Text.h"
#include "platform/ado/column_type.h"

// Numbers and dates are read and written by VariantChangeType, the library's own conversions;
// what is the tool's own is kept here: its truth words, its shapes of number text (whole numbers
// without a point, exact numbers without an exponent), a time alone as day 0, the shortest text
// of a real, and exact text without insignificant zeros.
namespace {

struct Declaration {
  std::string word;  // upper case
  long first = -1;   // "(n)" or the p of "(p,s)"; -1 when absent
  long second = -1;  // the s of "(p,s)"
  bool malformed = false;
};

Declaration Split(const std::string& declared) {
  Declaration d;
  std::string upper = Trim(declared);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  size_t end = 0;
  while (end < upper.size() &&
         (std::isalnum(static_cast<unsigned char>(upper[end])) || upper[end] == '_'))
    ++end;
  d.word = upper.substr(0, end);
  std::string rest = Trim(upper.substr(end));
  if (rest.empty()) return d;
  if (rest.front() != '(' || rest.back() != ')') {
    d.malformed = true;
    return d;
  }
  rest = rest.substr(1, rest.size() - 2);
  const size_t comma = rest.find(',');
  long long value = 0;
  if (!ParseInteger(rest.substr(0, comma), 0, 1000000, &value)) d.malformed = true;
  d.first = static_cast<long>(value);
  if (comma != std::string::npos) {
    if (!ParseInteger(rest.substr(comma + 1), 0, 1000000, &value)) d.malformed = true;
    d.second = static_cast<long>(value);
  }
  return d;
}

// The tool's kind of value for the library's kind of column.
ValueKind KindOf(const platform::ado::ColumnType& column) {
  using platform::ado::ColumnKind;
  switch (column.kind) {
    case ColumnKind::kInteger:
      return ValueKind::kInteger;
    case ColumnKind::kBigInt:
      return ValueKind::kBigInt;
    case ColumnKind::kSmallInt:
      return ValueKind::kSmallInt;
    case ColumnKind::kByte:
      return ValueKind::kByte;
    case ColumnKind::kBoolean:
      return ValueKind::kBoolean;
    case ColumnKind::kSingle:
      return ValueKind::kSingle;
    case ColumnKind::kDouble:
      return ValueKind::kDouble;
    case ColumnKind::kCurrency:
      return ValueKind::kCurrency;
    case ColumnKind::kDate:
      return ValueKind::kDate;
    case ColumnKind::kDecimal:
      return ValueKind::kDecimal;
    case ColumnKind::kText:
      return ValueKind::kText;
    case ColumnKind::kLongText:
      return ValueKind::kLongText;
    case ColumnKind::kBinary:
    case ColumnKind::kUntyped:
      break;
  }
  return ValueKind::kUnsupported;
}

// The tool's own rules for the shape of number text, on top of what VariantChangeType reads:
// whole numbers are digits only, exact numbers (currency, decimals) have no exponent.
struct NumberShape {
  bool valid = false;
  bool negative = false;
  std::string integerDigits;   // significant digits before the point (no leading zeros)
  std::string fractionDigits;  // digits after the point, without trailing zeros
};

NumberShape ShapeOf(const std::string& trimmed, bool point) {
  NumberShape shape;
  size_t pos = 0;
  if (pos < trimmed.size() && (trimmed[pos] == '+' || trimmed[pos] == '-'))
    shape.negative = trimmed[pos++] == '-';
  bool anyDigit = false, afterPoint = false;
  for (; pos < trimmed.size(); ++pos) {
    const char c = trimmed[pos];
    if (c == '.' && point && !afterPoint) {
      afterPoint = true;
      continue;
    }
    if (c < '0' || c > '9') return shape;
    anyDigit = true;
    if (afterPoint)
      shape.fractionDigits.push_back(c);
    else if (c != '0' || !shape.integerDigits.empty())
      shape.integerDigits.push_back(c);
  }
  while (!shape.fractionDigits.empty() && shape.fractionDigits.back() == '0')
    shape.fractionDigits.pop_back();
  shape.valid = anyDigit;
  return shape;
}

// The shape as plain text for VariantChangeType: "-123.45", "0".
std::string ShapeText(const NumberShape& shape) {
  std::string text = shape.negative ? "-" : "";
  text += shape.integerDigits.empty() ? "0" : shape.integerDigits;
  if (!shape.fractionDigits.empty()) text += "." + shape.fractionDigits;
  return text;
}

// Converts text (UTF-8) to type vt with VariantChangeType into *value (cleared first; VT_EMPTY
// on failure).
HRESULT FromText(const std::string& text, VARTYPE vt, VARIANT* value) {
  VariantClear(value);
  VARIANT source;
  VariantInit(&source);
  source.bstrVal = NewBstr(text);
  if (source.bstrVal == nullptr) return E_OUTOFMEMORY;
  source.vt = VT_BSTR;
  const HRESULT result = VariantChangeType(value, &source, 0, vt);
  VariantClear(&source);
  if (FAILED(result)) VariantInit(value);
  return result;
}

// The text VariantChangeType writes for a value; false when it does not convert.
bool ToText(const VARIANT& value, std::string* text) {
  VARIANT converted;
  VariantInit(&converted);
  if (FAILED(VariantChangeType(&converted, &value, 0, VT_BSTR))) return false;
  *text = FromBstr(converted.bstrVal);
  VariantClear(&converted);
  return true;
}

// Exact text without the zeros after the point that carry no value ("1.50" is "1.5", "-0.00"
// is "0").
std::string WithoutTrailingZeros(std::string text) {
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (text == "-0") text = "0";
  return text;
}

// Whether a number read from text came out as zero although its digits are not all zero: too
// small for the type, which would store 0 in its place.
bool Underflows(const std::string& text, double parsed) {
  if (parsed != 0) return false;
  for (const char c : text) {
    if (c == 'e' || c == 'E') break;
    if (c >= '1' && c <= '9') return true;
  }
  return false;
}

// Reads a real of type vt (VT_R4 or VT_R8). Returns "" or the reason, naming kind.
std::string ParseReal(const std::string& text, VARTYPE vt, const char* kind, double* value) {
  const std::string trimmed = Trim(text);
  OwnedVariant real;
  if (trimmed.empty() || FAILED(FromText(trimmed, vt, &real.value)))
    return fmt::format("'{}' is not {}", Echo(text), kind);
  const double parsed = vt == VT_R4 ? real.value.fltVal : real.value.dblVal;
  if (Underflows(trimmed, parsed))
    return fmt::format("'{}' is too small: it would be stored as 0", Echo(text));
  *value = parsed;
  return "";
}

std::string ParseWhole(const std::string& text, VARTYPE vt, const char* range, VARIANT* value) {
  const std::string trimmed = Trim(text);
  const NumberShape shape = ShapeOf(trimmed, false);
  if (!shape.valid || FAILED(FromText(trimmed, vt, value)))
    return fmt::format("'{}' is not a whole number in {}", Echo(text), range);
  return "";
}

std::string ParseBoolean(const std::string& text, VARIANT_BOOL* value) {
  const std::string lower = Lower(Trim(text));
  if (lower == "true" || lower == "yes" || lower == "on" || lower == "1" || lower == "-1") {
    *value = VARIANT_TRUE;
    return "";
  }
  if (lower == "false" || lower == "no" || lower == "off" || lower == "0") {
    *value = VARIANT_FALSE;
    return "";
  }
  return fmt::format("'{}' is not a truth value (true/false, yes/no, 1/0)", Echo(text));
}

// A time of day alone ("HH:MM[:SS]") is a time on day 0.
bool IsTimeAlone(const std::string& text) {
  return text.size() >= 5 && text[2] == ':' && text.find('-') == std::string::npos;
}

// A date as "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS", or "HH:MM:SS" for a time of day alone, to the
// nearest second; a number for a date outside the calendar's range.
std::string DateText(DATE date) {
  if (!std::isfinite(date)) return DoubleText(date);
  double whole = std::trunc(date);
  long long seconds = std::llround(std::fabs(date - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += date >= 0 ? 1 : -1;
  }
  // Before the epoch the whole part counts back while the time still counts forward.
  VARIANT rounded;
  VariantInit(&rounded);
  rounded.date =
      whole >= 0 && !std::signbit(whole) ? whole + seconds / 86400.0 : whole - seconds / 86400.0;
  rounded.vt = VT_DATE;
  std::string text;
  if (!ToText(rounded, &text)) return DoubleText(date);
  const size_t space = text.find(' ');
  if (space == std::string::npos) return text;
  if (seconds == 0) return text.substr(0, space);
  if (whole == 0 && date >= 0) return text.substr(space + 1);
  return text;
}

}  // namespace

std::string FloatText(float value) { return fmt::format("{}", value); }
std::string DoubleText(double value) { return fmt::format("{}", value); }

bool ParseFloat(const std::string& text, float* value) {
  double parsed = 0;
  if (!ParseReal(text, VT_R4, "a number", &parsed).empty()) return false;
  *value = static_cast<float>(parsed);
  return true;
}

std::string ParseScale(const std::string& text, bool round, float* value) {
  double exact = 0;
  const std::string reason = ParseReal(text, VT_R8, "a number", &exact);
  if (!reason.empty()) return reason;
  const float stored = static_cast<float>(exact);
  if (!std::isfinite(stored)) return fmt::format("'{}' is beyond the float range", Echo(text));
  if (stored == 0 && exact != 0)
    return fmt::format("'{}' is too small: it would be stored as 0", Echo(text));
  // The value survives when the float's shortest text reads as the same number.
  const std::string kept = FloatText(stored);
  double keptValue = 0;
  if (!round && (!ParseReal(kept, VT_R8, "a number", &keptValue).empty() || keptValue != exact))
    return fmt::format("'{}' would be stored as {} (--round accepts that)", Echo(text), kept);
  *value = stored;
  return "";
}

ColumnType ColumnTypeOf(const std::string& declared) {
  // The library's own reading of the declaration, so that the tool checks a value against the
  // column the library will write it to.
  const platform::ado::ColumnType column = platform::ado::ColumnTypeFromDeclared(declared.c_str());
  ColumnType type;
  type.kind = KindOf(column);
  if (type.kind == ValueKind::kText) type.size = static_cast<int>(column.definedSize);
  if (type.kind == ValueKind::kDecimal) {
    // Without a declared precision and scale the column keeps what it is given, up to 28
    // decimals; with them, the library rounds to the scale, so more decimals are refused.
    type.precision = column.scaleDeclared ? column.precision : 0;
    type.scale = column.scaleDeclared ? column.scale : 28;
  }
  return type;
}

std::string CanonicalDeclaration(const std::string& declared, std::string* reason) {
  const Declaration d = Split(declared);
  if (d.word.empty() || d.malformed) {
    *reason = fmt::format("'{}' is not a column type", declared);
    return "";
  }
  const platform::ado::ColumnType column = platform::ado::ColumnTypeFromDeclared(declared.c_str());
  const ValueKind kind = KindOf(column);
  if (kind == ValueKind::kUnsupported) {
    *reason = fmt::format("unknown column type '{}'", declared);
    return "";
  }
  if (column.counter) {
    *reason = fmt::format("'{}': auto-numbered fields are not supported", declared);
    return "";
  }
  switch (kind) {
    case ValueKind::kText:
      if (d.first == 0 || d.first > 255) {
        *reason = fmt::format("'{}': text columns hold 1 to 255 characters", declared);
        return "";
      }
      return fmt::format("{}({})", d.word, d.first > 0 ? d.first : 255);
    case ValueKind::kDecimal:
      if (d.first == 0 || d.first > 28 || d.second > d.first) {
        *reason = fmt::format("'{}': decimals take a precision of 1 to 28 and a scale up to it",
                              declared);
        return "";
      }
      if (d.first < 0) return d.word;
      return fmt::format("{}({},{})", d.word, d.first, d.second < 0 ? 0 : d.second);
    case ValueKind::kLongText:
      return d.word == "TEXT" || d.word == "LONGTEXT" || d.word == "CLOB" ? d.word : "LONGTEXT";
    case ValueKind::kSingle:
      return "FLOAT4";
    case ValueKind::kDouble:
      return d.word == "NUMBER" || d.word == "NUMERIC" ? "DOUBLE" : d.word;
    default:
      return d.word;
  }
}

std::string TextToVariant(const std::string& text, const ColumnType& type, VARIANT* value) {
  VariantClear(value);
  const std::string trimmed = Trim(text);
  switch (type.kind) {
    case ValueKind::kInteger:
      return ParseWhole(text, VT_I4, "-2147483648..2147483647", value);
    case ValueKind::kBigInt:
      return ParseWhole(text, VT_I8, "-9223372036854775808..9223372036854775807", value);
    case ValueKind::kSmallInt:
      return ParseWhole(text, VT_I2, "-32768..32767", value);
    case ValueKind::kByte:
      return ParseWhole(text, VT_UI1, "0..255", value);
    case ValueKind::kBoolean: {
      VARIANT_BOOL flag = VARIANT_FALSE;
      const std::string reason = ParseBoolean(text, &flag);
      if (!reason.empty()) return reason;
      value->boolVal = flag;
      value->vt = VT_BOOL;
      return "";
    }
    case ValueKind::kSingle:
    case ValueKind::kDouble: {
      const bool single = type.kind == ValueKind::kSingle;
      double real = 0;
      const std::string reason = ParseReal(
          text, single ? VT_R4 : VT_R8, single ? "a single-precision number" : "a number", &real);
      if (!reason.empty()) return reason;
      if (single) {
        value->fltVal = static_cast<float>(real);
        value->vt = VT_R4;
      } else {
        value->dblVal = real;
        value->vt = VT_R8;
      }
      return "";
    }
    case ValueKind::kCurrency: {
      const NumberShape shape = ShapeOf(trimmed, true);
      if (!shape.valid || shape.integerDigits.size() + shape.fractionDigits.size() > 38 ||
          shape.fractionDigits.size() > 4)
        return fmt::format("'{}' is not an amount with at most 4 decimals", Echo(text));
      if (FAILED(FromText(ShapeText(shape), VT_CY, value)))
        return fmt::format("'{}' is out of the currency range", Echo(text));
      return "";
    }
    case ValueKind::kDate: {
      // Whole seconds only: the tool writes no fractions, so it reads none.
      const std::string dated = IsTimeAlone(trimmed) ? "1899-12-30 " + trimmed : trimmed;
      if (trimmed.find('.') != std::string::npos || FAILED(FromText(dated, VT_DATE, value)))
        return fmt::format("'{}' is not a date (YYYY-MM-DD[ HH:MM[:SS]] or HH:MM[:SS])",
                           Echo(text));
      return "";
    }
    case ValueKind::kDecimal: {
      const NumberShape shape = ShapeOf(trimmed, true);
      if (!shape.valid || shape.integerDigits.size() + shape.fractionDigits.size() > 38)
        return fmt::format("'{}' is not a decimal number", Echo(text));
      const int scale = static_cast<int>(shape.fractionDigits.size());
      if (scale > 28 || FAILED(FromText(ShapeText(shape), VT_DECIMAL, value))) {
        VariantInit(value);
        return fmt::format("'{}' is out of the decimal range", Echo(text));
      }
      if (scale > type.scale) {
        VariantInit(value);
        return fmt::format("'{}' has more than {} decimals", Echo(text), type.scale);
      }
      if (type.precision > 0 &&
          static_cast<int>(shape.integerDigits.size()) > type.precision - type.scale) {
        VariantInit(value);
        return fmt::format("'{}' has more than {} digits before the point", Echo(text),
                           type.precision - type.scale);
      }
      return "";
    }
    case ValueKind::kText:
    case ValueKind::kLongText: {
      if (!IsUtf8(text)) return "the text is not valid UTF-8";
      if (type.kind == ValueKind::kText && Utf16Length(text) > static_cast<size_t>(type.size))
        return fmt::format("the text is longer than {} characters", type.size);
      BSTR bstr = NewBstr(text);
      if (bstr == nullptr) return "out of memory";
      value->bstrVal = bstr;
      value->vt = VT_BSTR;
      return "";
    }
    case ValueKind::kUnsupported:
      break;
  }
  return "the tool does not write values of this column type";
}

std::string VariantToText(const VARIANT& value) {
  std::string text;
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return "";
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE ? "true" : "false";
    case VT_R4:
      return FloatText(value.fltVal);
    case VT_R8:
      return DoubleText(value.dblVal);
    case VT_DATE:
      return DateText(value.date);
    case VT_CY:
    case VT_DECIMAL:
      return ToText(value, &text) ? WithoutTrailingZeros(text) : "";
    case VT_BSTR:
      return FromBstr(value.bstrVal);
    case VT_ARRAY | VT_UI1: {
      const SAFEARRAY* array = value.parray;
      text = "0x";
      if (array != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(array->pvData);
        for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i)
          text += fmt::format("{:02x}", bytes[i]);
      }
      return text;
    }
    default:
      // Integers of every size, and whatever else converts to text.
      if (ToText(value, &text)) return text;
      return fmt::format("<value of type {}>", value.vt);
  }
}
