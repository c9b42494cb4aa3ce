// The PostgreSQL engine under the data-access objects (libpq). Only this folder includes libpq.
//
// A Data Source that is a postgresql:// or postgres:// URI names a server database; everything
// libpq reads from the URI, the environment and the password file applies. Jet type names live on
// the server as domains (long, short, byte, yesno, single, double, currency, datetime, longtext,
// ...); PostgreSQL's own types map to the nearest ADO type.
#ifndef ZEMA_PLATFORM_ADO_PG_PG_ENGINE_H
#define ZEMA_PLATFORM_ADO_PG_PG_ENGINE_H

#include <memory>
#include <string_view>

#include "platform/ado/engine.h"

namespace platform {
namespace ado {
namespace pg {

// True for a postgresql:// or postgres:// URI (scheme case-insensitive).
bool ServesDataSource(std::string_view dataSource);

// Connects to the server: mode 1 (read-only) begins the snapshot transaction, mode 2 (read-write)
// commits every call.
// E_FAIL naming host and database when the server cannot be reached or refuses the login, or
// when the URI does not parse.
HRESULT OpenConnection(const EngineOpenRequest& request,
                       std::unique_ptr<EngineConnection>* connection);

}  // namespace pg
}  // namespace ado
}  // namespace platform

#endif
