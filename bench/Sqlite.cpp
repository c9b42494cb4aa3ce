#include "Sqlite.h"

#include <stdexcept>
#include <utility>

namespace bench {

namespace {

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

SqliteDb::SqliteDb(const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error("open " + path + ": " + message);
  }
}

SqliteDb::~SqliteDb() { sqlite3_close(db); }

void SqliteDb::Exec(const std::string& sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error != nullptr ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error(sql + ": " + message);
  }
}

long long SqliteDb::QueryInt(const std::string& sql) {
  SqliteStatement statement(*this, sql);
  return statement.Step() ? sqlite3_column_int64(statement.Handle(), 0) : 0;
}

SqliteStatement::SqliteStatement(const SqliteDb& owner, const std::string& sql)
    : db(owner.Handle()) {
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
    Fail(db, "prepare " + sql);
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db(other.db), statement(std::exchange(other.statement, nullptr)) {}

bool SqliteStatement::Step() {
  const int result = sqlite3_step(statement);
  if (result == SQLITE_ROW) return true;
  if (result == SQLITE_DONE) return false;
  Fail(db, "step");
}

void SqliteStatement::Run() {
  while (Step()) {
  }
  Reset();
}

void SqliteStatement::Reset() {
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
}

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace bench
