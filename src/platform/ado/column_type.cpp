#include "platform/ado/column_type.h"

#include <stdlib.h>
#include <string.h>

#include <string>

namespace platform {
namespace ado {
namespace {

std::string UpperAscii(const char* text) {
  std::string upper(text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// SQLite's affinity rules, applied to the whole declared type.
bool HasNumericAffinity(const std::string& upper) {
  if (upper.find("INT") != std::string::npos) return true;
  if (upper.find("CHAR") != std::string::npos || upper.find("CLOB") != std::string::npos ||
      upper.find("TEXT") != std::string::npos)
    return false;
  if (upper.empty() || upper.find("BLOB") != std::string::npos) return false;
  return true;  // REAL, FLOA, DOUB and everything else (NUMERIC)
}

struct TypeName {
  const char* name;
  ColumnKind kind;
};

constexpr TypeName kTypeNames[] = {
    {"COUNTER", ColumnKind::kInteger},   {"AUTOINCREMENT", ColumnKind::kInteger},
    {"LONG", ColumnKind::kInteger},      {"INT", ColumnKind::kInteger},
    {"INTEGER", ColumnKind::kInteger},   {"INT4", ColumnKind::kInteger},
    {"MEDIUMINT", ColumnKind::kInteger}, {"BIGINT", ColumnKind::kBigInt},
    {"INT8", ColumnKind::kBigInt},       {"SHORT", ColumnKind::kSmallInt},
    {"SMALLINT", ColumnKind::kSmallInt}, {"INT2", ColumnKind::kSmallInt},
    {"BYTE", ColumnKind::kByte},         {"TINYINT", ColumnKind::kByte},
    {"BIT", ColumnKind::kBoolean},       {"YESNO", ColumnKind::kBoolean},
    {"BOOLEAN", ColumnKind::kBoolean},   {"BOOL", ColumnKind::kBoolean},
    {"LOGICAL", ColumnKind::kBoolean},   {"SINGLE", ColumnKind::kSingle},
    {"FLOAT4", ColumnKind::kSingle},     {"DOUBLE", ColumnKind::kDouble},
    {"FLOAT", ColumnKind::kDouble},      {"FLOAT8", ColumnKind::kDouble},
    {"REAL", ColumnKind::kDouble},       {"NUMBER", ColumnKind::kDouble},
    {"NUMERIC", ColumnKind::kDouble},    {"DECIMAL", ColumnKind::kDecimal},
    {"CURRENCY", ColumnKind::kCurrency}, {"MONEY", ColumnKind::kCurrency},
    {"DATETIME", ColumnKind::kDate},     {"DATE", ColumnKind::kDate},
    {"TIME", ColumnKind::kDate},         {"TIMESTAMP", ColumnKind::kDate},
    {"VARCHAR", ColumnKind::kText},      {"CHAR", ColumnKind::kText},
    {"NVARCHAR", ColumnKind::kText},     {"NCHAR", ColumnKind::kText},
    {"CHARACTER", ColumnKind::kText},    {"TEXT", ColumnKind::kLongText},
    {"MEMO", ColumnKind::kLongText},     {"LONGTEXT", ColumnKind::kLongText},
    {"CLOB", ColumnKind::kLongText},     {"NTEXT", ColumnKind::kLongText},
    {"BLOB", ColumnKind::kBinary},       {"BINARY", ColumnKind::kBinary},
    {"VARBINARY", ColumnKind::kBinary},  {"LONGBINARY", ColumnKind::kBinary},
    {"IMAGE", ColumnKind::kBinary},      {"OLEOBJECT", ColumnKind::kBinary},
};

void SetKind(ColumnType* type, ColumnKind kind) {
  switch (kind) {
    case ColumnKind::kInteger:
      *type = {kind, adInteger, VT_I4, 4};
      break;
    case ColumnKind::kBigInt:
      *type = {kind, adBigInt, VT_I8, 8};
      break;
    case ColumnKind::kSmallInt:
      *type = {kind, adSmallInt, VT_I2, 2};
      break;
    case ColumnKind::kByte:
      *type = {kind, adUnsignedTinyInt, VT_UI1, 1};
      break;
    case ColumnKind::kBoolean:
      *type = {kind, adBoolean, VT_BOOL, 2};
      break;
    case ColumnKind::kSingle:
      *type = {kind, adSingle, VT_R4, 4};
      break;
    case ColumnKind::kDouble:
      *type = {kind, adDouble, VT_R8, 8};
      break;
    case ColumnKind::kCurrency:
      *type = {kind, adCurrency, VT_CY, 8};
      break;
    case ColumnKind::kDate:
      *type = {kind, adDate, VT_DATE, 8};
      break;
    case ColumnKind::kDecimal:
      *type = {kind, adNumeric, VT_DECIMAL, 19};
      break;
    case ColumnKind::kText:
      *type = {kind, adVarWChar, VT_BSTR, kDefaultTextSize};
      break;
    case ColumnKind::kLongText:
      *type = {kind, adLongVarWChar, VT_BSTR, kLongDefinedSize};
      break;
    case ColumnKind::kBinary:
      *type = {kind, adLongVarBinary, static_cast<VARTYPE>(VT_ARRAY | VT_UI1), kLongDefinedSize};
      break;
    case ColumnKind::kUntyped:
      *type = {kind, adVariant, VT_EMPTY, 16};
      break;
  }
}

}  // namespace

ColumnType ColumnTypeFromDeclared(const char* declared) {
  ColumnType type;
  SetKind(&type, ColumnKind::kUntyped);
  if (declared == nullptr || *declared == '\0') return type;
  const std::string upper = UpperAscii(declared);
  type.numericAffinity = HasNumericAffinity(upper);

  size_t begin = 0;
  while (begin < upper.size() && (upper[begin] == ' ' || upper[begin] == '\t')) ++begin;
  size_t end = begin;
  while (end < upper.size() && ((upper[end] >= 'A' && upper[end] <= 'Z') ||
                                (upper[end] >= '0' && upper[end] <= '9') || upper[end] == '_'))
    ++end;
  const std::string word = upper.substr(begin, end - begin);

  // "(n)" or "(p,s)" anywhere after the first word ("VARCHAR (50)", "DECIMAL(18, 4)").
  long first = -1, second = -1;
  const size_t open = upper.find('(', end);
  if (open != std::string::npos) {
    char* next = nullptr;
    first = strtol(upper.c_str() + open + 1, &next, 10);
    if (next == upper.c_str() + open + 1) first = -1;
    while (next != nullptr && (*next == ' ' || *next == '\t')) ++next;
    if (first >= 0 && next != nullptr && *next == ',') {
      char* after = nullptr;
      second = strtol(next + 1, &after, 10);
      if (after == next + 1) second = -1;
    }
  }

  const bool numericAffinity = type.numericAffinity;
  for (const TypeName& name : kTypeNames) {
    if (word != name.name) continue;
    ColumnKind kind = name.kind;
    if (word == "NUMERIC" && first > 0) kind = ColumnKind::kDecimal;
    SetKind(&type, kind);
    type.numericAffinity = numericAffinity;
    type.counter = word == "COUNTER" || word == "AUTOINCREMENT";
    if (kind == ColumnKind::kText && first > 0) type.definedSize = static_cast<LONG>(first);
    if (kind == ColumnKind::kBinary && word == "VARBINARY" && first > 0) {
      type.adoType = adVarBinary;
      type.definedSize = static_cast<LONG>(first);
    }
    if (kind == ColumnKind::kDecimal) {
      type.precision = first > 0 && first <= 29 ? static_cast<int>(first) : 28;
      type.scale = second >= 0 && second <= 28 ? static_cast<int>(second) : 0;
      type.scaleDeclared = first > 0;
      if (type.scale > type.precision) type.scale = type.precision;
    }
    break;
  }
  // TEXT(n) is Jet's sized text; plain TEXT is long text.
  if (word == "TEXT" && first > 0) {
    SetKind(&type, ColumnKind::kText);
    type.numericAffinity = numericAffinity;
    type.definedSize = static_cast<LONG>(first);
  }
  return type;
}

}  // namespace ado
}  // namespace platform
