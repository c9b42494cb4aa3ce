// The tool's own connection to a PostgreSQL server, beside the library's: `init` and `copy`
// create the tables of a tag database there, and the commands read the type table and the
// declared types of the value tables, which the library does not report. Values are bound as
// parameters and names quoted; no message ever shows a password.
//
// A column keeps the Jet type name it was declared with: the server declares it with the
// nearest Jet domain (JetDomains.h) or type of its own, and the column's comment holds the
// declared text ("VARCHAR(31)", "CURRENCY"), so that a database copied to a server and back
// declares every column as the original did.
#ifndef ZEMATAG_SERVERDB_H
#define ZEMATAG_SERVERDB_H

#include <optional>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

// True for a postgresql:// or postgres:// URI (the scheme in any case), as the library decides.
bool IsServerUri(const std::string& database);
// The text with every password of a URI or a password=... setting replaced by "***".
std::string MaskPasswords(const std::string& text);
// A database as messages name it: a URI with its password masked, a path as it is.
std::string Shown(const std::string& database);

// The rows of one statement, as the server's text.
class CServerRows {
 public:
  explicit CServerRows(pg_result* rows) : result(rows) {}
  CServerRows(CServerRows&& other) noexcept : result(other.result) { other.result = nullptr; }
  CServerRows(const CServerRows&) = delete;
  CServerRows& operator=(const CServerRows&) = delete;
  ~CServerRows();
  int Rows() const;
  int Columns() const;
  bool IsNull(int row, int column) const;
  std::string Text(int row, int column) const;  // "" for NULL
  const char* Bytes(int row, int column) const;
  int Length(int row, int column) const;
  std::string Name(int column) const;
  unsigned TypeOid(int column) const;

 private:
  pg_result* result;
};

class CServerDb {
 public:
  // Connects to the database the URI names (libpq's environment and password file apply).
  // Throws ToolError with one line naming host and database and why: the URI does not parse,
  // the server cannot be reached, the login is refused.
  static CServerDb Connect(const std::string& uri);
  CServerDb(CServerDb&& other) noexcept;
  CServerDb(const CServerDb&) = delete;
  CServerDb& operator=(const CServerDb&) = delete;
  ~CServerDb();

  // The URI as messages show it (password masked).
  const std::string& Shown() const { return shown; }
  // Runs one statement with text parameters (nullopt for NULL); throws ToolError with the
  // server's message.
  CServerRows Query(const std::string& sql,
                    const std::vector<std::optional<std::string>>& params = {});
  // Runs one statement with parameters given as bytes; binary[i] sends parameter i as binary
  // data (bytea).
  void Run(const std::string& sql, const std::vector<const char*>& values,
           const std::vector<int>& lengths, const std::vector<int>& binary);
  // Many rows of one statement in few round trips: Prepare it, Send each row's parameters (as
  // Run takes them), Finish. A refused row ends the rows with a ToolError at the Send or Finish
  // that learns of it. Abandon leaves the rows unfinished (after another failure), so that the
  // connection takes statements again.
  void Prepare(const std::string& sql, int count);
  void Send(const std::vector<const char*>& values, const std::vector<int>& lengths,
            const std::vector<int>& binary);
  void Finish();
  void Abandon();
  // Runs statements without parameters or results.
  void Execute(const std::string& sql);
  // A text as an SQL literal.
  std::string Literal(const std::string& text);
  // The server table a name means: the table of that exact name, else the first one equal
  // without case; "" when there is none.
  std::string TableNamed(const std::string& name);
  // Every table of the current schema, in the order they were made.
  std::vector<std::string> Tables();
  struct Column {
    std::string name;
    std::string serverType;  // as the server names it: "long", "character varying(31)"
    std::string declared;    // the Jet type name it was declared with
    bool key = false;        // the primary key, numbered by the server
  };
  // The columns of a table (spelled as the server spells it) in declared order.
  std::vector<Column> Columns(const std::string& table);
  // Host, port, database and schema, equal for two connections to the same database.
  std::string Identity();

 private:
  CServerDb(pg_conn* connection, std::string shownName, std::vector<std::string> hidden)
      : conn(connection), shown(std::move(shownName)), secrets(std::move(hidden)) {}
  [[noreturn]] void Fail(pg_result* result);
  // Ends a batch of sent rows: waits for their results; throws the first refusal.
  void Sync();
  std::string Clean(std::string text) const;
  pg_conn* conn;
  std::string shown;
  std::vector<std::string> secrets;
  int pending = 0;  // rows sent since the last Sync
  bool piped = false;
};

// The declared Jet type of a column from the server's type and the declared text it keeps
// (its comment, "" when none): the kept text when it means the same kind of value, else the
// Jet name nearest the server's type.
std::string DeclaredOnServer(const std::string& serverType, const std::string& kept);
// The server type for a column declared as `declared` (a Jet type name).
std::string ServerTypeOf(const std::string& declared);

#endif
