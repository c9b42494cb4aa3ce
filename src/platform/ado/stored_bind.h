// Stored values and SQLite statements: the one place that maps StoredValue's classes to
// sqlite3_bind_* and back from a row's column, shared by the cursor, the Jet reader's copy and
// the tool's table readers.
#ifndef ZEMA_PLATFORM_ADO_STORED_BIND_H
#define ZEMA_PLATFORM_ADO_STORED_BIND_H

#include <sqlite3.h>

#include "platform/ado/value_codec.h"

namespace platform {
namespace ado {

// Binds value to parameter index of statement and returns SQLite's result code. Text and blob
// bytes are bound with lifetime: SQLITE_STATIC when they stay valid until the statement is
// stepped or reset, SQLITE_TRANSIENT to let SQLite copy them. A blob of size 0 binds as an empty
// blob, not as NULL.
inline int BindStored(sqlite3_stmt* statement, int index, const StoredValue& value,
                      sqlite3_destructor_type lifetime) {
  switch (value.storage) {
    case StoredValue::kInteger:
      return sqlite3_bind_int64(statement, index, value.integer);
    case StoredValue::kReal:
      return sqlite3_bind_double(statement, index, value.real);
    case StoredValue::kText:
      return sqlite3_bind_text(statement, index, value.bytes, value.size, lifetime);
    case StoredValue::kBlob:
      return sqlite3_bind_blob(statement, index, value.size > 0 ? value.bytes : "", value.size,
                               lifetime);
    default:
      return sqlite3_bind_null(statement, index);
  }
}

// The value of one column of the statement's current row. Text and blob bytes point into the
// statement and stay valid until it is stepped, reset or finalized, or the column is read as
// another type. A single call on the statement (the one that takes its connection's lock); the
// value's accessors that follow take none.
inline StoredValue ReadStored(sqlite3_stmt* statement, int column) {
  sqlite3_value* cell = sqlite3_column_value(statement, column);
  StoredValue value;
  switch (sqlite3_value_type(cell)) {
    case SQLITE_INTEGER:
      value.storage = StoredValue::kInteger;
      value.integer = sqlite3_value_int64(cell);
      break;
    case SQLITE_FLOAT:
      value.storage = StoredValue::kReal;
      value.real = sqlite3_value_double(cell);
      break;
    case SQLITE_TEXT:
      value.storage = StoredValue::kText;
      value.bytes = reinterpret_cast<const char*>(sqlite3_value_text(cell));
      value.size = sqlite3_value_bytes(cell);
      break;
    case SQLITE_BLOB:
      value.storage = StoredValue::kBlob;
      value.bytes = static_cast<const char*>(sqlite3_value_blob(cell));
      value.size = sqlite3_value_bytes(cell);
      break;
    default:
      break;
  }
  return value;
}

}  // namespace ado
}  // namespace platform

#endif
