#include "support/SqliteFile.h"

#include <sqlite3.h>

#include <stdexcept>

#include "support/TestEngine.h"

namespace {

// An open handle on an existing or new file, closed when the object goes.
class Handle {
 public:
  Handle(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      std::string message = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw std::runtime_error("cannot open " + path + ": " + message);
    }
  }
  ~Handle() { sqlite3_close(db); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  sqlite3* get() const { return db; }

 private:
  sqlite3* db = nullptr;
};

}  // namespace

void CreateDatabase(const std::string& path, const std::string& sql) {
  if (IsServerUri(path)) return ExecServerSql(path, sql);
  Handle db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  char* error = nullptr;
  if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("SQL failed on " + path + ": " + message);
  }
}

std::string QueryValue(const std::string& path, const std::string& query) {
  if (IsServerUri(path)) return QueryServerText(path, query);
  Handle db(path, SQLITE_OPEN_READONLY);
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db.get(), query.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    throw std::runtime_error("query failed: " + std::string(sqlite3_errmsg(db.get())));
  std::string value;
  const int step = sqlite3_step(statement);
  if (step == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    if (text != nullptr) value = reinterpret_cast<const char*>(text);
  }
  sqlite3_finalize(statement);
  if (step != SQLITE_ROW && step != SQLITE_DONE)
    throw std::runtime_error("query failed: " + std::string(sqlite3_errmsg(db.get())));
  return value;
}
