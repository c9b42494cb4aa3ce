// Column types and values of the PostgreSQL engine. Values travel as the server's text (binary
// only for bytea parameters): integers and booleans become stored integers, reals stored reals,
// numeric and money exact decimal text, dates "YYYY-MM-DD HH:MM:SS.fff" text, so that the codec
// that serves SQLite delivers them to the same VARIANTs.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>

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
    case kTimestamp:
    case kTimestamptz:
      return Decode::kTimestamp;
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
      char* end = nullptr;
      const long long integer = strtoll(text, &end, 10);
      if (end == text + length && length > 0) {
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
      char* end = nullptr;
      const double real =
          decode == Decode::kFloat4 ? static_cast<double>(strtof(text, &end)) : strtod(text, &end);
      if (end == text + length && length > 0) {
        value.storage = StoredValue::kReal;
        value.real = real;
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
      break;
  }
  return Text(text, static_cast<size_t>(length));
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
