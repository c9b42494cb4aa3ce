#include "Values.h"

#include <fmt/format.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "Text.h"

namespace {

using Int128 = unsigned __int128;

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

struct TypeWord {
  const char* word;
  ValueKind kind;
};

// The declared type names the library understands, with the kind of value each holds.
constexpr TypeWord kTypeWords[] = {
    {"LONG", ValueKind::kInteger},
    {"INT", ValueKind::kInteger},
    {"INTEGER", ValueKind::kInteger},
    {"INT4", ValueKind::kInteger},
    {"MEDIUMINT", ValueKind::kInteger},
    {"COUNTER", ValueKind::kInteger},
    {"AUTOINCREMENT", ValueKind::kInteger},
    {"BIGINT", ValueKind::kBigInt},
    {"INT8", ValueKind::kBigInt},
    {"SHORT", ValueKind::kSmallInt},
    {"SMALLINT", ValueKind::kSmallInt},
    {"INT2", ValueKind::kSmallInt},
    {"BYTE", ValueKind::kByte},
    {"TINYINT", ValueKind::kByte},
    {"BIT", ValueKind::kBoolean},
    {"YESNO", ValueKind::kBoolean},
    {"BOOLEAN", ValueKind::kBoolean},
    {"BOOL", ValueKind::kBoolean},
    {"LOGICAL", ValueKind::kBoolean},
    {"SINGLE", ValueKind::kSingle},
    {"FLOAT4", ValueKind::kSingle},
    {"DOUBLE", ValueKind::kDouble},
    {"FLOAT", ValueKind::kDouble},
    {"FLOAT8", ValueKind::kDouble},
    {"REAL", ValueKind::kDouble},
    {"NUMBER", ValueKind::kDouble},
    {"NUMERIC", ValueKind::kDouble},
    {"DECIMAL", ValueKind::kDecimal},
    {"CURRENCY", ValueKind::kCurrency},
    {"MONEY", ValueKind::kCurrency},
    {"DATETIME", ValueKind::kDate},
    {"DATE", ValueKind::kDate},
    {"TIME", ValueKind::kDate},
    {"TIMESTAMP", ValueKind::kDate},
    {"VARCHAR", ValueKind::kText},
    {"CHAR", ValueKind::kText},
    {"NVARCHAR", ValueKind::kText},
    {"NCHAR", ValueKind::kText},
    {"CHARACTER", ValueKind::kText},
    {"TEXT", ValueKind::kLongText},
    {"MEMO", ValueKind::kLongText},
    {"LONGTEXT", ValueKind::kLongText},
    {"CLOB", ValueKind::kLongText},
    {"NTEXT", ValueKind::kLongText},
};

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

const TypeWord* FindWord(const std::string& word) {
  for (const TypeWord& entry : kTypeWords)
    if (word == entry.word) return &entry;
  return nullptr;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian calendar).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int* y, unsigned* m, unsigned* d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long year = static_cast<long long>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int>(year + (*m <= 2));
}

const long long kOleEpoch = DaysFromCivil(1899, 12, 30);

bool ParseDigits(const std::string& text, size_t pos, size_t count, int* value) {
  if (pos + count > text.size()) return false;
  int result = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + (text[i] - '0');
  }
  *value = result;
  return true;
}

bool ParseTime(const std::string& text, size_t pos, long long* seconds) {
  int h = 0, mi = 0, s = 0;
  if (!ParseDigits(text, pos, 2, &h) || text.size() < pos + 5 || text[pos + 2] != ':' ||
      !ParseDigits(text, pos + 3, 2, &mi))
    return false;
  size_t end = pos + 5;
  if (end < text.size()) {
    if (text[end] != ':' || !ParseDigits(text, end + 1, 2, &s)) return false;
    end += 3;
  }
  if (end != text.size() || h > 23 || mi > 59 || s > 59) return false;
  *seconds = h * 3600LL + mi * 60LL + s;
  return true;
}

bool ParseDate(const std::string& text, DATE* date) {
  long long days = 0, seconds = 0;
  if (text.size() >= 10 && text[4] == '-' && text[7] == '-') {
    int y = 0, m = 0, d = 0;
    if (!ParseDigits(text, 0, 4, &y) || !ParseDigits(text, 5, 2, &m) ||
        !ParseDigits(text, 8, 2, &d) || y < 100 || m < 1 || m > 12 || d < 1)
      return false;
    static const int kMonthDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (d > kMonthDays[m - 1] || (m == 2 && d == 29 && !leap)) return false;
    days = DaysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d)) - kOleEpoch;
    if (text.size() > 10) {
      if (text[10] != ' ' && text[10] != 'T') return false;
      if (!ParseTime(text, 11, &seconds)) return false;
    }
  } else if (!ParseTime(text, 0, &seconds)) {
    return false;
  }
  // Before the epoch the whole part counts back while the fraction still counts forward.
  const double fraction = seconds / 86400.0;
  *date = days >= 0 ? days + fraction : days - fraction;
  return true;
}

std::string DateText(DATE date) {
  if (!std::isfinite(date) || date < -657434.0 || date >= 2958466.0) return DoubleText(date);
  double whole = std::trunc(date);
  long long seconds = std::llround(std::fabs(date - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    whole += date >= 0 ? 1 : -1;
  }
  // Day 0 with a time is a time of day alone, as "HH:MM:SS" reads.
  if (whole == 0 && date >= 0 && seconds != 0)
    return fmt::format("{:02}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60);
  int y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(static_cast<long long>(whole) + kOleEpoch, &y, &m, &d);
  if (seconds == 0) return fmt::format("{:04}-{:02}-{:02}", y, m, d);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", y, m, d, seconds / 3600,
                     seconds / 60 % 60, seconds % 60);
}

// An exact decimal number: digits, sign and the count of digits after the point.
struct ExactNumber {
  Int128 digits = 0;
  bool negative = false;
  int scale = 0;
  int integerDigits = 0;  // significant digits before the point
};

// Reads "[+-]digits[.digits]"; false on anything else or more than 38 digits.
bool ParseExact(const std::string& text, ExactNumber* number) {
  const std::string trimmed = Trim(text);
  size_t pos = 0;
  if (pos < trimmed.size() && (trimmed[pos] == '+' || trimmed[pos] == '-')) {
    number->negative = trimmed[pos] == '-';
    ++pos;
  }
  bool anyDigit = false, afterPoint = false, leading = true;
  int digitCount = 0;
  for (; pos < trimmed.size(); ++pos) {
    const char c = trimmed[pos];
    if (c == '.' && !afterPoint) {
      afterPoint = true;
      continue;
    }
    if (c < '0' || c > '9') return false;
    anyDigit = true;
    if (leading && c == '0' && !afterPoint) continue;
    leading = false;
    if (++digitCount > 38) return false;
    number->digits = number->digits * 10 + static_cast<unsigned>(c - '0');
    if (afterPoint)
      ++number->scale;
    else
      ++number->integerDigits;
  }
  // Trailing zeros after the point carry no value.
  while (number->scale > 0 && number->digits % 10 == 0) {
    number->digits /= 10;
    --number->scale;
  }
  if (number->digits == 0) number->negative = false;
  return anyDigit;
}

std::string ExactText(Int128 digits, bool negative, int scale) {
  std::string text;
  do {
    text.insert(text.begin(), static_cast<char>('0' + static_cast<int>(digits % 10)));
    digits /= 10;
  } while (digits != 0);
  if (scale > 0) {
    if (static_cast<int>(text.size()) <= scale)
      text.insert(0, std::string(static_cast<size_t>(scale) - text.size() + 1, '0'));
    text.insert(text.size() - static_cast<size_t>(scale), ".");
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  if (negative && text != "0") text.insert(0, "-");
  return text;
}

// Why a real number did not convert: too small to tell from zero, or not a number of the kind.
std::string NumberReason(const std::string& text, const char* kind, bool single) {
  const std::string trimmed = Trim(text);
  char* end = nullptr;
  const double parsed =
      single ? std::strtof(trimmed.c_str(), &end) : std::strtod(trimmed.c_str(), &end);
  if (!trimmed.empty() && *end == '\0' && Underflows(trimmed, parsed))
    return fmt::format("'{}' is too small: it would be stored as 0", Echo(text));
  return fmt::format("'{}' is not {}", Echo(text), kind);
}

std::string IntegerReason(const std::string& text, long long low, long long high) {
  return fmt::format("'{}' is not a whole number in {}..{}", Echo(text), low, high);
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

bool ParseDouble(const std::string& text, double* value) {
  const std::string trimmed = Trim(text);
  if (trimmed.empty()) return false;
  char* end = nullptr;
  const double parsed = std::strtod(trimmed.c_str(), &end);
  if (*end != '\0' || !std::isfinite(parsed) || Underflows(trimmed, parsed)) return false;
  *value = parsed;
  return true;
}

}  // namespace

std::string FloatText(float value) { return fmt::format("{}", value); }
std::string DoubleText(double value) { return fmt::format("{}", value); }

bool ParseFloat(const std::string& text, float* value) {
  const std::string trimmed = Trim(text);
  if (trimmed.empty()) return false;
  char* end = nullptr;
  const float parsed = std::strtof(trimmed.c_str(), &end);
  if (*end != '\0' || !std::isfinite(parsed) || Underflows(trimmed, parsed)) return false;
  *value = parsed;
  return true;
}

std::string ParseScale(const std::string& text, bool round, float* value) {
  const std::string trimmed = Trim(text);
  double exact = 0;
  if (!ParseDouble(trimmed, &exact)) return NumberReason(text, "a number", false);
  const float stored = static_cast<float>(exact);
  if (!std::isfinite(stored)) return fmt::format("'{}' is beyond the float range", Echo(text));
  if (stored == 0 && exact != 0)
    return fmt::format("'{}' is too small: it would be stored as 0", Echo(text));
  // The value survives when the float's shortest text reads as the same number.
  const std::string kept = FloatText(stored);
  if (!round && std::strtod(kept.c_str(), nullptr) != exact)
    return fmt::format("'{}' would be stored as {} (--round accepts that)", Echo(text), kept);
  *value = stored;
  return "";
}

ColumnType ColumnTypeOf(const std::string& declared) {
  ColumnType type;
  const Declaration d = Split(declared);
  const TypeWord* entry = FindWord(d.word);
  if (entry == nullptr) return type;
  type.kind = entry->kind;
  if (d.word == "NUMERIC" && d.first > 0) type.kind = ValueKind::kDecimal;
  if (type.kind == ValueKind::kText) type.size = d.first > 0 ? static_cast<int>(d.first) : 255;
  if (type.kind == ValueKind::kDecimal) {
    type.precision = d.first > 0 && d.first <= 28 ? static_cast<int>(d.first) : 0;
    type.scale = type.precision > 0 && d.second >= 0 ? static_cast<int>(d.second) : 28;
    if (type.precision > 0 && type.scale > type.precision) type.scale = type.precision;
  }
  return type;
}

std::string CanonicalDeclaration(const std::string& declared, std::string* reason) {
  const Declaration d = Split(declared);
  const TypeWord* entry = FindWord(d.word);
  const ValueKind kind = d.word == "NUMERIC" && d.first > 0
                             ? ValueKind::kDecimal
                             : (entry != nullptr ? entry->kind : ValueKind::kUnsupported);
  if (d.word.empty() || d.malformed) {
    *reason = fmt::format("'{}' is not a column type", declared);
    return "";
  }
  if (entry == nullptr) {
    *reason = fmt::format("unknown column type '{}'", declared);
    return "";
  }
  if (d.word == "COUNTER" || d.word == "AUTOINCREMENT") {
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
  long long integer = 0;
  switch (type.kind) {
    case ValueKind::kInteger:
      if (!ParseInteger(text, INT32_MIN, INT32_MAX, &integer))
        return IntegerReason(text, INT32_MIN, INT32_MAX);
      value->lVal = static_cast<LONG>(integer);
      value->vt = VT_I4;
      return "";
    case ValueKind::kBigInt:
      if (!ParseInteger(text, INT64_MIN, INT64_MAX, &integer))
        return IntegerReason(text, INT64_MIN, INT64_MAX);
      value->llVal = integer;
      value->vt = VT_I8;
      return "";
    case ValueKind::kSmallInt:
      if (!ParseInteger(text, INT16_MIN, INT16_MAX, &integer))
        return IntegerReason(text, INT16_MIN, INT16_MAX);
      value->iVal = static_cast<SHORT>(integer);
      value->vt = VT_I2;
      return "";
    case ValueKind::kByte:
      if (!ParseInteger(text, 0, 255, &integer)) return IntegerReason(text, 0, 255);
      value->bVal = static_cast<BYTE>(integer);
      value->vt = VT_UI1;
      return "";
    case ValueKind::kBoolean: {
      VARIANT_BOOL flag = VARIANT_FALSE;
      const std::string reason = ParseBoolean(text, &flag);
      if (!reason.empty()) return reason;
      value->boolVal = flag;
      value->vt = VT_BOOL;
      return "";
    }
    case ValueKind::kSingle: {
      float real = 0;
      if (!ParseFloat(text, &real)) return NumberReason(text, "a single-precision number", true);
      value->fltVal = real;
      value->vt = VT_R4;
      return "";
    }
    case ValueKind::kDouble: {
      double real = 0;
      if (!ParseDouble(text, &real)) return NumberReason(text, "a number", false);
      value->dblVal = real;
      value->vt = VT_R8;
      return "";
    }
    case ValueKind::kCurrency: {
      ExactNumber number;
      if (!ParseExact(text, &number) || number.scale > 4)
        return fmt::format("'{}' is not an amount with at most 4 decimals", Echo(text));
      Int128 scaled = number.digits;
      for (int i = number.scale; i < 4; ++i) scaled *= 10;
      const Int128 limit = number.negative ? Int128(INT64_MAX) + 1 : Int128(INT64_MAX);
      if (number.integerDigits > 15 || scaled > limit)
        return fmt::format("'{}' is out of the currency range", Echo(text));
      value->cyVal.int64 = number.negative
                               ? static_cast<LONGLONG>(0 - static_cast<uint64_t>(scaled))
                               : static_cast<LONGLONG>(scaled);
      value->vt = VT_CY;
      return "";
    }
    case ValueKind::kDate: {
      DATE date = 0;
      if (!ParseDate(trimmed, &date))
        return fmt::format("'{}' is not a date (YYYY-MM-DD[ HH:MM[:SS]] or HH:MM[:SS])",
                           Echo(text));
      value->date = date;
      value->vt = VT_DATE;
      return "";
    }
    case ValueKind::kDecimal: {
      ExactNumber number;
      if (!ParseExact(text, &number))
        return fmt::format("'{}' is not a decimal number", Echo(text));
      const Int128 max96 = (Int128(1) << 96) - 1;
      if (number.digits > max96 || number.scale > 28)
        return fmt::format("'{}' is out of the decimal range", Echo(text));
      if (number.scale > type.scale)
        return fmt::format("'{}' has more than {} decimals", Echo(text), type.scale);
      if (type.precision > 0 && number.integerDigits > type.precision - type.scale)
        return fmt::format("'{}' has more than {} digits before the point", Echo(text),
                           type.precision - type.scale);
      DECIMAL& decimal = value->decVal;
      decimal.scale = static_cast<BYTE>(number.scale);
      decimal.sign = number.negative ? DECIMAL_NEG : 0;
      decimal.Hi32 = static_cast<ULONG>(number.digits >> 64);
      decimal.Lo64 = static_cast<ULONGLONG>(number.digits);
      value->vt = VT_DECIMAL;
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
  switch (value.vt) {
    case VT_EMPTY:
    case VT_NULL:
      return "";
    case VT_I1:
      return std::to_string(value.cVal);
    case VT_I2:
      return std::to_string(value.iVal);
    case VT_I4:
    case VT_INT:
      return std::to_string(value.lVal);
    case VT_I8:
      return std::to_string(value.llVal);
    case VT_UI1:
      return std::to_string(value.bVal);
    case VT_UI2:
      return std::to_string(value.uiVal);
    case VT_UI4:
    case VT_UINT:
      return std::to_string(value.ulVal);
    case VT_UI8:
      return std::to_string(value.ullVal);
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE ? "true" : "false";
    case VT_R4:
      return FloatText(value.fltVal);
    case VT_R8:
      return DoubleText(value.dblVal);
    case VT_CY: {
      const LONGLONG amount = value.cyVal.int64;
      const Int128 magnitude =
          amount < 0 ? Int128(0 - static_cast<uint64_t>(amount)) : Int128(amount);
      return ExactText(magnitude, amount < 0, 4);
    }
    case VT_DATE:
      return DateText(value.date);
    case VT_DECIMAL: {
      const DECIMAL& decimal = value.decVal;
      const Int128 digits = (Int128(decimal.Hi32) << 64) | decimal.Lo64;
      return ExactText(digits, (decimal.sign & DECIMAL_NEG) != 0, decimal.scale);
    }
    case VT_BSTR:
      return FromBstr(value.bstrVal);
    case VT_ARRAY | VT_UI1: {
      const SAFEARRAY* array = value.parray;
      std::string text = "0x";
      if (array != nullptr) {
        const auto* bytes = static_cast<const unsigned char*>(array->pvData);
        for (ULONG i = 0; i < array->rgsabound[0].cElements; ++i)
          text += fmt::format("{:02x}", bytes[i]);
      }
      return text;
    }
    default:
      return fmt::format("<value of type {}>", value.vt);
  }
}
