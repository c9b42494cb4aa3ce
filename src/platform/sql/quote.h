// The one quoter of SQL identifiers in the project: the data-access stand-in and its engines,
// the tag database layer and the command-line tool all quote table, column, index and trigger
// names through it.
//
// It lives on the ground floor of the layers (src/platform outside ado/), which every layer may
// include, and in zema_platform_common, which the tool and the benchmarks link as well.
#ifndef ZEMA_PLATFORM_SQL_QUOTE_H
#define ZEMA_PLATFORM_SQL_QUOTE_H

#include <string>
#include <string_view>

namespace platform {
namespace sql {

// name as an SQL identifier, for SQLite and the PostgreSQL server alike: between double quotes,
// with every double quote inside doubled ("a\"b" gives "\"a\"\"b\""), so that any name (one read
// from a database, say) stands for itself and nothing more. Every other byte, a zero byte
// included, is kept as it is; blanks and brackets around the name are part of it.
std::string QuoteName(std::string_view name);

}  // namespace sql
}  // namespace platform

#endif
