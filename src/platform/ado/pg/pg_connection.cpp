// The PostgreSQL engine: one libpq connection per Connection object.
//
// Mode 1 holds one REPEATABLE READ READ ONLY transaction from Open to Close, so everything read
// comes from one snapshot. Mode 2 runs without a transaction (every statement commits at once)
// until Begin; a batch takes a transaction-scoped advisory lock at its start, so batches of
// different writers follow one another as they do on an SQLite file. Inside a transaction each
// statement runs under a savepoint (sent in one round trip with it), so that a statement that
// fails undoes itself only, as on SQLite.
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <unordered_map>

#include "platform/ado/ado_objects.h"
#include "platform/ado/pg/pg_engine.h"
#include "platform/ado/pg/pg_internal.h"
#include "platform/sql/quote.h"

namespace platform {
namespace ado {
namespace pg {
namespace {

constexpr char kSource[] = "PostgreSQL";

// Settings every session runs with: ISO dates, reals in their shortest exact form, text literals
// as written, tables read in storage order (no scan joining another one midway), UTC.
constexpr char kSession[] =
    "SET DateStyle = 'ISO, YMD'; SET IntervalStyle = 'postgres'; SET extra_float_digits = 3; "
    "SET standard_conforming_strings = on; SET synchronize_seqscans = off; "
    "SET TimeZone = 'UTC'; SET lc_monetary = 'C'";

// The key of the advisory lock that orders the batches of all writers of a database.
constexpr long long kBatchLock = 0x5A454D4154414753LL;

// The columns of a table by its name (exact, else the first one equal without case), its
// primary key positions, which columns the server numbers and the base type of each (the type
// under a domain). The key position comes from the index's key array directly, not from a
// subquery per column: a new session has none of the server's catalogue cached yet, and every
// Load asks this once.
constexpr char kColumnsQuery[] =
    "SELECT c.oid::int8, c.relname, a.attnum, a.attname, format_type(a.atttypid, a.atttypmod), "
    "a.attnotnull, a.attidentity <> '' OR (a.atthasdef AND coalesce(pg_get_expr(d.adbin, "
    "d.adrelid) LIKE 'nextval(%', false)), array_position(i.indkey::int2[], a.attnum), "
    "(CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE t.oid END)::int8 "
    "FROM pg_class c JOIN pg_attribute a ON a.attrelid = c.oid "
    "JOIN pg_type t ON t.oid = a.atttypid "
    "LEFT JOIN pg_attrdef d ON d.adrelid = c.oid AND d.adnum = a.attnum "
    "LEFT JOIN pg_index i ON i.indrelid = c.oid AND i.indisprimary "
    "WHERE c.oid = coalesce(to_regclass($1), (SELECT c2.oid FROM pg_class c2 WHERE "
    "lower(c2.relname) = lower($2) AND c2.relkind IN ('r', 'v', 'm', 'f', 'p') AND "
    "pg_table_is_visible(c2.oid) ORDER BY c2.relname LIMIT 1)) "
    "AND a.attnum > 0 AND NOT a.attisdropped ORDER BY a.attnum";

// The same for every table the session sees without naming its schema.
constexpr char kAllColumnsQuery[] =
    "SELECT c.oid::int8, c.relname, a.attnum, a.attname, format_type(a.atttypid, a.atttypmod), "
    "a.attnotnull, a.attidentity <> '' OR (a.atthasdef AND coalesce(pg_get_expr(d.adbin, "
    "d.adrelid) LIKE 'nextval(%', false)), array_position(i.indkey::int2[], a.attnum), "
    "(CASE WHEN t.typtype = 'd' THEN t.typbasetype ELSE t.oid END)::int8 "
    "FROM pg_class c JOIN pg_namespace s ON s.oid = c.relnamespace "
    "JOIN pg_attribute a ON a.attrelid = c.oid JOIN pg_type t ON t.oid = a.atttypid "
    "LEFT JOIN pg_attrdef d ON d.adrelid = c.oid AND d.adnum = a.attnum "
    "LEFT JOIN pg_index i ON i.indrelid = c.oid AND i.indisprimary "
    "WHERE s.nspname = ANY(current_schemas(false)) AND c.relkind IN ('r', 'v', 'm', 'f', 'p') "
    "AND pg_table_is_visible(c.oid) AND a.attnum > 0 AND NOT a.attisdropped "
    "ORDER BY c.oid, a.attnum";

// The names of the tables and columns a statement may name without quotes.
constexpr char kNamesQuery[] =
    "SELECT c.relname FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
    "WHERE n.nspname = ANY(current_schemas(false)) AND c.relkind IN ('r', 'v', 'm', 'f', 'p') "
    "UNION SELECT a.attname FROM pg_attribute a JOIN pg_class c ON c.oid = a.attrelid "
    "JOIN pg_namespace n ON n.oid = c.relnamespace WHERE n.nspname = ANY(current_schemas(false)) "
    "AND c.relkind IN ('r', 'v', 'm', 'f', 'p') AND a.attnum > 0 AND NOT a.attisdropped";

// The declared types of the columns of one table, by position.
constexpr char kDeclaredQuery[] =
    "SELECT a.attnum, format_type(a.atttypid, a.atttypmod) FROM pg_attribute a "
    "WHERE a.attrelid = $1::int8::oid AND a.attnum > 0 AND NOT a.attisdropped";

// Keeps a column that the server numbers ahead of every value stored into it explicitly.
constexpr char kAdvanceSequence[] =
    "SELECT setval(s, $2::int8) FROM (SELECT pg_get_serial_sequence($1, $3) AS s) q "
    "WHERE s IS NOT NULL AND $2::int8 > coalesce((SELECT last_value FROM pg_sequences p WHERE "
    "format('%I.%I', p.schemaname, p.sequencename)::regclass = s::regclass), 0)";

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string TrimMessage(const char* text) {
  std::string message = text != nullptr ? text : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  // libpq's messages may run over lines; one line reads better in a report.
  for (char& c : message)
    if (c == '\n') c = ' ';
  return message;
}

// Replaces every occurrence of secret in text by "***".
std::string Scrub(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      decoded.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      decoded.push_back(text[i]);
    }
  }
  return decoded;
}

// The passwords a URI spells (as written and percent-decoded), to keep them out of messages even
// when libpq cannot parse the URI: user:password@ and password=... .
std::vector<std::string> PasswordsIn(std::string_view uri) {
  std::vector<std::string> secrets;
  auto add = [&secrets](std::string_view secret) {
    if (secret.empty()) return;
    secrets.emplace_back(secret);
    secrets.push_back(PercentDecoded(secret));
  };
  const size_t scheme = uri.find("://");
  if (scheme != std::string_view::npos) {
    const size_t begin = scheme + 3;
    size_t end = uri.find_first_of("/?#", begin);
    if (end == std::string_view::npos) end = uri.size();
    const std::string_view authority = uri.substr(begin, end - begin);
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
      const size_t colon = authority.find(':');
      if (colon != std::string_view::npos && colon < at)
        add(authority.substr(colon + 1, at - colon - 1));
    }
  }
  for (size_t at = uri.find("password="); at != std::string_view::npos;
       at = uri.find("password=", at + 9)) {
    const size_t begin = at + 9;
    const size_t end = uri.find('&', begin);
    add(uri.substr(begin, (end == std::string_view::npos ? uri.size() : end) - begin));
  }
  return secrets;
}

// Fetches the rows of a whole table when a reader goes past the first row (see TableRows).
using RestFetch = std::function<HRESULT(PGresult** whole, const ErrorSite& site)>;

class PgRows final : public EngineRows {
 public:
  explicit PgRows(PGresult* result, RestFetch rest = nullptr)
      : rowsResult(result),
        rowCount(PQntuples(result)),
        columnCount(PQnfields(result)),
        binary(PQbinaryTuples(result) == 1),
        fetchRest(std::move(rest)) {
    decode.reserve(static_cast<size_t>(columnCount));
    for (int c = 0; c < columnCount; ++c) decode.push_back(DecodeFor(PQftype(result, c)));
    scratch.resize(static_cast<size_t>(columnCount));
  }
  ~PgRows() override { PQclear(rowsResult); }

  HRESULT Next(bool* onRow, const ErrorSite& site) override {
    if (fetchRest != nullptr && row + 1 >= rowCount) {
      // The first row came alone; the whole table now, in the same order, from the same
      // snapshot: its first row is the one already read.
      const RestFetch rest = std::move(fetchRest);
      fetchRest = nullptr;
      PGresult* whole = nullptr;
      if (HRESULT hr = rest(&whole, site); FAILED(hr)) {
        row = rowCount;
        *onRow = false;
        return hr;
      }
      PQclear(rowsResult);
      rowsResult = whole;
      rowCount = PQntuples(whole);
      binary = PQbinaryTuples(whole) == 1;
    }
    if (row < rowCount) ++row;
    *onRow = row < rowCount;
    return S_OK;
  }

  StoredValue Get(int column) override {
    if (row < 0 || row >= rowCount || column < 0 || column >= columnCount ||
        PQgetisnull(rowsResult, row, column))
      return StoredValue();
    const char* bytes = PQgetvalue(rowsResult, row, column);
    const int length = PQgetlength(rowsResult, row, column);
    if (!binary) return DecodeValue(decode[column], bytes, length, &scratch[column]);
    StoredValue value;
    if (DecodeFixed(decode[column], bytes, length, &value)) return value;
    return DecodeBinary(decode[column], bytes, length, &scratch[column]);
  }

  bool Detached() const override { return true; }

 private:
  PGresult* rowsResult;
  int rowCount;
  int columnCount;
  int row = -1;
  bool binary;
  RestFetch fetchRest;
  std::vector<Decode> decode;
  std::vector<std::string> scratch;
};

// A table as the connection knows it after its first open.
struct TableInfo {
  Oid oid = InvalidOid;
  std::string quoted;
  std::string select;   // its rows in key or storage order
  bool opened = false;  // its rows were asked for before on this connection
  bool binary = false;  // every column has a type read in binary form (ReadsAsBinary)
  std::vector<Column> columns;
  std::map<std::vector<bool>, std::string> inserts;  // prepared INSERT by assigned columns
};

// A result that clears itself.
struct Result {
  PGresult* result = nullptr;
  explicit Result(PGresult* r = nullptr) : result(r) {}
  ~Result() { PQclear(result); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  PGresult* release() {
    PGresult* r = result;
    result = nullptr;
    return r;
  }
  ExecStatusType status() const {
    return result != nullptr ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  }
  bool ok() const { return status() == PGRES_COMMAND_OK || status() == PGRES_TUPLES_OK; }
  std::string state() const {
    const char* s = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return s != nullptr ? s : "";
  }
};

// The HRESULT of the same situation on SQLite, from the server's SQLSTATE.
HRESULT CodeOf(const std::string& state) {
  if (state == "42P01") return DB_E_NOTABLE;
  if (state == "42703") return adErrItemNotFound;
  if (state.compare(0, 2, "42") == 0) return DB_E_ERRORSINCOMMAND;
  if (state.compare(0, 2, "23") == 0) return DB_E_INTEGRITYVIOLATION;
  if (state == "22001") return DB_E_DATAOVERFLOW;
  if (state == "22003") return DISP_E_OVERFLOW;
  if (state == "22P02" || state == "22007" || state == "22008") return DISP_E_TYPEMISMATCH;
  if (state == "53200") return E_OUTOFMEMORY;
  return E_FAIL;
}

// What kind of failure a SQLSTATE is, for the caller's "locked", "read-only", ...
FailureKind KindOf(const std::string& state) {
  if (state == "55P03" || state == "40P01" || state == "40001") return FailureKind::kLocked;
  if (state == "25006" || state == "42501") return FailureKind::kReadOnly;
  if (state == "53100") return FailureKind::kDiskFull;
  if (state == "XX001" || state == "XX002") return FailureKind::kCorrupt;
  if (state == "3D000") return FailureKind::kNotFound;
  return FailureKind::kOther;
}

class PgConnection final : public EngineConnection {
 public:
  PgConnection(PGconn* conn, bool readOnly, std::string host, std::string database,
               std::vector<std::string> secrets)
      : pgConn(conn),
        isReadOnly(readOnly),
        serverHost(std::move(host)),
        databaseName(std::move(database)),
        secretTexts(std::move(secrets)) {}
  ~PgConnection() override {
    PQclear(lastInsert);
    PQfinish(pgConn);
  }

  // The session settings, and in mode 1 the snapshot transaction.
  HRESULT Start(const ErrorSite& site) {
    PQsetNoticeProcessor(
        pgConn, [](void*, const char*) {}, nullptr);
    std::string setup = kSession;
    if (isReadOnly) setup += "; BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
    Result result(PQexec(pgConn, setup.c_str()));
    if (!result.ok()) return FailResult(result, site);
    return S_OK;
  }

  HRESULT TableColumns(const std::string& table, std::vector<Column>* columns,
                       const ErrorSite& site) override {
    TableInfo* info = nullptr;
    if (HRESULT hr = Table(table, &info, site); FAILED(hr)) return hr;
    *columns = info->columns;
    return S_OK;
  }

  // In mode 1 the first open of a table on a connection reads its first row alone, and the rest
  // only when the reader moves past it: a Load opens every value table once for its columns and
  // the first row, and once more to read it whole. The snapshot keeps the two reads alike; in
  // mode 2 another writer may come between them, so there every open reads the table whole.
  HRESULT TableRows(const std::string& table, std::unique_ptr<EngineRows>* rows,
                    const ErrorSite& site) override {
    TableInfo* info = nullptr;
    if (HRESULT hr = Table(table, &info, site); FAILED(hr)) return hr;
    const bool firstRowAlone = isReadOnly && !info->opened;
    const std::string select = firstRowAlone ? info->select + " LIMIT 1" : info->select;
    Result result;
    if (HRESULT hr = SelectRows(*info, select, &result, site); FAILED(hr)) return hr;
    info->opened = true;
    RestFetch rest;
    if (firstRowAlone && PQntuples(result.result) == 1) {
      const std::string plain = Unquote(table);
      rest = [this, plain](PGresult** whole, const ErrorSite& at) {
        TableInfo* again = nullptr;
        if (HRESULT hr = Table(plain, &again, at); FAILED(hr)) return hr;
        Result all;
        if (HRESULT hr = SelectRows(*again, again->select, &all, at); FAILED(hr)) return hr;
        *whole = all.release();
        return S_OK;
      };
    }
    *rows = std::make_unique<PgRows>(result.release(), std::move(rest));
    return S_OK;
  }

  HRESULT Run(const std::string& sql, std::vector<Column>* columns,
              std::unique_ptr<EngineRows>* rows, LONG* affected, const ErrorSite& site) override {
    if (HRESULT hr = EnsureConnected(site); FAILED(hr)) return hr;
    if (!namesLoaded) {
      if (HRESULT hr = LoadNames(site); FAILED(hr)) return hr;
    }
    const Translation translation =
        TranslateStatement(sql, [this](std::string_view word) { return LookupName(word); });
    if (translation.empty)
      return Fail(DB_E_ERRORSINCOMMAND, {site.iid, kSource}, "The command text is empty.");
    if (translation.several)
      return Fail(DB_E_ERRORSINCOMMAND, {site.iid, kSource},
                  "The command text holds more than one statement.");
    Result result;
    if (translation.canParameterize) {
      std::vector<const char*> values;
      for (const std::string& literal : translation.literals) values.push_back(literal.c_str());
      result.result = Exec(translation.parameterized.c_str(), static_cast<int>(values.size()),
                           values.data(), nullptr, nullptr, nullptr, true);
      // A parameter whose type the statement does not decide: the literals as written.
      const std::string state = result.state();
      if (!result.ok() && (state == "42P18" || state == "42804" || state == "42883" ||
                           state == "42725" || state == "42P08")) {
        PQclear(result.release());
        result.result =
            Exec(translation.literal.c_str(), 0, nullptr, nullptr, nullptr, nullptr, true);
      }
    } else {
      result.result =
          Exec(translation.literal.c_str(), 0, nullptr, nullptr, nullptr, nullptr, true);
    }
    if (!result.ok()) return FailResult(result, site);
    if (translation.changesSchema) {
      tables.clear();
      allTablesRead = false;
      declaredByTable.clear();
      namesLoaded = false;
    }
    if (result.status() == PGRES_TUPLES_OK) {
      *affected = -1;
      if (rows != nullptr && PQnfields(result.result) > 0) {
        if (HRESULT hr = ResultColumns(result.result, columns, site); FAILED(hr)) return hr;
        *rows = std::make_unique<PgRows>(result.release());
      }
      return S_OK;
    }
    const char* count = PQcmdTuples(result.result);
    *affected = count != nullptr && *count != '\0' ? atol(count) : -1;
    return S_OK;
  }

  HRESULT Insert(const std::string& table, const std::vector<Column>& columns,
                 const std::vector<VARIANT>& values, const std::vector<bool>& assigned,
                 std::vector<StoredValue>* stored, const ErrorSite& site) override {
    if (HRESULT hr = EnsureConnected(site); FAILED(hr)) return hr;
    TableInfo* info = nullptr;
    if (HRESULT hr = Table(table, &info, site); FAILED(hr)) return hr;
    if (info->columns.size() != columns.size())
      return Fail(E_FAIL, {site.iid, kSource},
                  "The table " + info->quoted + " changed while it was open.");
    // The parameters in buffers kept from row to row: rows added one after another assign the
    // same columns.
    const size_t count = columns.size();
    size_t used = 0;
    insertParamOf.assign(count, 0);
    for (size_t i = 0; i < count; ++i) {
      if (!assigned[i]) continue;
      insertParamOf[i] = used;
      if (insertParams.size() <= used) insertParams.emplace_back();
      EncodeParam(values[i], &insertParams[used]);
      ++used;
    }
    insertData.clear();
    insertLengths.clear();
    insertFormats.clear();
    for (size_t p = 0; p < used; ++p) {
      const Param& param = insertParams[p];
      insertData.push_back(param.null ? nullptr : param.bytes.data());
      insertLengths.push_back(static_cast<int>(param.bytes.size()));
      insertFormats.push_back(param.binary ? 1 : 0);
    }
    auto statement = [&] {
      std::string names, marks;
      size_t mark = 0;
      for (size_t i = 0; i < count; ++i) {
        if (!assigned[i]) continue;
        if (!names.empty()) names += ", ", marks += ", ";
        names += sql::QuoteName(columns[i].name);
        marks += "$" + std::to_string(++mark);
      }
      return "INSERT INTO " + info->quoted +
             (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")") +
             " RETURNING *";
    };
    // Prepared once per set of assigned columns. A refused row inside a batch ends the batch
    // (no savepoint per row: thousands of them would slow every reader of the server); on a
    // read-only connection the refusal must not end the snapshot, so it runs guarded there.
    // The stored row comes back in binary form where the table reads so.
    const char* prepared = nullptr;
    std::string sql;
    if (!isReadOnly) {
      std::string& name = info->inserts[assigned];
      if (name.empty()) {
        const std::string wanted = "zema_insert_" + std::to_string(++statementCount);
        Result made(PQprepare(pgConn, wanted.c_str(), statement().c_str(), 0, nullptr));
        if (!made.ok()) {
          info->inserts.erase(assigned);
          return FailResult(made, site);
        }
        name = wanted;
      }
      prepared = name.c_str();
    } else {
      sql = statement();
    }
    Result result(Exec(sql.c_str(), static_cast<int>(used), insertData.data(), insertLengths.data(),
                       insertFormats.data(), prepared, isReadOnly, info->binary ? 1 : 0));
    if (result.status() != PGRES_TUPLES_OK || PQntuples(result.result) != 1 ||
        PQnfields(result.result) != static_cast<int>(count))
      return result.ok() ? Fail(E_FAIL, {site.iid, kSource}, "The row was not stored.")
                         : FailResult(result, site);
    for (size_t i = 0; i < count; ++i) {
      if (!columns[i].rowId || !assigned[i]) continue;
      const char* args[3] = {info->quoted.c_str(), insertParams[insertParamOf[i]].bytes.c_str(),
                             columns[i].name.c_str()};
      Result advanced(Exec(kAdvanceSequence, 3, args, nullptr, nullptr, nullptr));
      if (!advanced.ok()) return FailResult(advanced, site);
    }
    PQclear(lastInsert);
    lastInsert = result.release();
    const bool binary = PQbinaryTuples(lastInsert) == 1;
    insertScratch.resize(count);
    stored->assign(count, StoredValue());
    for (size_t i = 0; i < count; ++i) {
      const int c = static_cast<int>(i);
      if (PQgetisnull(lastInsert, 0, c)) continue;
      const Decode decode = DecodeFor(PQftype(lastInsert, c));
      const char* bytes = PQgetvalue(lastInsert, 0, c);
      const int length = PQgetlength(lastInsert, 0, c);
      (*stored)[i] = binary ? DecodeBinary(decode, bytes, length, &insertScratch[i])
                            : DecodeValue(decode, bytes, length, &insertScratch[i]);
    }
    return S_OK;
  }

  HRESULT Begin(const ErrorSite& site) override {
    if (isReadOnly)
      return Fail(E_FAIL, {site.iid, kSource}, "A read-only connection cannot write.");
    if (inBatch)
      return Fail(adErrObjectOpen, {site.iid, kSource}, "A transaction is already open.");
    if (HRESULT hr = EnsureConnected(site); FAILED(hr)) return hr;
    const std::string begin = "BEGIN; SET LOCAL lock_timeout = " + std::to_string(kLockWaitMs) +
                              "; SELECT pg_advisory_xact_lock(" + std::to_string(kBatchLock) + ")";
    Result result(PQexec(pgConn, begin.c_str()));
    if (!result.ok()) {
      Result undo(PQexec(pgConn, "ROLLBACK"));
      return FailResult(result, site);
    }
    inBatch = true;
    return S_OK;
  }

  HRESULT Commit(const ErrorSite& site) override {
    if (!inBatch) return Fail(E_FAIL, {site.iid, kSource}, "No transaction is open.");
    inBatch = false;
    if (PQstatus(pgConn) != CONNECTION_OK) return FailLost(site);
    Result result(PQexec(pgConn, "COMMIT"));
    if (!result.ok()) return FailResult(result, site);
    // A transaction that failed ends with a ROLLBACK even when asked to commit.
    if (std::strcmp(PQcmdStatus(result.result), "COMMIT") != 0)
      return Fail(E_FAIL, {site.iid, kSource}, "The transaction was rolled back.");
    return S_OK;
  }

  HRESULT Rollback(const ErrorSite& site) override {
    inBatch = false;
    if (PQstatus(pgConn) != CONNECTION_OK) return S_OK;  // the server ended it with the session
    if (PQtransactionStatus(pgConn) == PQTRANS_IDLE) return S_OK;
    Result result(PQexec(pgConn, "ROLLBACK"));
    if (!result.ok()) return FailResult(result, site);
    return S_OK;
  }

  bool InTransaction() const override {
    return inBatch && PQstatus(pgConn) == CONNECTION_OK &&
           PQtransactionStatus(pgConn) != PQTRANS_INERROR;
  }

  HRESULT FailResult(const Result& result, const ErrorSite& site) {
    if (PQstatus(pgConn) != CONNECTION_OK) return FailLost(site);
    const char* primary = result.result != nullptr
                              ? PQresultErrorField(result.result, PG_DIAG_MESSAGE_PRIMARY)
                              : nullptr;
    const std::string message = primary != nullptr ? primary : TrimMessage(PQerrorMessage(pgConn));
    return Fail(CodeOf(result.state()), {site.iid, kSource}, Clean(message),
                KindOf(result.state()));
  }

 private:
  // Mode 1's snapshot or a batch: statements run under a savepoint.
  bool Guarded() const { return isReadOnly || inBatch; }

  // Runs select, which reads rows of the table of info, and checks that they have its columns.
  HRESULT SelectRows(const TableInfo& info, const std::string& select, Result* result,
                     const ErrorSite& site) {
    result->result =
        Exec(select.c_str(), 0, nullptr, nullptr, nullptr, nullptr, false, info.binary ? 1 : 0);
    if (result->status() != PGRES_TUPLES_OK) return FailResult(*result, site);
    if (PQnfields(result->result) != static_cast<int>(info.columns.size())) {
      const std::string quoted = info.quoted;
      tables.clear();
      allTablesRead = false;
      return Fail(E_FAIL, {site.iid, kSource},
                  "The table " + quoted + " changed while it was open.");
    }
    return S_OK;
  }

  std::string Clean(std::string message) const {
    for (const std::string& secret : secretTexts) message = Scrub(std::move(message), secret);
    return message;
  }

  HRESULT FailLost(const ErrorSite& site) {
    const std::string message = TrimMessage(PQerrorMessage(pgConn));
    return Fail(E_FAIL, {site.iid, kSource},
                Clean("The connection to the PostgreSQL server '" + serverHost + "', database '" +
                      databaseName + "' was lost" + (message.empty() ? "" : ": " + message) + "."));
  }

  // A mode 2 connection outside a batch that lost its server connects again, so that the next
  // call after the server is back works. Within a transaction the loss is final.
  HRESULT EnsureConnected(const ErrorSite& site) {
    if (PQstatus(pgConn) == CONNECTION_OK) return S_OK;
    if (Guarded()) {
      inBatch = false;
      return FailLost(site);
    }
    PQreset(pgConn);
    if (PQstatus(pgConn) != CONNECTION_OK) return FailLost(site);
    for (auto& table : tables) table.second.inserts.clear();
    return Start(site);
  }

  // Runs one statement and returns its result. Inside a transaction the statement runs under a
  // savepoint, sent with it in one pipeline; a failure rolls back to the savepoint, so the
  // transaction goes on as before the statement.
  // resultFormat 1 asks for the rows in binary form.
  PGresult* Exec(const char* sql, int count, const char* const* values, const int* lengths,
                 const int* formats, const char* prepared, bool guard = false,
                 int resultFormat = 0) {
    if (!guard || !Guarded()) {
      if (prepared != nullptr)
        return PQexecPrepared(pgConn, prepared, count, values, lengths, formats, resultFormat);
      return PQexecParams(pgConn, sql, count, nullptr, values, lengths, formats, resultFormat);
    }
    if (PQenterPipelineMode(pgConn) != 1) return nullptr;
    bool sent = PQsendQueryParams(pgConn, "SAVEPOINT zema_statement", 0, nullptr, nullptr, nullptr,
                                  nullptr, 0) == 1;
    if (sent)
      sent = (prepared != nullptr ? PQsendQueryPrepared(pgConn, prepared, count, values, lengths,
                                                        formats, resultFormat)
                                  : PQsendQueryParams(pgConn, sql, count, nullptr, values, lengths,
                                                      formats, resultFormat)) == 1;
    if (sent)
      sent = PQsendQueryParams(pgConn, "RELEASE SAVEPOINT zema_statement", 0, nullptr, nullptr,
                               nullptr, nullptr, 0) == 1;
    if (sent) sent = PQpipelineSync(pgConn) == 1;
    PGresult* main = nullptr;
    bool failed = !sent;
    // Results: the savepoint's, the statement's, the release's, each ended by a null; then the
    // synchronisation point.
    int query = 0;
    for (int nulls = 0; sent && nulls < 8;) {
      PGresult* result = PQgetResult(pgConn);
      if (result == nullptr) {
        ++query;
        ++nulls;
        if (PQstatus(pgConn) != CONNECTION_OK) break;
        continue;
      }
      const ExecStatusType status = PQresultStatus(result);
      if (status == PGRES_PIPELINE_SYNC) {
        PQclear(result);
        break;
      }
      if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) failed = true;
      if (query == 1 && main == nullptr)
        main = result;
      else if (main == nullptr && status == PGRES_FATAL_ERROR)
        main = result;  // the savepoint failed: its error stands for the statement's
      else
        PQclear(result);
    }
    PQexitPipelineMode(pgConn);
    if (failed && PQstatus(pgConn) == CONNECTION_OK) {
      Result undo(
          PQexec(pgConn, "ROLLBACK TO SAVEPOINT zema_statement; RELEASE SAVEPOINT zema_statement"));
    }
    return main;
  }

  HRESULT LoadNames(const ErrorSite& site) {
    Result result(Exec(kNamesQuery, 0, nullptr, nullptr, nullptr, nullptr));
    if (result.status() != PGRES_TUPLES_OK) return FailResult(result, site);
    tableNamesByFolded.clear();
    for (int row = 0; row < PQntuples(result.result); ++row) {
      const std::string name = PQgetvalue(result.result, row, 0);
      tableNamesByFolded[LowerAscii(name)].push_back(name);
    }
    namesLoaded = true;
    return S_OK;
  }

  std::string LookupName(std::string_view word) const {
    auto found = tableNamesByFolded.find(LowerAscii(word));
    if (found == tableNamesByFolded.end()) return std::string();
    for (const std::string& spelling : found->second)
      if (spelling == word) return spelling;
    return found->second.front();
  }

  HRESULT Table(const std::string& table, TableInfo** info, const ErrorSite& site) {
    const std::string plain = Unquote(table);
    auto found = tables.find(plain);
    if (found != tables.end()) {
      *info = &found->second;
      return S_OK;
    }
    if (HRESULT hr = EnsureConnected(site); FAILED(hr)) return hr;
    // The first table opened reads the columns of every table the session sees, in one query
    // (a Load opens them all); a table not among them is looked up by its name.
    if (!allTablesRead) {
      Result all(Exec(kAllColumnsQuery, 0, nullptr, nullptr, nullptr, nullptr));
      if (all.status() != PGRES_TUPLES_OK) return FailResult(all, site);
      const int rows = PQntuples(all.result);
      for (int begin = 0; begin < rows;) {
        int end = begin + 1;
        while (end < rows &&
               std::strcmp(PQgetvalue(all.result, end, 0), PQgetvalue(all.result, begin, 0)) == 0)
          ++end;
        TableInfo made = MakeTable(all.result, begin, end);
        const std::string name = PQgetvalue(all.result, begin, 1);
        tables.emplace(name, std::move(made));
        begin = end;
      }
      allTablesRead = true;
      found = tables.find(plain);
      if (found == tables.end()) {
        // Jet compared names without case.
        const std::string lower = LowerAscii(plain);
        for (auto it = tables.begin(); it != tables.end() && found == tables.end(); ++it)
          if (LowerAscii(it->first) == lower) found = it;
        if (found != tables.end()) found = tables.emplace(plain, found->second).first;
      }
      if (found != tables.end()) {
        *info = &found->second;
        return S_OK;
      }
    }
    const std::string quoted = sql::QuoteName(plain);
    const char* args[2] = {quoted.c_str(), plain.c_str()};
    Result result(Exec(kColumnsQuery, 2, args, nullptr, nullptr, nullptr));
    if (result.status() != PGRES_TUPLES_OK) return FailResult(result, site);
    const int rows = PQntuples(result.result);
    if (rows == 0)
      return Fail(DB_E_NOTABLE, {site.iid, kSource}, "relation \"" + plain + "\" does not exist");
    auto placed = tables.emplace(plain, MakeTable(result.result, 0, rows)).first;
    *info = &placed->second;
    return S_OK;
  }

  // A table from rows [begin, end) of a columns query (one row per column).
  TableInfo MakeTable(const PGresult* result, int begin, int end) {
    TableInfo made;
    made.oid = static_cast<Oid>(strtoul(PQgetvalue(result, begin, 0), nullptr, 10));
    made.quoted = sql::QuoteName(PQgetvalue(result, begin, 1));
    std::vector<std::pair<int, std::string>> keys;
    std::vector<std::string> declared;
    bool binary = true;
    for (int row = begin; row < end; ++row) {
      Column column;
      column.name = PQgetvalue(result, row, 3);
      column.wideName = Utf8ToUtf16(column.name);
      const std::string type = PQgetvalue(result, row, 4);
      const size_t position = static_cast<size_t>(atoi(PQgetvalue(result, row, 2)));
      if (declared.size() < position) declared.resize(position);
      if (position > 0) declared[position - 1] = type;
      column.type = ColumnTypeOf(type);
      const bool notNull = PQgetvalue(result, row, 5)[0] == 't';
      column.rowId = PQgetvalue(result, row, 6)[0] == 't';
      column.type.counter = column.rowId;
      const bool key = !PQgetisnull(result, row, 7);
      if (key) keys.emplace_back(atoi(PQgetvalue(result, row, 7)), column.name);
      column.attributes = BaseAttributes(column.type) | adFldUpdatable;
      if (!notNull && !column.rowId) column.attributes |= adFldIsNullable | adFldMayBeNull;
      if (column.rowId) column.attributes |= adFldRowID | (key ? adFldKeyColumn : 0);
      made.columns.push_back(std::move(column));
      if (!ReadsAsBinary(static_cast<Oid>(strtoul(PQgetvalue(result, row, 8), nullptr, 10))))
        binary = false;
    }
    made.binary = binary;
    std::sort(keys.begin(), keys.end());
    made.select = "SELECT * FROM " + made.quoted;
    for (size_t k = 0; k < keys.size(); ++k)
      made.select += (k == 0 ? " ORDER BY " : ", ") + sql::QuoteName(keys[k].second);
    declaredByTable[made.oid] = std::move(declared);
    return made;
  }

  // The columns of a statement's rows; a column of a table gets the table's declared type.
  HRESULT ResultColumns(const PGresult* result, std::vector<Column>* columns,
                        const ErrorSite& site) {
    columns->clear();
    const int count = PQnfields(result);
    for (int c = 0; c < count; ++c) {
      Column column;
      column.name = PQfname(result, c);
      column.wideName = Utf8ToUtf16(column.name);
      std::string declared = DeclaredOfType(PQftype(result, c), PQfmod(result, c));
      const Oid table = PQftable(result, c);
      const int position = PQftablecol(result, c);
      if (table != InvalidOid && position > 0) {
        auto found = declaredByTable.find(table);
        if (found == declaredByTable.end()) {
          const std::string oid = std::to_string(table);
          const char* args[1] = {oid.c_str()};
          Result types(Exec(kDeclaredQuery, 1, args, nullptr, nullptr, nullptr));
          if (types.status() != PGRES_TUPLES_OK) return FailResult(types, site);
          std::vector<std::string> byPosition;
          for (int row = 0; row < PQntuples(types.result); ++row) {
            const size_t at = static_cast<size_t>(atoi(PQgetvalue(types.result, row, 0)));
            if (byPosition.size() < at) byPosition.resize(at);
            byPosition[at - 1] = PQgetvalue(types.result, row, 1);
          }
          found = declaredByTable.emplace(table, std::move(byPosition)).first;
        }
        if (static_cast<size_t>(position) <= found->second.size() &&
            !found->second[static_cast<size_t>(position) - 1].empty())
          declared = found->second[static_cast<size_t>(position) - 1];
      }
      column.type = ColumnTypeOf(declared);
      column.attributes = BaseAttributes(column.type) | adFldIsNullable | adFldMayBeNull;
      columns->push_back(std::move(column));
    }
    return S_OK;
  }

  PGconn* pgConn;
  bool isReadOnly;
  bool inBatch = false;
  bool namesLoaded = false;
  bool allTablesRead = false;
  std::string serverHost, databaseName;
  std::vector<std::string> secretTexts;
  std::unordered_map<std::string, TableInfo> tables;
  std::unordered_map<Oid, std::vector<std::string>> declaredByTable;
  std::unordered_map<std::string, std::vector<std::string>> tableNamesByFolded;
  long statementCount = 0;
  PGresult* lastInsert = nullptr;
  std::vector<std::string> insertScratch;
  std::vector<Param> insertParams;
  std::vector<size_t> insertParamOf;
  std::vector<const char*> insertData;
  std::vector<int> insertLengths, insertFormats;
};

std::string OptionValue(const PQconninfoOption* options, const char* keyword) {
  for (const PQconninfoOption* option = options; option != nullptr && option->keyword != nullptr;
       ++option)
    if (std::strcmp(option->keyword, keyword) == 0 && option->val != nullptr) return option->val;
  return std::string();
}

}  // namespace

bool ServesDataSource(std::string_view dataSource) {
  while (!dataSource.empty() && (dataSource.front() == ' ' || dataSource.front() == '\t'))
    dataSource.remove_prefix(1);
  const std::string lower = LowerAscii(dataSource.substr(0, 13));
  return lower.rfind("postgresql://", 0) == 0 || lower.rfind("postgres://", 0) == 0;
}

HRESULT OpenConnection(const EngineOpenRequest& request,
                       std::unique_ptr<EngineConnection>* connection) {
  const ErrorSite site = {&IID_Connection, kSource};
  const std::string& uri = request.dataSource;
  std::vector<std::string> secrets = PasswordsIn(uri);
  auto clean = [&secrets](std::string text) {
    for (const std::string& secret : secrets) text = Scrub(std::move(text), secret);
    return text;
  };
  char* parseError = nullptr;
  PQconninfoOption* options = PQconninfoParse(uri.c_str(), &parseError);
  if (options == nullptr) {
    const std::string why = TrimMessage(parseError != nullptr ? parseError : "out of memory");
    PQfreemem(parseError);
    return Fail(E_FAIL, site,
                clean("The Data Source '" + MaskDataSource(uri) +
                      "' is not a PostgreSQL URI that can be used: " + why));
  }
  std::string host = OptionValue(options, "host");
  if (host.empty()) host = OptionValue(options, "hostaddr");
  std::string database = OptionValue(options, "dbname");
  const std::string password = OptionValue(options, "password");
  PQconninfoFree(options);
  if (!password.empty()) secrets.push_back(password);

  // The URI's own settings win over the timeout; the client encoding is always UTF-8, the text
  // of every value.
  const std::string timeout = std::to_string(request.timeoutSeconds);
  const char* keywords[] = {"connect_timeout", "dbname", "client_encoding",
                            "fallback_application_name", nullptr};
  const char* values[] = {timeout.c_str(), uri.c_str(), "UTF8", "ZEMATagAcs", nullptr};
  PGconn* conn = PQconnectdbParams(keywords, values, 1);
  if (conn == nullptr) return Fail(E_OUTOFMEMORY, site, "Out of memory.");
  // What libpq settled on, environment and defaults included.
  if (PQhost(conn) != nullptr && *PQhost(conn) != '\0') host = PQhost(conn);
  if (PQdb(conn) != nullptr && *PQdb(conn) != '\0') database = PQdb(conn);
  if (PQstatus(conn) != CONNECTION_OK) {
    const std::string why = TrimMessage(PQerrorMessage(conn));
    PQfinish(conn);
    return Fail(E_FAIL, site,
                clean("Could not connect to the PostgreSQL server '" + host + "', database '" +
                      database + "': " + why));
  }
  auto made =
      std::make_unique<PgConnection>(conn, request.readOnly, host, database, std::move(secrets));
  if (HRESULT hr = made->Start(site); FAILED(hr)) return hr;
  *connection = std::move(made);
  return S_OK;
}

}  // namespace pg
}  // namespace ado
}  // namespace platform
