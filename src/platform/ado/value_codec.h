// Values between VARIANTs and SQLite storage: what a stored value is delivered as, how a written
// value is converted to its column's type, and the stored form of each type.
//
// Stored forms (readable with the stock sqlite3 tool):
// - integers and booleans as integers (true as 1), reals as reals, text as UTF-8 text, binary as
//   blobs, dates as "YYYY-MM-DD HH:MM:SS" text with ".fff" only when the milliseconds are not 0;
// - currency and decimal values as an integer when whole, as a real when that double reads back
//   as the same decimal value, else as their exact decimal text;
// - in a column whose SQLite affinity turns numeric text into numbers (MEMO, CURRENCY, DECIMAL,
//   ...), text that looks like a number, or that ends with a zero character, is stored with one
//   zero character appended. SQLite leaves such text alone, the sqlite3 tool and the SQL text
//   functions do not show the zero, and reading removes it again.
#ifndef ZEMA_PLATFORM_ADO_VALUE_CODEC_H
#define ZEMA_PLATFORM_ADO_VALUE_CODEC_H

#include <stdint.h>

#include <string>
#include <string_view>

#include "platform/ado/column_type.h"
#include "platform/utf/utf.h"

namespace platform {
namespace ado {

// A value as SQLite stores it. Text and blob bytes are borrowed.
struct StoredValue {
  enum Class : unsigned char { kNull, kInteger, kReal, kText, kBlob };
  Class storage = kNull;
  int64_t integer = 0;
  double real = 0;
  const char* bytes = nullptr;
  int size = 0;
};

// A new BSTR of UTF-8 text (each malformed byte becomes U+FFFD); null when out of memory.
BSTR Utf8ToBstr(const char* text, size_t size);
// Appends UTF-16 text as UTF-8 (an unpaired surrogate becomes U+FFFD).
using utf::AppendUtf8;
// UTF-8 text as UTF-16; each byte of a malformed character becomes U+FFFD.
inline std::u16string Utf8ToUtf16(std::string_view text) {
  return utf::Utf8ToUtf16(text, utf::Malformed::kOnePerByte);
}

// Delivers a stored value into *out (which the caller has cleared): the VARIANT of the column's
// type, or, when the value does not convert to it exactly, the VARIANT of its storage class.
// E_OUTOFMEMORY when text cannot be allocated (*out stays VT_EMPTY).
HRESULT StoredToVariant(const ColumnType& type, const StoredValue& value, VARIANT* out);

// The text that StoredToVariant delivers for a stored value, when it delivers VT_BSTR text that
// is all ASCII (then *text views the stored bytes) or VT_NULL (then *text is empty); false for
// any other value.
bool StoredAsciiText(const ColumnType& type, const StoredValue& value, std::string_view* text);

// The size in bytes of a stored value as delivered (0 for NULL).
LONG StoredActualSize(const ColumnType& type, const StoredValue& value);

// Converts a value written into a column to the column's VARIANT type into *out (cleared by the
// caller; VT_NULL for VT_EMPTY or VT_NULL). DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW when it does
// not convert, DB_E_DATAOVERFLOW for text longer than a sized column; *why then says why.
HRESULT ConvertForColumn(const ColumnType& type, const VARIANT& in, VARIANT* out, std::string* why);

// The stored form of a value converted by ConvertForColumn. Text and blob bytes point into
// *buffer or into the VARIANT and stay valid while both do.
void EncodeForStorage(const ColumnType& type, const VARIANT& converted, StoredValue* out,
                      std::string* buffer);

}  // namespace ado
}  // namespace platform

#endif
