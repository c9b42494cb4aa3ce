// Small RAII helpers over the plain SQLite C API, for the generator and the baselines. Every
// failure throws std::runtime_error with the engine's message.
#ifndef ZEMA_BENCH_SQLITE_H
#define ZEMA_BENCH_SQLITE_H

#include <sqlite3.h>

#include <string>

namespace bench {

class SqliteDb {
 public:
  // Opens (flags as sqlite3_open_v2) the file at path.
  SqliteDb(const std::string& path, int flags);
  ~SqliteDb();
  SqliteDb(const SqliteDb&) = delete;
  SqliteDb& operator=(const SqliteDb&) = delete;

  sqlite3* Handle() const { return db; }
  void Exec(const std::string& sql);
  // The first column of the first row as an integer (0 when there is none).
  long long QueryInt(const std::string& sql);

 private:
  sqlite3* db = nullptr;
};

class SqliteStatement {
 public:
  SqliteStatement(const SqliteDb& db, const std::string& sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;
  SqliteStatement(SqliteStatement&& other) noexcept;

  sqlite3_stmt* Handle() const { return statement; }
  // Steps once: true for a row, false when done.
  bool Step();
  // Steps to the end and resets, keeping the bindings cleared.
  void Run();
  void Reset();

 private:
  sqlite3* db;
  sqlite3_stmt* statement = nullptr;
};

// A quoted SQL identifier: "name".
std::string QuoteIdentifier(const std::string& name);

}  // namespace bench

#endif
