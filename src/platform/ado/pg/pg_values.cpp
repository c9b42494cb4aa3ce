// Column types and values of the PostgreSQL engine. Parameters travel as text (binary only for
// bytea); rows as text, or in binary form where every column of a table has a type whose binary
// form is read here. Either way integers and booleans become stored integers, reals stored
// reals, numeric and money exact decimal text, dates "YYYY-MM-DD HH:MM:SS.fff" text, so that the
// codec that serves SQLite delivers them to the same VARIANTs.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>

#include "platform/ado/pg/pg_internal.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/numbers.h"

namespace platform {
namespace ado {
namespace pg {
namespace {

// Base type identifiers of the server (they are fixed in its catalogue).
constexpr Oid kBool = 16, kBytea = 17, kChar = 18, kName = 19, kInt8 = 20, kInt2 = 21, kInt4 = 23,
              kText = 25, kOid = 26, kFloat4 = 700, kFloat8 = 701, kMoney = 790, kBpchar = 1042,
              kVarchar = 1043, kDate = 1082, kTime = 1083, kTimestamp = 1114, kTimestamptz = 1184,
              kTimetz = 1266, kNumeric = 1700;

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

StoredValue Text(const char* bytes, size_t size) {
  StoredValue value;
  value.storage = StoredValue::kText;
  value.bytes = bytes;
  value.size = static_cast<int>(size);
  return value;
}

// "YYYY-MM-DD HH:MM:SS[.ffffff][+zz]" as the engines store dates: the fraction cut to
// milliseconds (values written through the objects carry no more), the zone of a timestamp with
// time zone (the session runs in UTC) dropped.
StoredValue TimestampText(const char* text, int length, std::string* scratch) {
  std::string_view value(text, static_cast<size_t>(length));
  if (value.size() >= 19 && value[10] == ' ') {
    size_t end = 19;
    if (end < value.size() && value[end] == '.') {
      size_t digits = end + 1;
      while (digits < value.size() && value[digits] >= '0' && value[digits] <= '9') ++digits;
      end = std::min(digits, static_cast<size_t>(23));
      // A fraction of zeros after the milliseconds reads as none.
      while (end > 20 && value[end - 1] == '0') --end;
      if (end == 20) end = 19;
    }
    size_t zone = end;
    while (zone < value.size() && value[zone] >= '0' && value[zone] <= '9') ++zone;
    if (zone < value.size() && (value[zone] == '+' || value[zone] == '-')) {
      scratch->assign(value.substr(0, end));
      return Text(scratch->data(), scratch->size());
    }
    if (end != value.size()) {
      scratch->assign(value.substr(0, end));
      return Text(scratch->data(), scratch->size());
    }
  }
  return Text(text, value.size());
}

uint64_t BigEndian(const unsigned char* in, int size) {
  switch (size) {
    case 2: {
      uint16_t value;
      std::memcpy(&value, in, 2);
      return __builtin_bswap16(value);
    }
    case 4: {
      uint32_t value;
      std::memcpy(&value, in, 4);
      return __builtin_bswap32(value);
    }
    case 8: {
      uint64_t value;
      std::memcpy(&value, in, 8);
      return __builtin_bswap64(value);
    }
    default: {
      uint64_t value = 0;
      for (int i = 0; i < size; ++i) value = (value << 8) | in[i];
      return value;
    }
  }
}

void TwoDigits(int value, char* out) {
  out[0] = static_cast<char>('0' + value / 10);
  out[1] = static_cast<char>('0' + value % 10);
}

// The text the server writes for a numeric (its binary form: digit count, weight of the first
// base-10000 digit, sign, display scale, digits), exactly: the integer part without leading
// zeros, then as many fraction digits as the display scale says.
[[gnu::noinline]] bool NumericText(const unsigned char* in, int length, std::string* text) {
  if (length < 8) return false;
  const int digits = static_cast<int16_t>(static_cast<uint16_t>(BigEndian(in, 2)));
  const int weight = static_cast<int16_t>(static_cast<uint16_t>(BigEndian(in + 2, 2)));
  const unsigned sign = static_cast<unsigned>(BigEndian(in + 4, 2));
  const int scale = static_cast<int16_t>(static_cast<uint16_t>(BigEndian(in + 6, 2)));
  if (digits < 0 || scale < 0 || length != 8 + 2 * digits) return false;
  text->clear();
  if (sign == 0xC000) {
    *text = "NaN";
    return true;
  }
  if (sign == 0xD000 || sign == 0xF000) {
    *text = sign == 0xD000 ? "Infinity" : "-Infinity";
    return true;
  }
  if (sign != 0 && sign != 0x4000) return false;
  auto digit = [in, digits](int at) {
    return at >= 0 && at < digits ? static_cast<int>(BigEndian(in + 8 + 2 * at, 2)) : 0;
  };
  for (int d = 0; d < digits; ++d)
    if (digit(d) > 9999) return false;
  if (sign == 0x4000) text->push_back('-');
  int d = 0;
  if (weight < 0) {
    d = weight + 1;
    text->push_back('0');
  } else {
    for (; d <= weight; ++d) {
      char four[4];
      int dig = digit(d);
      for (int k = 3; k >= 0; --k, dig /= 10) four[k] = static_cast<char>('0' + dig % 10);
      int from = 0;
      if (d == 0)
        while (from < 3 && four[from] == '0') ++from;
      text->append(four + from, static_cast<size_t>(4 - from));
    }
  }
  if (scale > 0) {
    text->push_back('.');
    const size_t end = text->size() + static_cast<size_t>(scale);
    for (int written = 0; written < scale; ++d, written += 4) {
      char four[4];
      int dig = digit(d);
      for (int k = 3; k >= 0; --k, dig /= 10) four[k] = static_cast<char>('0' + dig % 10);
      text->append(four, 4);
    }
    text->resize(end);
  }
  return true;
}

// A timestamp (microseconds from 2000-01-01 00:00:00) in its parts, the year as the calendar
// counts it (0 for 1 BC, -1 for 2 BC, ...).
struct Civil {
  int year, month, day, hour, minute, second, fraction;
};

Civil CivilOf(int64_t micros) {
  constexpr int64_t kDay = 86400LL * 1000000;
  int64_t days = micros / kDay;
  int64_t time = micros - days * kDay;
  if (time < 0) {
    time += kDay;
    days -= 1;
  }
  // The civil date of a Julian day number (2451545 is 2000-01-01).
  unsigned julian = static_cast<unsigned>(days + 2451545);
  julian += 32044;
  unsigned quad = julian / 146097;
  const unsigned extra = (julian - quad * 146097) * 4 + 3;
  julian += 60 + quad * 3 + extra / 146097;
  quad = julian / 1461;
  julian -= quad * 1461;
  int y = static_cast<int>(julian * 4 / 1461);
  julian = ((y != 0) ? ((julian + 305) % 365) : ((julian + 306) % 366)) + 123;
  y += static_cast<int>(quad * 4);
  const int year = y - 4800;
  quad = julian * 2141 / 65536;
  const int day = static_cast<int>(julian - 7834 * quad / 256);
  const int month = static_cast<int>((quad + 10) % 12 + 1);
  const int hour = static_cast<int>(time / 3600000000LL);
  time -= hour * 3600000000LL;
  const int minute = static_cast<int>(time / 60000000);
  time -= minute * 60000000LL;
  const int second = static_cast<int>(time / 1000000);
  const int fraction = static_cast<int>(time - second * 1000000LL);
  return {year, month, day, hour, minute, second, fraction};
}

// The text the server writes for a timestamp in the ISO date style: "YYYY-MM-DD HH:MM:SS", the
// fraction without its trailing zeros when there is one, the zone "+00" of a timestamp with time
// zone (the session runs in UTC), " BC" for years before 1; "infinity" and "-infinity" at the
// ends.
void TimestampServerText(int64_t micros, bool zone, std::string* text) {
  if (micros == std::numeric_limits<int64_t>::max()) {
    *text = "infinity";
    return;
  }
  if (micros == std::numeric_limits<int64_t>::min()) {
    *text = "-infinity";
    return;
  }
  const auto [year, month, day, hour, minute, second, fraction] = CivilOf(micros);
  char buffer[64];
  int size = snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d",
                      year > 0 ? year : 1 - year, month, day, hour, minute, second);
  if (fraction != 0) {
    int digits = 6, rest = fraction;
    while (rest % 10 == 0) {
      rest /= 10;
      --digits;
    }
    size +=
        snprintf(buffer + size, sizeof buffer - static_cast<size_t>(size), ".%0*d", digits, rest);
  }
  text->assign(buffer, static_cast<size_t>(size));
  if (zone) text->append("+00");
  if (year <= 0) text->append(" BC");
}

// The stored value of a timestamp in binary form (microseconds from 2000-01-01 00:00:00). Out
// of line: the integers and reals, the most of the values, keep a small DecodeBinary.
[[gnu::noinline]] StoredValue BinaryTimestamp(int64_t micros, bool zone, std::string* scratch) {
  // Years 1 to 9999 directly in the form TimestampText gives the server's text: the
  // fraction cut to milliseconds, without trailing zeros.
  constexpr int64_t kFirst = -63082281600000000LL;  // 0001-01-01 00:00:00
  constexpr int64_t kEnd = 252455616000000000LL;    // 10000-01-01 00:00:00
  if (micros >= kFirst && micros < kEnd) {
    const Civil civil = CivilOf(micros);
    char out[23];
    const int year = civil.year;
    TwoDigits(year / 100, out);
    TwoDigits(year % 100, out + 2);
    out[4] = '-';
    TwoDigits(civil.month, out + 5);
    out[7] = '-';
    TwoDigits(civil.day, out + 8);
    out[10] = ' ';
    TwoDigits(civil.hour, out + 11);
    out[13] = ':';
    TwoDigits(civil.minute, out + 14);
    out[16] = ':';
    TwoDigits(civil.second, out + 17);
    size_t size = 19;
    int millis = civil.fraction / 1000;
    if (millis != 0) {
      out[19] = '.';
      out[20] = static_cast<char>('0' + millis / 100);
      out[21] = static_cast<char>('0' + millis / 10 % 10);
      out[22] = static_cast<char>('0' + millis % 10);
      size = 23;
      while (out[size - 1] == '0') --size;
    }
    scratch->assign(out, size);
    return Text(scratch->data(), size);
  }
  TimestampServerText(micros, zone, scratch);
  const StoredValue stamp =
      TimestampText(scratch->data(), static_cast<int>(scratch->size()), scratch);
  // TimestampText keeps a prefix of its input, in place when it copies.
  return Text(scratch->data(), static_cast<size_t>(stamp.size));
}

}  // namespace

Decode DecodeFor(Oid type) {
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid:
      return Decode::kInteger;
    case kBool:
      return Decode::kBoolean;
    case kFloat4:
      return Decode::kFloat4;
    case kFloat8:
      return Decode::kFloat8;
    case kMoney:
      return Decode::kMoney;
    case kNumeric:
      return Decode::kNumeric;
    case kTimestamp:
      return Decode::kTimestamp;
    case kTimestamptz:
      return Decode::kTimestampZone;
    case kTime:
    case kTimetz:
      return Decode::kTime;
    case kBytea:
      return Decode::kBytea;
    default:
      return Decode::kText;
  }
}

StoredValue DecodeValue(Decode decode, const char* text, int length, std::string* scratch) {
  StoredValue value;
  switch (decode) {
    case Decode::kInteger: {
      int64_t integer = 0;
      const auto [end, error] = std::from_chars(text, text + length, integer);
      if (error == std::errc() && end == text + length && length > 0) {
        value.storage = StoredValue::kInteger;
        value.integer = integer;
        return value;
      }
      break;
    }
    case Decode::kBoolean:
      value.storage = StoredValue::kInteger;
      value.integer = length > 0 && text[0] == 't' ? 1 : 0;
      return value;
    case Decode::kFloat4:
    case Decode::kFloat8: {
      // A real's text is its shortest exact form; a 4-byte real is read as one, so that it
      // converts back without change.
      // from_chars reads the same digits without the locale (strtod would take a decimal
      // comma from the caller's LC_NUMERIC).
      double real = 0;
      const char* end = text;
      std::errc error = std::errc();
      if (decode == Decode::kFloat4) {
        float single = 0;
        const auto read = std::from_chars(text, text + length, single);
        end = read.ptr;
        error = read.ec;
        real = static_cast<double>(single);
      } else {
        const auto read = std::from_chars(text, text + length, real);
        end = read.ptr;
        error = read.ec;
      }
      if (error == std::errc() && end == text + length && length > 0) {
        value.storage = StoredValue::kReal;
        value.real = std::isnan(real) ? std::numeric_limits<double>::quiet_NaN() : real;
        return value;
      }
      break;
    }
    case Decode::kMoney:
      scratch->clear();
      for (int i = 0; i < length; ++i)
        if ((text[i] >= '0' && text[i] <= '9') || text[i] == '.' || text[i] == '-')
          scratch->push_back(text[i]);
      return Text(scratch->data(), scratch->size());
    case Decode::kTimestamp:
    case Decode::kTimestampZone:
      return TimestampText(text, length, scratch);
    case Decode::kTime: {
      // A time of day is a date on day 0, 30 December 1899.
      const std::string full = "1899-12-30 " + std::string(text, static_cast<size_t>(length));
      const StoredValue stamp = TimestampText(full.data(), static_cast<int>(full.size()), scratch);
      if (stamp.bytes == full.data()) *scratch = full;
      return Text(scratch->data(), static_cast<size_t>(stamp.size));
    }
    case Decode::kBytea:
      if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
        scratch->clear();
        for (int i = 2; i + 1 < length; i += 2) {
          const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
          if (high < 0 || low < 0) break;
          scratch->push_back(static_cast<char>(high * 16 + low));
        }
        value.storage = StoredValue::kBlob;
        value.bytes = scratch->data();
        value.size = static_cast<int>(scratch->size());
        return value;
      }
      break;
    case Decode::kText:
    case Decode::kNumeric:
      break;
  }
  return Text(text, static_cast<size_t>(length));
}

bool ReadsAsBinary(Oid type) {
  switch (type) {
    case kBool:
    case kBytea:
    case kInt8:
    case kInt2:
    case kInt4:
    case kText:
    case kFloat4:
    case kFloat8:
    case kBpchar:
    case kVarchar:
    case kTimestamp:
    case kTimestamptz:
    case kNumeric:
      return true;
    default:
      return false;
  }
}

StoredValue DecodeBinary(Decode decode, const char* bytes, int length, std::string* scratch) {
  StoredValue value;
  if (DecodeFixed(decode, bytes, length, &value)) return value;
  value = StoredValue();
  const unsigned char* in = reinterpret_cast<const unsigned char*>(bytes);
  switch (decode) {
    case Decode::kInteger:
    case Decode::kBoolean:
    case Decode::kFloat4:
    case Decode::kFloat8:
      break;  // a length the type does not have: its bytes as they are
    case Decode::kNumeric:
      if (NumericText(in, length, scratch)) return Text(scratch->data(), scratch->size());
      break;
    case Decode::kTimestamp:
    case Decode::kTimestampZone:
      if (length == 8)
        return BinaryTimestamp(static_cast<int64_t>(BigEndian(in, 8)),
                               decode == Decode::kTimestampZone, scratch);
      break;
    case Decode::kBytea:
      value.storage = StoredValue::kBlob;
      value.bytes = bytes;
      value.size = length;
      return value;
    case Decode::kText:
    case Decode::kMoney:
    case Decode::kTime:
      break;
  }
  return Text(bytes, static_cast<size_t>(length));
}

ColumnType ColumnTypeOf(std::string_view declared) {
  // Domains may come qualified by their schema, names quoted where they need it.
  std::string name(declared);
  const size_t paren = name.find('(');
  const size_t dot = name.rfind('.', paren == std::string::npos ? name.size() : paren);
  if (dot != std::string::npos) name.erase(0, dot + 1);
  name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
  const std::string lower = LowerAscii(name);
  std::string jet;
  if (lower.find('[') != std::string::npos) {
    jet = "";  // arrays: their text as it is
  } else if (StartsWith(lower, "character varying")) {
    jet = "VARCHAR" + name.substr(17);
  } else if (StartsWith(lower, "real")) {
    jet = "SINGLE";  // 4 bytes, as Jet's SINGLE
  } else if (lower == "numeric") {
    jet = "DECIMAL";  // no precision given: the exact number
  } else if (StartsWith(lower, "bytea")) {
    jet = "LONGBINARY";
  } else if (StartsWith(lower, "bit")) {
    jet = "LONGTEXT";  // a bit string, not Jet's BIT
  } else if (lower == "oid") {
    jet = "BIGINT";
  } else if (lower == "name") {
    jet = "VARCHAR(63)";
  } else if (lower == "\"char\"" || lower == "char") {
    jet = "CHAR(1)";
  } else {
    jet = name;
  }
  ColumnType type = ColumnTypeFromDeclared(jet.c_str());
  if (type.kind == ColumnKind::kUntyped && !jet.empty()) {
    // A type of the server's that Jet did not have (uuid, json, ...): its text.
    type = ColumnTypeFromDeclared("LONGTEXT");
  }
  type.numericAffinity = false;  // the server keeps text as text
  return type;
}

std::string DeclaredOfType(Oid type, int typmod) {
  switch (type) {
    case kBool:
      return "boolean";
    case kBytea:
      return "bytea";
    case kChar:
      return "char";
    case kName:
      return "name";
    case kInt8:
      return "bigint";
    case kInt2:
      return "smallint";
    case kInt4:
      return "integer";
    case kText:
      return "text";
    case kOid:
      return "oid";
    case kFloat4:
      return "real";
    case kFloat8:
      return "double precision";
    case kMoney:
      return "money";
    case kBpchar:
      return typmod > 4 ? "character(" + std::to_string(typmod - 4) + ")" : "character";
    case kVarchar:
      return typmod > 4 ? "character varying(" + std::to_string(typmod - 4) + ")"
                        : "character varying";
    case kDate:
      return "date";
    case kTime:
    case kTimetz:
      return "time";
    case kTimestamp:
    case kTimestamptz:
      return "timestamp";
    case kNumeric:
      if (typmod > 4)
        return "numeric(" + std::to_string(((typmod - 4) >> 16) & 0xFFFF) + "," +
               std::to_string((typmod - 4) & 0xFFFF) + ")";
      return "numeric";
    default:
      return "text";
  }
}

void EncodeParam(const VARIANT& value, Param* param) {
  param->null = false;
  param->binary = false;
  char buffer[64];
  switch (value.vt) {
    case VT_I1:
      param->bytes = std::to_string(static_cast<signed char>(value.cVal));
      return;
    case VT_I2:
      param->bytes = std::to_string(value.iVal);
      return;
    case VT_I4:
    case VT_INT:
      param->bytes = std::to_string(value.lVal);
      return;
    case VT_I8:
      param->bytes = std::to_string(value.llVal);
      return;
    case VT_UI1:
      param->bytes = std::to_string(value.bVal);
      return;
    case VT_UI2:
      param->bytes = std::to_string(value.uiVal);
      return;
    case VT_UI4:
    case VT_UINT:
      param->bytes = std::to_string(value.ulVal);
      return;
    case VT_UI8:
      param->bytes = std::to_string(value.ullVal);
      return;
    case VT_BOOL:
      param->bytes = value.boolVal != 0 ? "true" : "false";
      return;
    case VT_R4:
    case VT_R8: {
      const double real = value.vt == VT_R4 ? value.fltVal : value.dblVal;
      if (std::isnan(real)) {
        param->bytes = "NaN";
      } else if (std::isinf(real)) {
        param->bytes = real > 0 ? "Infinity" : "-Infinity";
      } else {
        // Enough digits to read back the same real.
        snprintf(buffer, sizeof buffer, value.vt == VT_R4 ? "%.9g" : "%.17g", real);
        param->bytes = buffer;
      }
      return;
    }
    case VT_CY:
      param->bytes = CyToText(value.cyVal);
      return;
    case VT_DECIMAL:
      param->bytes = DecimalToText(value.decVal);
      return;
    case VT_DATE:
      param->bytes = DateToText(value.date);
      return;
    case VT_BSTR:
      param->bytes.clear();
      AppendUtf8(value.bstrVal, SysStringLen(value.bstrVal), &param->bytes);
      return;
    case VT_ARRAY | VT_UI1:
      param->binary = true;
      if (value.parray != nullptr)
        param->bytes.assign(static_cast<const char*>(value.parray->pvData),
                            value.parray->rgsabound[0].cElements);
      else
        param->bytes.clear();
      return;
    default:
      param->null = true;
      param->bytes.clear();
      return;
  }
}

}  // namespace pg
}  // namespace ado
}  // namespace platform
