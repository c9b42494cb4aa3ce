#include "ServerDb.h"

#include <fmt/format.h>
#include <libpq-fe.h>

#include <cctype>
#include <cstring>

#include "Text.h"
#include "ToolError.h"
#include "platform/ado/column_type.h"
#include "platform/ado/pg/pg_internal.h"

namespace {

namespace ado = platform::ado;

// The session every connection of the tool runs with, as the library's: ISO dates, reals in
// their shortest exact form, UTC, tables read in storage order.
constexpr char kSession[] =
    "SET DateStyle = 'ISO, YMD'; SET IntervalStyle = 'postgres'; SET extra_float_digits = 3; "
    "SET standard_conforming_strings = on; SET synchronize_seqscans = off; "
    "SET TimeZone = 'UTC'; SET lc_monetary = 'C'; SET client_min_messages = warning";

// One line of libpq's text.
std::string OneLine(const char* text) {
  std::string line = text != nullptr ? text : "";
  for (char& c : line)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::string squeezed;
  for (char c : line)
    if (!(c == ' ' && !squeezed.empty() && squeezed.back() == ' ')) squeezed += c;
  return squeezed;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(const std::string& text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

// The passwords a URI spells, as written and percent-decoded, to keep them out of every message
// even when libpq cannot parse the URI.
std::vector<std::string> PasswordsIn(const std::string& uri) {
  std::vector<std::string> secrets;
  const auto add = [&](const std::string& secret) {
    if (secret.empty()) return;
    secrets.push_back(secret);
    secrets.push_back(PercentDecoded(secret));
  };
  const size_t scheme = uri.find("://");
  if (scheme != std::string::npos) {
    const size_t begin = scheme + 3;
    size_t end = uri.find_first_of("/?#", begin);
    if (end == std::string::npos) end = uri.size();
    const std::string authority = uri.substr(begin, end - begin);
    const size_t at = authority.rfind('@');
    const size_t colon = authority.find(':');
    if (at != std::string::npos && colon != std::string::npos && colon < at)
      add(authority.substr(colon + 1, at - colon - 1));
  }
  for (size_t at = uri.find("password="); at != std::string::npos;
       at = uri.find("password=", at + 9)) {
    const size_t end = uri.find('&', at + 9);
    add(uri.substr(at + 9, (end == std::string::npos ? uri.size() : end) - at - 9));
  }
  return secrets;
}

std::string Scrub(std::string text, const std::vector<std::string>& secrets) {
  for (const std::string& secret : secrets) {
    if (secret.empty()) continue;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
      text.replace(at, secret.size(), "***");
  }
  return text;
}

std::string OptionValue(const PQconninfoOption* options, const char* keyword) {
  for (const PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr;
       ++option)
    if (std::strcmp(option->keyword, keyword) == 0 && option->val != nullptr) return option->val;
  return std::string();
}

// Whether two declarations mean the same kind of value of the same size.
bool SameMeaning(const ado::ColumnType& a, const ado::ColumnType& b) {
  if (a.kind != b.kind) return false;
  if (a.kind == ado::ColumnKind::kText) return a.definedSize == b.definedSize;
  if (a.kind == ado::ColumnKind::kDecimal)
    return a.scaleDeclared == b.scaleDeclared &&
           (!a.scaleDeclared || (a.precision == b.precision && a.scale == b.scale));
  return true;
}

// A declared type that can go into a table definition as it is: a name, and a size or a
// precision and scale.
bool IsPlainDeclaration(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '(' && c != ')' &&
        c != ',' && c != '_')
      return false;
  return std::isalpha(static_cast<unsigned char>(text[0]));
}

}  // namespace

bool IsServerUri(const std::string& database) {
  size_t begin = 0;
  while (begin < database.size() && (database[begin] == ' ' || database[begin] == '\t')) ++begin;
  const std::string head = Lower(database.substr(begin, 13));
  return head.rfind("postgresql://", 0) == 0 || head.rfind("postgres://", 0) == 0;
}

std::string MaskPasswords(const std::string& text) {
  std::string masked = text;
  // user:password@ after a "scheme://".
  for (size_t scheme = masked.find("://"); scheme != std::string::npos;
       scheme = masked.find("://", scheme + 3)) {
    const size_t begin = scheme + 3;
    size_t end = begin;
    while (end < masked.size() && masked[end] != '/' && masked[end] != '?' && masked[end] != ' ' &&
           masked[end] != '#' && masked[end] != '\'')
      ++end;
    if (end == begin) continue;
    const size_t at = masked.rfind('@', end - 1);
    if (at == std::string::npos || at < begin) continue;
    const size_t colon = masked.find(':', begin);
    if (colon == std::string::npos || colon > at) continue;
    masked.replace(colon + 1, at - colon - 1, "***");
  }
  // password=... as a URI parameter or a connection setting.
  const std::string lower = Lower(masked);
  std::string out;
  size_t copied = 0;
  for (size_t at = lower.find("password="); at != std::string::npos;
       at = lower.find("password=", at + 9)) {
    if (at > 0 && (std::isalnum(static_cast<unsigned char>(lower[at - 1])) || lower[at - 1] == '_'))
      continue;
    size_t end = at + 9;
    while (end < masked.size() && masked[end] != '&' && masked[end] != ';' && masked[end] != ' ' &&
           masked[end] != '\'')
      ++end;
    out += masked.substr(copied, at + 9 - copied) + "***";
    copied = end;
  }
  return out + masked.substr(copied);
}

std::string Shown(const std::string& database) {
  return IsServerUri(database) ? MaskPasswords(database) : database;
}

CServerRows::~CServerRows() { PQclear(result); }
int CServerRows::Rows() const { return PQntuples(result); }
int CServerRows::Columns() const { return PQnfields(result); }
bool CServerRows::IsNull(int row, int column) const { return PQgetisnull(result, row, column); }
std::string CServerRows::Text(int row, int column) const {
  return std::string(PQgetvalue(result, row, column),
                     static_cast<size_t>(PQgetlength(result, row, column)));
}
const char* CServerRows::Bytes(int row, int column) const {
  return PQgetvalue(result, row, column);
}
int CServerRows::Length(int row, int column) const { return PQgetlength(result, row, column); }
std::string CServerRows::Name(int column) const { return PQfname(result, column); }
unsigned CServerRows::TypeOid(int column) const { return PQftype(result, column); }

CServerDb CServerDb::Connect(const std::string& uri) {
  std::vector<std::string> secrets = PasswordsIn(uri);
  const std::string shown = MaskPasswords(uri);
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &parseError);
  if (options == nullptr) {
    const std::string why = OneLine(parseError != nullptr ? parseError : "out of memory");
    PQfreemem(parseError);
    throw ToolError(fmt::format("{}: not a PostgreSQL URI that can be used: {}", Echo(shown),
                                Scrub(why, secrets)));
  }
  std::string host = OptionValue(options, "host");
  std::string database = OptionValue(options, "dbname");
  const std::string password = OptionValue(options, "password");
  PQconninfoFree(options);
  if (!password.empty()) secrets.push_back(password);

  const char* keywords[] = {"connect_timeout", "dbname", "client_encoding",
                            "fallback_application_name", nullptr};
  const char* values[] = {"10", uri.c_str(), "UTF8", "zematag", nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) throw ToolError("out of memory");
  if (PQhost(conn) != nullptr && *PQhost(conn) != '\0') host = PQhost(conn);
  if (PQdb(conn) != nullptr && *PQdb(conn) != '\0') database = PQdb(conn);
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string why = OneLine(PQerrorMessage(conn));
    PQfinish(conn);
    // Only libpq's words are scrubbed: a short password must not blot out the names.
    throw ToolError(fmt::format("cannot connect to the PostgreSQL server '{}', database '{}': {}",
                                Echo(host), Echo(database), Scrub(why, secrets)));
  }
  PQsetNoticeProcessor(
      conn, [](void*, const char*) {}, nullptr);
  CServerDb db(conn, shown, std::move(secrets));
  db.Execute(kSession);
  return db;
}

CServerDb::CServerDb(CServerDb&& other) noexcept
    : conn(other.conn), shown(std::move(other.shown)), secrets(std::move(other.secrets)) {
  other.conn = nullptr;
}

CServerDb::~CServerDb() {
  if (conn != nullptr) PQfinish(conn);
}

std::string CServerDb::Clean(std::string text) const { return Scrub(std::move(text), secrets); }

void CServerDb::Fail(PGresult* result) {
  std::string why;
  const char* primary =
      result != nullptr ? PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY) : nullptr;
  why = OneLine(primary != nullptr ? primary : PQerrorMessage(conn));
  const char* state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
  const std::string code = state != nullptr ? state : "";
  PQclear(result);
  if (PQstatus(conn) != CONNECTION_OK) why = "the connection to the server was lost: " + why;
  if (code == "55P03" || code == "40P01" || code == "40001")
    why = "the database is locked by another program (" + why + ")";
  else if (code == "25006" || code == "42501")
    why = "the database is read-only (" + why + ")";
  else if (code == "53100")
    why = "disk full (" + why + ")";
  throw ToolError(fmt::format("{}: {}", shown, Clean(why)));
}

CServerRows CServerDb::Query(const std::string& sql,
                             const std::vector<std::optional<std::string>>& params) {
  std::vector<const char*> values;
  for (const auto& param : params) values.push_back(param ? param->c_str() : nullptr);
  PGresult* result = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), nullptr, nullptr, 0);
  const ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) Fail(result);
  return CServerRows(result);
}

void CServerDb::Run(const std::string& sql, const std::vector<const char*>& values,
                    const std::vector<int>& lengths, const std::vector<int>& binary) {
  PGresult* result = PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                  values.data(), lengths.data(), binary.data(), 0);
  const ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) Fail(result);
  PQclear(result);
}

namespace {
// Rows sent before their results are read: few round trips, and the results of one batch
// (a few bytes each) always fit the socket's buffers, so neither side waits on the other.
constexpr int kRowsPerSync = 1000;
constexpr char kPrepared[] = "zematag_rows";
}  // namespace

void CServerDb::Prepare(const std::string& sql, int count) {
  Execute("DEALLOCATE ALL");
  PGresult* made = PQprepare(conn, kPrepared, sql.c_str(), count, nullptr);
  if (made == nullptr || PQresultStatus(made) != PGRES_COMMAND_OK) Fail(made);
  PQclear(made);
  if (PQenterPipelineMode(conn) != 1) Fail(nullptr);
  piped = true;
  pending = 0;
}

void CServerDb::Send(const std::vector<const char*>& values, const std::vector<int>& lengths,
                     const std::vector<int>& binary) {
  if (PQsendQueryPrepared(conn, kPrepared, static_cast<int>(values.size()), values.data(),
                          lengths.data(), binary.data(), 0) != 1) {
    Abandon();
    Fail(nullptr);
  }
  if (++pending >= kRowsPerSync) Sync();
}

void CServerDb::Sync() {
  pending = 0;
  if (PQpipelineSync(conn) != 1) {
    Abandon();
    Fail(nullptr);
  }
  PGresult* refused = nullptr;
  for (;;) {
    PGresult* result = PQgetResult(conn);
    if (result == nullptr) {
      if (PQstatus(conn) != CONNECTION_OK) break;
      continue;  // the end of one row's results
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(result);
      break;
    }
    if (status == PGRES_FATAL_ERROR && refused == nullptr)
      refused = result;
    else
      PQclear(result);
  }
  if (refused != nullptr || PQstatus(conn) != CONNECTION_OK) {
    PQexitPipelineMode(conn);
    piped = false;
    Fail(refused);
  }
}

void CServerDb::Finish() {
  Sync();
  PQexitPipelineMode(conn);
  piped = false;
}

void CServerDb::Abandon() {
  if (!piped) return;
  piped = false;
  if (PQstatus(conn) == CONNECTION_OK && PQpipelineSync(conn) == 1) {
    for (;;) {
      PGresult* result = PQgetResult(conn);
      if (result == nullptr) {
        if (PQstatus(conn) != CONNECTION_OK) break;
        continue;
      }
      const bool end = PQresultStatus(result) == PGRES_PIPELINE_SYNC;
      PQclear(result);
      if (end) break;
    }
  }
  PQexitPipelineMode(conn);
}

void CServerDb::Execute(const std::string& sql) {
  PGresult* result = PQexec(conn, sql.c_str());
  const ExecStatusType status = result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) Fail(result);
  PQclear(result);
}

std::string CServerDb::Literal(const std::string& text) {
  char* quoted = PQescapeLiteral(conn, text.data(), text.size());
  if (quoted == nullptr) Fail(nullptr);
  std::string literal = quoted;
  PQfreemem(quoted);
  return literal;
}

std::string CServerDb::TableNamed(const std::string& name) {
  const CServerRows rows = Query(
      "SELECT c.relname FROM pg_class c WHERE lower(c.relname) = lower($1) AND "
      "c.relkind IN ('r', 'p', 'v', 'm', 'f') AND pg_table_is_visible(c.oid) "
      "ORDER BY c.relname <> $1, c.relname LIMIT 1",
      {name});
  return rows.Rows() > 0 ? rows.Text(0, 0) : std::string();
}

std::vector<std::string> CServerDb::Tables() {
  const CServerRows rows = Query(
      "SELECT c.relname FROM pg_class c WHERE c.relnamespace = current_schema()::regnamespace "
      "AND c.relkind IN ('r', 'p') ORDER BY c.oid");
  std::vector<std::string> tables;
  for (int row = 0; row < rows.Rows(); ++row) tables.push_back(rows.Text(row, 0));
  return tables;
}

std::vector<CServerDb::Column> CServerDb::Columns(const std::string& table) {
  const CServerRows rows = Query(
      "SELECT a.attname, format_type(a.atttypid, a.atttypmod), "
      "coalesce(col_description(c.oid, a.attnum), ''), "
      "(a.attidentity <> '' OR coalesce(pg_get_expr(d.adbin, d.adrelid) LIKE 'nextval(%', false)) "
      "AND EXISTS (SELECT 1 FROM pg_index i WHERE i.indrelid = c.oid AND i.indisprimary AND "
      "a.attnum = ANY(i.indkey)) "
      "FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
      "LEFT JOIN pg_attrdef d ON d.adrelid = c.oid AND d.adnum = a.attnum "
      "WHERE c.oid = (SELECT c2.oid FROM pg_class c2 WHERE c2.relname = $1 AND "
      "pg_table_is_visible(c2.oid) LIMIT 1) AND a.attnum > 0 AND NOT a.attisdropped "
      "ORDER BY a.attnum",
      {table});
  std::vector<Column> columns;
  for (int row = 0; row < rows.Rows(); ++row) {
    Column column;
    column.name = rows.Text(row, 0);
    column.serverType = rows.Text(row, 1);
    column.declared = DeclaredOnServer(column.serverType, rows.Text(row, 2));
    column.key = rows.Text(row, 3) == "t";
    columns.push_back(column);
  }
  return columns;
}

std::string CServerDb::Identity() {
  const CServerRows rows = Query(
      "SELECT coalesce(host(inet_server_addr()), ''), inet_server_port(), current_database(), "
      "current_schema()");
  const char* host = PQhost(conn);
  return fmt::format("{}|{}|{}|{}|{}", rows.Text(0, 0).empty() && host != nullptr ? host : "",
                     rows.Text(0, 0), rows.Text(0, 1), rows.Text(0, 2), rows.Text(0, 3));
}

std::string DeclaredOnServer(const std::string& serverType, const std::string& kept) {
  const ado::ColumnType meaning = ado::pg::ColumnTypeOf(serverType);
  if (IsPlainDeclaration(kept) && SameMeaning(ado::ColumnTypeFromDeclared(kept.c_str()), meaning))
    return kept;
  switch (meaning.kind) {
    case ado::ColumnKind::kInteger:
      return "LONG";
    case ado::ColumnKind::kBigInt:
      return "BIGINT";
    case ado::ColumnKind::kSmallInt:
      return "SHORT";
    case ado::ColumnKind::kByte:
      return "BYTE";
    case ado::ColumnKind::kBoolean:
      return "YESNO";
    case ado::ColumnKind::kSingle:
      return "SINGLE";
    case ado::ColumnKind::kDouble:
      return "DOUBLE";
    case ado::ColumnKind::kCurrency:
      return "CURRENCY";
    case ado::ColumnKind::kDate:
      return "DATETIME";
    case ado::ColumnKind::kDecimal:
      return meaning.scaleDeclared ? fmt::format("DECIMAL({},{})", meaning.precision, meaning.scale)
                                   : "DECIMAL";
    case ado::ColumnKind::kText:
      return fmt::format("VARCHAR({})", meaning.definedSize);
    case ado::ColumnKind::kBinary:
      return "LONGBINARY";
    default:
      return "LONGTEXT";
  }
}

std::string ServerTypeOf(const std::string& declared) {
  const ado::ColumnType meaning = ado::ColumnTypeFromDeclared(declared.c_str());
  switch (meaning.kind) {
    case ado::ColumnKind::kInteger:
      return "long";
    case ado::ColumnKind::kBigInt:
      return "bigint";
    case ado::ColumnKind::kSmallInt:
      return "short";
    case ado::ColumnKind::kByte:
      return "byte";
    case ado::ColumnKind::kBoolean:
      return "yesno";
    case ado::ColumnKind::kSingle:
      return "single";
    case ado::ColumnKind::kDouble:
      return "double";
    case ado::ColumnKind::kCurrency:
      return "currency";
    case ado::ColumnKind::kDate:
      return "datetime";
    case ado::ColumnKind::kDecimal:
      return meaning.scaleDeclared ? fmt::format("numeric({},{})", meaning.precision, meaning.scale)
                                   : "numeric";
    case ado::ColumnKind::kText:
      return fmt::format("varchar({})", meaning.definedSize);
    case ado::ColumnKind::kBinary:
      return "longbinary";
    default:
      return "longtext";
  }
}
