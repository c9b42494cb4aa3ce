#include "support/TestEngine.h"

#include <libpq-fe.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#include "platform/ado/pg/pg_internal.h"
#include "platform/sql/quote.h"
#include "tools/zematag/JetDomains.h"

namespace {

// group_concat as the SQLite suites use it.
const char kGroupConcat[] = R"sql(
CREATE FUNCTION zema_concat(text, anyelement) RETURNS text LANGUAGE sql IMMUTABLE AS
  $$ SELECT CASE WHEN $2 IS NULL THEN $1 WHEN $1 IS NULL THEN $2::text
                 ELSE $1 || ',' || $2::text END $$;
CREATE AGGREGATE group_concat(anyelement) (SFUNC = zema_concat, STYPE = text);
CREATE FUNCTION zema_concat_by(text, anyelement, text) RETURNS text LANGUAGE sql IMMUTABLE AS
  $$ SELECT CASE WHEN $2 IS NULL THEN $1 WHEN $1 IS NULL THEN $2::text
                 ELSE $1 || $3 || $2::text END $$;
CREATE AGGREGATE group_concat(anyelement, text) (SFUNC = zema_concat_by, STYPE = text);
)sql";

// Keeps every identity column ahead of the ids stored explicitly.
const char kAdvanceIdentities[] = R"sql(
DO $adv$
DECLARE r record;
BEGIN
  FOR r IN SELECT c.relname, a.attname FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid
           WHERE a.attidentity <> '' AND c.relnamespace = current_schema()::regnamespace LOOP
    EXECUTE format('SELECT setval(pg_get_serial_sequence(%L, %L), '
                   'greatest(1, (SELECT coalesce(max(%I), 0) FROM %I)), '
                   '(SELECT count(*) > 0 FROM %I))',
                   quote_ident(r.relname), r.attname, r.attname, r.relname, r.relname);
  END LOOP;
END
$adv$;
)sql";

class Connection {
 public:
  explicit Connection(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn_);
      PQfinish(conn_);
      throw std::runtime_error("cannot connect to the test server: " + message);
    }
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
  }
  ~Connection() { PQfinish(conn_); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs text of one or more statements as written.
  void Run(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    std::string message = PQresultErrorMessage(result);
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      throw std::runtime_error("SQL failed on the test server: " + message + " in: " + sql);
  }

  std::string Value(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      std::string message = PQresultErrorMessage(result);
      PQclear(result);
      throw std::runtime_error("query failed on the test server: " + message + " in: " + sql);
    }
    std::string value;
    if (PQntuples(result) > 0 && PQnfields(result) > 0 && !PQgetisnull(result, 0, 0))
      value = PQgetvalue(result, 0, 0);
    PQclear(result);
    return value;
  }

  // Table and column names of the current schema, by their lower-case form.
  std::string Lookup(std::string_view word) {
    if (!namesRead_) {
      names_.clear();
      PGresult* result = PQexec(
          conn_,
          "SELECT c.relname FROM pg_class c WHERE c.relnamespace = current_schema()::regnamespace "
          "UNION SELECT a.attname FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
          "WHERE c.relnamespace = current_schema()::regnamespace AND a.attnum > 0");
      for (int row = 0; row < PQntuples(result); ++row)
        names_.push_back(PQgetvalue(result, row, 0));
      PQclear(result);
      namesRead_ = true;
    }
    std::string lower(word);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    std::string found;
    for (const std::string& name : names_) {
      if (name == word) return name;
      std::string folded = name;
      for (char& c : folded) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      if (folded == lower && found.empty()) found = name;
    }
    return found;
  }
  void Forget() { namesRead_ = false; }

 private:
  PGconn* conn_;
  bool namesRead_ = false;
  std::vector<std::string> names_;
};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return text;
}

// Splits SQL at the semicolons outside quotes.
std::vector<std::string> Statements(const std::string& sql) {
  std::vector<std::string> statements;
  std::string current;
  char quote = 0;
  bool dollar = false;  // inside $$ ... $$
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote == 0 && c == '$' && i + 1 < sql.size() && sql[i + 1] == '$') {
      dollar = !dollar;
      current += "$$";
      ++i;
      continue;
    }
    if (dollar) {
      current.push_back(c);
      continue;
    }
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"' || c == '[') {
      quote = c == '[' ? ']' : c;
    } else if (c == ';') {
      statements.push_back(current);
      current.clear();
      continue;
    }
    current.push_back(c);
  }
  statements.push_back(current);
  std::vector<std::string> kept;
  for (const std::string& s : statements)
    if (s.find_first_not_of(" \t\r\n") != std::string::npos) kept.push_back(s);
  return kept;
}

// CREATE TABLE name (column type, ...) with the names quoted as written and SQLite's forms made
// the server's.
std::string CreateTable(const std::string& statement) {
  const std::string upper = Upper(statement);
  const size_t keyword = upper.find("TABLE");
  const size_t open = statement.find('(');
  const size_t close = statement.rfind(')');
  if (keyword == std::string::npos || open == std::string::npos || close == std::string::npos)
    return statement;
  std::string name = statement.substr(keyword + 5, open - keyword - 5);
  name = name.substr(name.find_first_not_of(" \t\n"));
  name = name.substr(0, name.find_last_not_of(" \t\n") + 1);
  std::string out =
      "CREATE TABLE " + platform::sql::QuoteName(platform::ado::pg::Unquote(name)) + " (";
  std::vector<std::string> items;
  std::string current;
  int depth = 0;
  for (size_t i = open + 1; i < close; ++i) {
    const char c = statement[i];
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (c == ',' && depth == 0) {
      items.push_back(current);
      current.clear();
      continue;
    }
    current.push_back(c);
  }
  items.push_back(current);
  for (size_t k = 0; k < items.size(); ++k) {
    std::string item = items[k].substr(items[k].find_first_not_of(" \t\n"));
    size_t end;
    std::string column;
    if (item[0] == '"' || item[0] == '[' || item[0] == '`') {
      end = item.find(item[0] == '[' ? ']' : item[0], 1) + 1;
      column = platform::ado::pg::Unquote(item.substr(0, end));
    } else {
      end = item.find_first_of(" \t\n");
      if (end == std::string::npos) end = item.size();
      column = item.substr(0, end);
    }
    const std::string firstWord = Upper(column);
    std::string rest = item.substr(end);
    if (firstWord == "PRIMARY" || firstWord == "UNIQUE") {
      // The names in the key's parentheses keep their case.
      const size_t from = item.find('('), to = item.rfind(')');
      std::string names;
      std::string keyName;
      for (size_t i = from + 1; i <= to; ++i) {
        const char c = item[i];
        if (c == ',' || c == ')') {
          const size_t b = keyName.find_first_not_of(" \t"), e = keyName.find_last_not_of(" \t");
          names +=
              (names.empty() ? "" : ", ") +
              platform::sql::QuoteName(platform::ado::pg::Unquote(keyName.substr(b, e - b + 1)));
          keyName.clear();
        } else {
          keyName.push_back(c);
        }
      }
      out += (k ? ", " : "") + item.substr(0, from + 1) + names + ")";
      continue;
    }
    if (firstWord == "CHECK" || firstWord == "CONSTRAINT" || firstWord == "FOREIGN") {
      out += (k ? ", " : "") + item;
      continue;
    }
    std::string type = Upper(rest);
    if (type.find("PRIMARY KEY AUTOINCREMENT") != std::string::npos)
      rest = " integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY";
    else if (type.find("INTEGER PRIMARY KEY") != std::string::npos)
      rest = " integer PRIMARY KEY";
    const size_t word = rest.find_first_not_of(" \t\n");
    if (word != std::string::npos) {
      size_t wordEnd = rest.find_first_of(" \t\n(", word);
      if (wordEnd == std::string::npos) wordEnd = rest.size();
      const std::string declared = Upper(rest.substr(word, wordEnd - word));
      if (declared == "BIT") rest.replace(word, wordEnd - word, "yesno");
    }
    out += (k ? ", " : "") + platform::sql::QuoteName(column) + rest;
  }
  return out + ")";
}

std::string WithSchema(const std::string& base, const std::string& schema) {
  return base + (base.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
         schema;
}

}  // namespace

std::vector<DbEngine> AllEngines() { return {DbEngine::kSqlite, DbEngine::kPostgres}; }

std::string EngineName(const ::testing::TestParamInfo<DbEngine>& info) {
  return info.param == DbEngine::kSqlite ? "SQLite" : "PostgreSQL";
}

bool IsServerUri(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::string TestServerUri() {
  if (const char* uri = getenv("ZEMA_TEST_PG_URI"); uri != nullptr && *uri != '\0') return uri;
  const char* dir = getenv("ZEMA_TEST_BINARY_DIR");
  if (dir != nullptr) {
    std::ifstream in(std::string(dir) + "/pg-server/uri");
    std::string uri;
    if (std::getline(in, uri) && !uri.empty()) return uri;
  }
  throw std::runtime_error(
      "no PostgreSQL test server: start one with scripts/pg-test-server.sh (ctest does it)");
}

std::string TestServerUriWith(const std::string& user, const std::string& password,
                              const std::string& database) {
  std::string uri = TestServerUri();
  const size_t begin = uri.find("://") + 3;
  const size_t at = uri.find('@', begin);
  const size_t slash = uri.find('/', begin);
  std::string host = uri.substr(at == std::string::npos ? begin : at + 1,
                                slash - (at == std::string::npos ? begin : at + 1));
  std::string rest = uri.substr(slash + 1);
  const size_t query = rest.find('?');
  std::string dbname = rest.substr(0, query);
  std::string tail = query == std::string::npos ? "" : rest.substr(query);
  std::string made = uri.substr(0, begin);
  made += user.empty() ? "postgres" : user;
  if (!password.empty()) made += ":" + password;
  made += "@" + host + "/" + (database.empty() ? dbname : database) + tail;
  return made;
}

std::string MakeServerDatabase(const std::string& name) {
  const std::string base = TestServerUri();
  Connection connection(base);
  connection.Run("DROP SCHEMA IF EXISTS \"" + name + "\" CASCADE; CREATE SCHEMA \"" + name +
                 "\"; SET search_path = \"" + name + "\";" + kJetDomainsSql + kGroupConcat);
  return WithSchema(base, name);
}

TestDatabase::TestDatabase(DbEngine engine) : engine_(engine) { location_ = Another("tags"); }

std::string TestDatabase::Another(const std::string& name) {
  if (engine_ == DbEngine::kSqlite) return dir_.File(name + ".db");
  static std::atomic<int> counter{0};
  const std::string schema =
      "t" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + name;
  const std::string base = TestServerUri();
  Connection connection(base);
  connection.Run("CREATE SCHEMA \"" + schema + "\"; SET search_path = \"" + schema + "\";" +
                 kJetDomainsSql + kGroupConcat);
  schemas_.push_back(schema);
  return WithSchema(base, schema);
}

TestDatabase::~TestDatabase() {
  if (schemas_.empty()) return;
  try {
    Connection connection(TestServerUri());
    for (const std::string& schema : schemas_)
      connection.Run("DROP SCHEMA IF EXISTS \"" + schema + "\" CASCADE");
  } catch (const std::exception&) {
    // The server went away (a test stopped it): the schema goes with the test server.
  }
}

void ExecServerSql(const std::string& uri, const std::string& sql) {
  Connection connection(uri);
  bool created = false;
  for (const std::string& statement : Statements(sql)) {
    const std::string upper = Upper(statement.substr(statement.find_first_not_of(" \t\r\n")));
    if (upper.rfind("PRAGMA", 0) == 0 || upper.rfind("BEGIN", 0) == 0 ||
        upper.rfind("COMMIT", 0) == 0)
      continue;
    if (upper.rfind("CREATE TABLE", 0) == 0) {
      connection.Run(CreateTable(statement));
      connection.Forget();
      created = true;
      continue;
    }
    if (upper.rfind("DO ", 0) == 0 || upper.rfind("CREATE FUNCTION", 0) == 0 ||
        upper.rfind("CREATE TRIGGER", 0) == 0 || upper.rfind("CREATE VIEW", 0) == 0 ||
        upper.rfind("CREATE OR REPLACE", 0) == 0) {
      connection.Run(statement);
      continue;
    }
    const platform::ado::pg::Translation translation = platform::ado::pg::TranslateStatement(
        statement, [&connection](std::string_view word) { return connection.Lookup(word); });
    connection.Run(translation.literal);
  }
  if (created || !sql.empty()) connection.Run(kAdvanceIdentities);
}

void ClearServerDatabase(const std::string& uri) {
  Connection connection(uri);
  connection.Run(R"sql(
DO $clear$
DECLARE r record;
BEGIN
  FOR r IN SELECT c.relname FROM pg_class c WHERE c.relkind IN ('r', 'v')
           AND c.relnamespace = current_schema()::regnamespace LOOP
    EXECUTE format('DROP TABLE IF EXISTS %I CASCADE', r.relname);
  END LOOP;
END
$clear$;
)sql");
}

std::string QueryServerText(const std::string& uri, const std::string& sql) {
  Connection connection(uri);
  const platform::ado::pg::Translation translation = platform::ado::pg::TranslateStatement(
      sql, [&connection](std::string_view word) { return connection.Lookup(word); });
  return connection.Value(translation.literal);
}
