// What the files of the PostgreSQL engine share: column types, values between server text and
// StoredValue or VARIANT, and the translation of Jet statements.
#ifndef ZEMA_PLATFORM_ADO_PG_PG_INTERNAL_H
#define ZEMA_PLATFORM_ADO_PG_PG_INTERNAL_H

#include <libpq-fe.h>
#include <stdint.h>

#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ado/engine.h"

namespace platform {
namespace ado {
namespace pg {

// How the server's form of a column becomes a StoredValue, by the column's base type.
enum class Decode : unsigned char {
  kText,
  kInteger,
  kBoolean,
  kFloat4,
  kFloat8,
  kNumeric,
  kMoney,
  kTimestamp,
  kTimestampZone,  // with time zone: the session's zone is UTC
  kTime,
  kBytea,
};

Decode DecodeFor(Oid type);
// The stored value of one cell in text form; *scratch holds decoded bytes where the value needs
// them.
StoredValue DecodeValue(Decode decode, const char* text, int length, std::string* scratch);

// True for the base types whose binary form DecodeBinary reads: the integers, boolean, the reals,
// numeric, timestamp with and without time zone, the character types and bytea. A table whose
// columns all have such types is read in binary form, which spares the server the formatting of
// every value and the client its parsing.
bool ReadsAsBinary(Oid type);
// The stored value of one cell in binary form, the same StoredValue that DecodeValue gives for
// the server's text of it.
StoredValue DecodeBinary(Decode decode, const char* bytes, int length, std::string* scratch);

// The integers, booleans and reals of the binary form, most of the values of a tag database,
// decoded inline where rows are read; false for anything else (DecodeBinary reads it).
inline bool DecodeFixed(Decode decode, const char* bytes, int length, StoredValue* value) {
  uint64_t bits = 0;
  switch (length) {
    case 1:
      bits = static_cast<unsigned char>(bytes[0]);
      break;
    case 2: {
      uint16_t raw;
      std::memcpy(&raw, bytes, 2);
      bits = __builtin_bswap16(raw);
      break;
    }
    case 4: {
      uint32_t raw;
      std::memcpy(&raw, bytes, 4);
      bits = __builtin_bswap32(raw);
      break;
    }
    case 8:
      std::memcpy(&bits, bytes, 8);
      bits = __builtin_bswap64(bits);
      break;
    default:
      return false;
  }
  switch (decode) {
    case Decode::kBoolean:
      value->storage = StoredValue::kInteger;
      value->integer = bits != 0 ? 1 : 0;
      return length == 1;
    case Decode::kInteger:
      value->storage = StoredValue::kInteger;
      value->integer = length == 2   ? static_cast<int16_t>(bits)
                       : length == 4 ? static_cast<int32_t>(bits)
                                     : static_cast<int64_t>(bits);
      return length != 1;
    case Decode::kFloat4: {
      if (length != 4) return false;
      const uint32_t narrow = static_cast<uint32_t>(bits);
      float single;
      std::memcpy(&single, &narrow, 4);
      value->storage = StoredValue::kReal;
      // Every NaN reads as the one the server's text "NaN" gives.
      value->real = single != single ? __builtin_nan("") : static_cast<double>(single);
      return true;
    }
    case Decode::kFloat8: {
      if (length != 8) return false;
      double real;
      std::memcpy(&real, &bits, 8);
      value->storage = StoredValue::kReal;
      value->real = real != real ? __builtin_nan("") : real;
      return true;
    }
    default:
      return false;
  }
}

// The type of a column declared as the server names it (format_type: "integer",
// "character varying(31)", "currency", "public.byte", ...).
ColumnType ColumnTypeOf(std::string_view declared);
// The declared name of a base type and its modifier, for columns that come from no table.
std::string DeclaredOfType(Oid type, int typmod);

// A parameter's text (or bytes, for binary data) from a value converted to its column's type.
struct Param {
  bool null = true;
  bool binary = false;
  std::string bytes;
};
void EncodeParam(const VARIANT& value, Param* param);

// A statement translated for the server.
struct Translation {
  std::string literal;                // Jet's forms rewritten, literals as written
  std::string parameterized;          // the same with integer and text literals as $n
  std::vector<std::string> literals;  // the values of $1, $2, ... as text
  bool canParameterize = false;       // false: run `literal`
  bool changesSchema = false;         // CREATE, ALTER, DROP, ...
  bool empty = false;                 // nothing but blanks and comments
  bool several = false;               // more than one statement
};
// Names of tables and columns as the server spells them, looked up case-insensitively: the
// spelling, or "" for a word that names none.
using NameLookup = std::function<std::string(std::string_view word)>;
// Rewrites Jet's "DELETE * FROM" as "DELETE FROM", [bracketed] and `quoted` names as "quoted"
// ones, and quotes every bare word that names a table or column in another case than lower
// case, so that names keep their case as Jet's did.
Translation TranslateStatement(std::string_view sql, const NameLookup& lookup);

// A table name as given (brackets, double or back quotes around it taken off).
std::string Unquote(std::string_view name);

}  // namespace pg
}  // namespace ado
}  // namespace platform

#endif
