// The database engines the suites run on, and a database of one test on either of them.
//
// Suites that hold for every engine are parameterised over AllEngines():
//
//   class LoaderTest : public ::testing::TestWithParam<DbEngine> { ... TestDatabase db{GetParam()};
//   }; INSTANTIATE_TEST_SUITE_P(Engines, LoaderTest, ::testing::ValuesIn(AllEngines()),
//   EngineName);
//
// A PostgreSQL database is a schema of its own on the test server (made by
// scripts/pg-test-server.sh; ZEMA_TEST_PG_URI, or the file pg-server/uri in the build folder,
// gives its URI), with the Jet type names as domains, dropped when the test ends. The SQL that
// tests write for SQLite runs there too: names are quoted with the server's spelling as Jet did,
// "INTEGER PRIMARY KEY AUTOINCREMENT" becomes an identity column, BIT the domain yesno, and
// group_concat exists as an aggregate.
#ifndef ZEMA_TESTS_SUPPORT_TESTENGINE_H
#define ZEMA_TESTS_SUPPORT_TESTENGINE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TempDir.h"

enum class DbEngine { kSqlite, kPostgres };

std::vector<DbEngine> AllEngines();
std::string EngineName(const ::testing::TestParamInfo<DbEngine>& info);

// The URI of the test server's database; throws std::runtime_error when no server was started
// (the tests then fail: they never skip).
std::string TestServerUri();
// A URI like the test server's with user, password and database replaced where given.
std::string TestServerUriWith(const std::string& user, const std::string& password,
                              const std::string& database);

// The URI of a database named name on the test server, made empty (with the domains); it stays
// until the server goes.
std::string MakeServerDatabase(const std::string& name);

// True for a postgresql:// or postgres:// URI.
bool IsServerUri(const std::string& location);

class TestDatabase {
 public:
  explicit TestDatabase(DbEngine engine);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  DbEngine engine() const { return engine_; }
  // What Load and Open take: the file path or the URI.
  const std::string& Location() const { return location_; }
  // A second database of the same test (a file beside the first, or a schema of its own).
  std::string Another(const std::string& name);

 private:
  DbEngine engine_;
  TempDir dir_;
  std::string location_;
  std::vector<std::string> schemas_;
};

// Runs SQL (one or more statements written for SQLite) on a server database, as described
// above; throws std::runtime_error with the server's message.
void ExecServerSql(const std::string& uri, const std::string& sql);
// Drops every table of a server database.
void ClearServerDatabase(const std::string& uri);
// The first column of the first row of a query on a server database ("" for none or NULL).
std::string QueryServerText(const std::string& uri, const std::string& sql);

#endif
