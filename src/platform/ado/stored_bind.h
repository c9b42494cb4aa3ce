// Binding a stored value to an SQLite statement: the one place that maps StoredValue's classes
// to sqlite3_bind_*, shared by the cursor's inserts and the Jet reader's copy.
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

}  // namespace ado
}  // namespace platform

#endif
