// Field values: the column types of value tables, and the conversion of values between the text
// of a CSV or JSON file and the VARIANTs that the library exchanges. Numbers and dates go
// through the library's VariantChangeType; the forms below are what the tool adds to it.
//
// Text forms (what export writes and import reads):
//   integers and reals   decimal text ("42", "-1.5", "2.5e-3"); reals are written in the shortest
//                        form that reads back to the same value
//   booleans             true/false (import also takes yes/no, on/off, 1/0, -1)
//   currency, decimal    exact decimal text ("1234.5678"), no exponent
//   dates                "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" (also with "T"), or "HH:MM:SS"
//                        (a time of day alone: day 0, 1899-12-30, with a time is written so)
//   text                 UTF-8
// An empty value means "no value" (NULL): it is neither written nor exported.
#ifndef ZEMATAG_VALUES_H
#define ZEMATAG_VALUES_H

#include <string>

#include "oleauto.h"

enum class ValueKind {
  kInteger,
  kBigInt,
  kSmallInt,
  kByte,
  kBoolean,
  kSingle,
  kDouble,
  kCurrency,
  kDate,
  kDecimal,
  kText,
  kLongText,
  kUnsupported,  // binary or untyped columns: the tool neither writes nor declares them
};

struct ColumnType {
  ValueKind kind = ValueKind::kUnsupported;
  int size = 0;       // kText: the most characters a value may have
  int precision = 0;  // kDecimal: digits in all (0: up to 28)
  int scale = 0;      // kDecimal: the most digits after the point (precision 0: up to 28)
};

// The meaning of a declared column type, read the way the library reads it (first word,
// case-insensitive, "(n)" or "(p,s)" after it).
ColumnType ColumnTypeOf(const std::string& declared);

// The declaration `zematag init` writes for a type written in a type description, or "" when
// the tool does not declare that type (unknown, binary, auto-numbered). Synonyms whose SQLite
// affinity would change stored values are replaced: MEMO and NTEXT by LONGTEXT, SINGLE by
// FLOAT4, NUMBER and NUMERIC without precision by DOUBLE; VARCHAR without size gets (255).
std::string CanonicalDeclaration(const std::string& declared, std::string* reason);

// Converts text to a VARIANT of the column's type into *value (which must hold a valid VARIANT
// and is cleared first). Returns "" on success, else the reason and *value is VT_EMPTY.
std::string TextToVariant(const std::string& text, const ColumnType& type, VARIANT* value);

// The text form of a value (see above); "" for VT_EMPTY and VT_NULL. Byte arrays are written
// as 0x followed by hex digits.
std::string VariantToText(const VARIANT& value);

// Whether *value holds no value (VT_EMPTY or VT_NULL).
inline bool IsNoValue(const VARIANT& value) { return value.vt == VT_EMPTY || value.vt == VT_NULL; }

// Real numbers as text in the shortest form that reads back exactly.
std::string FloatText(float value);
std::string DoubleText(double value);

// Parses a single-precision real (finite, in range, not too small to tell from zero). Returns
// false when it does not convert.
bool ParseFloat(const std::string& text, float* value);

// Parses a display scale (SCH, SCL) into the 32-bit float the display record holds. Returns ""
// on success, else the reason: not a number, beyond the float range, too small, or (unless
// round) a value the float cannot hold as written, naming the value that would be stored.
std::string ParseScale(const std::string& text, bool round, float* value);

// A VARIANT that clears itself.
class OwnedVariant {
 public:
  OwnedVariant() { VariantInit(&value); }
  ~OwnedVariant() { VariantClear(&value); }
  OwnedVariant(const OwnedVariant& other) {
    VariantInit(&value);
    VariantCopy(&value, &other.value);
  }
  OwnedVariant& operator=(const OwnedVariant& other) {
    if (this != &other) VariantCopy(&value, &other.value);
    return *this;
  }

  VARIANT value;
};

#endif
