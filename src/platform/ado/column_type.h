// What a declared column type means to the data-access objects: the VARIANT a value of the
// column is delivered as, its ADO type, size and attributes, and how SQLite's type affinity
// treats what is stored in it.
#ifndef ZEMA_PLATFORM_ADO_COLUMN_TYPE_H
#define ZEMA_PLATFORM_ADO_COLUMN_TYPE_H

#include <string>

#include "platform/ado/ado.h"

namespace platform {
namespace ado {

// The value kinds of columns; each delivers one VARIANT type.
enum class ColumnKind : unsigned char {
  kInteger,   // VT_I4 (VT_I8 for a stored value beyond 32 bits)
  kBigInt,    // VT_I8
  kSmallInt,  // VT_I2
  kByte,      // VT_UI1
  kBoolean,   // VT_BOOL
  kSingle,    // VT_R4
  kDouble,    // VT_R8
  kCurrency,  // VT_CY
  kDate,      // VT_DATE
  kDecimal,   // VT_DECIMAL
  kText,      // VT_BSTR, sized
  kLongText,  // VT_BSTR
  kBinary,    // VT_ARRAY | VT_UI1
  kUntyped,   // the VARIANT of the stored value
};

// The meaning of one declared type.
struct ColumnType {
  ColumnKind kind = ColumnKind::kUntyped;
  DataTypeEnum adoType = adVariant;
  VARTYPE vt = VT_EMPTY;       // VT_EMPTY for kUntyped
  LONG definedSize = 0;        // characters for sized text, bytes otherwise
  int precision = 0;           // kDecimal: digits
  int scale = 0;               // kDecimal: digits after the point delivered at least
  bool scaleDeclared = false;  // kDecimal: values are rounded to `scale` when written
  bool counter = false;        // COUNTER or AUTOINCREMENT: numbered by the provider
  // SQLite's affinity of the declared type is INTEGER, REAL or NUMERIC: text that looks like a
  // number is turned into a number when stored.
  bool numericAffinity = false;
};

// The size ADO reports for long text and long binary columns.
constexpr LONG kLongDefinedSize = 536870910;
// The size of a sized text column declared without a size (VARCHAR, CHAR).
constexpr LONG kDefaultTextSize = 255;

// The type of a column declared as `declared` (null or "" for no declared type). The first word
// decides, case-insensitively; "(n)" or "(p,s)" after it gives the size or precision and scale.
// Unknown type names give kUntyped.
ColumnType ColumnTypeFromDeclared(const char* declared);

}  // namespace ado
}  // namespace platform

#endif
