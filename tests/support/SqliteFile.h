// Database files for tests, made and inspected with plain SQLite, independent of the library; a
// server URI (TestEngine.h) is served by the test server's client instead.
#ifndef ZEMA_TESTS_SUPPORT_SQLITEFILE_H
#define ZEMA_TESTS_SUPPORT_SQLITEFILE_H

#include <string>

// Creates (or extends) the SQLite file at path by running sql, one or more statements.
// Throws std::runtime_error with SQLite's message when a statement fails.
void CreateDatabase(const std::string& path, const std::string& sql);

// The first column of the first row of query as text ("" for no row or NULL; use typeof() in
// the query to tell them apart). Throws std::runtime_error when the query fails.
std::string QueryValue(const std::string& path, const std::string& query);

#endif
