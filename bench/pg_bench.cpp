// The library on a PostgreSQL server against plain libpq doing the same work, side by side in one
// run (ours and the baseline alternate which goes first; medians of the repetitions):
// - Load of the whole plant against a plain read of every table into memory (one query per table,
//   inside one REPEATABLE READ READ ONLY transaction, values parsed as the server sends them);
// - SaveTags of N tags (every row committed at once) against prepared inserts with the same
//   commits;
// - 20 stations loading at once (20 processes) against the same 20 loads one after another.
// Each figure comes with the CPU time of the client and of the server (every process of a server
// on this machine's Unix socket), so that a busy machine can be read through.
//
//   zema_bench_pg --uri=URI --tags=N --types=T --save=S --reps=R --nls=DIR
//                 [--only=load,save,stations] [--json=FILE] [--keep] [--reuse]
//
// The plant goes into a schema of its own on the server, written with COPY from the same model
// as the SQLite plant; nothing is left of it afterwards unless --keep is given (for profiling:
// the plant's URI is printed, and --reuse takes it up again instead of writing it anew).
#include <dirent.h>
#include <libpq-fe.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "PlainSqlite.h"
#include "PlantModel.h"
#include "TagRecords.h"
#include "ZEMATagAcs.h"
#include "tools/zematag/JetDomains.h"

namespace {

struct Options {
  std::string uri;
  std::string nls;
  int tags = bench::kDefaultTags;
  int types = bench::kDefaultTypes;
  int save = 10000;
  int reps = 3;
  int stations = 20;
  std::string only = "load,save,stations";  // the comparisons to run
  bool keep = false;                        // leave the schemas on the server (for profiling)
  bool reuse = false;  // take the plant left by --keep when it has the tags asked for
  std::string json;    // where the results go as JSON (for compare.py)
};

class Pg {
 public:
  explicit Pg(const std::string& uri) : conn_(PQconnectdb(uri.c_str())) {
    if (PQstatus(conn_) != CONNECTION_OK) {
      const std::string message = PQerrorMessage(conn_);
      PQfinish(conn_);
      throw std::runtime_error("cannot connect: " + message);
    }
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
  }
  ~Pg() { PQfinish(conn_); }
  Pg(const Pg&) = delete;
  Pg& operator=(const Pg&) = delete;
  PGconn* get() const { return conn_; }

  void Run(const std::string& sql) {
    PGresult* result = PQexec(conn_, sql.c_str());
    const ExecStatusType status = PQresultStatus(result);
    const std::string message = PQresultErrorMessage(result);
    PQclear(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      throw std::runtime_error(message + " in " + sql.substr(0, 200));
  }
  // Sends lines of COPY text into table.
  void Copy(const std::string& table, const std::string& rows) {
    PGresult* start = PQexec(conn_, ("COPY " + table + " FROM STDIN").c_str());
    const bool copying = PQresultStatus(start) == PGRES_COPY_IN;
    const std::string why = PQresultErrorMessage(start);
    PQclear(start);
    if (!copying) throw std::runtime_error("COPY " + table + ": " + why);
    if (PQputCopyData(conn_, rows.data(), static_cast<int>(rows.size())) != 1 ||
        PQputCopyEnd(conn_, nullptr) != 1)
      throw std::runtime_error(PQerrorMessage(conn_));
    PGresult* result = PQgetResult(conn_);
    const bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
    const std::string message = PQresultErrorMessage(result);
    PQclear(result);
    while ((result = PQgetResult(conn_)) != nullptr) PQclear(result);
    if (!ok) throw std::runtime_error("COPY " + table + ": " + message);
  }
  long long Count(const std::string& table) {
    PGresult* result = PQexec(conn_, ("SELECT count(*) FROM " + table).c_str());
    const long long count =
        PQresultStatus(result) == PGRES_TUPLES_OK ? atoll(PQgetvalue(result, 0, 0)) : -1;
    PQclear(result);
    return count;
  }

 private:
  PGconn* conn_;
};

std::string Quote(const std::string& name) { return "\"" + name + "\""; }

std::string WithSchema(const std::string& uri, const std::string& schema) {
  return uri + (uri.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" +
         schema;
}

const char* ServerType(bench::FieldType type) {
  switch (type) {
    case bench::FieldType::Long:
      return "long";
    case bench::FieldType::Double:
      return "double";
    case bench::FieldType::Bit:
      return "yesno";
    case bench::FieldType::Text:
      return "varchar(16)";
    case bench::FieldType::DateTime:
      return "datetime";
    case bench::FieldType::Currency:
      return "currency";
  }
  return "text";
}

// The empty tables of a tag database in the current schema of db.
void CreateTables(Pg& db, int types) {
  db.Run(std::string(kJetDomainsSql));
  db.Run(
      "CREATE TABLE \"TagTypes\" (\"TypeID\" long, \"TypeName\" varchar(64), \"TypeLibID\" long, "
      "\"TypeModuleID\" long);"
      "CREATE TABLE \"Tags\" (\"TagID\" integer GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY, "
      "\"TagName\" varchar(31), \"TagDesc\" varchar(255), \"TagType\" short, \"TagGroup\" short, "
      "\"TagLevel\" short, \"AlmLevel\" short);"
      "CREATE TABLE \"HMIInfo\" (\"TagID\" long, \"FieldName\" varchar(31), \"SCH\" double, "
      "\"SCL\" double, \"EU\" varchar(7), \"Decimal\" long)");
  std::string rows;
  for (int type = 1; type <= types; ++type) {
    std::string sql = "CREATE TABLE " + Quote(bench::TypeName(type)) + " (\"TagID\" long";
    for (const bench::FieldSpec& field : bench::Fields())
      sql += ", " + Quote(field.name) + " " + ServerType(field.type);
    db.Run(sql + ")");
    rows += std::to_string(type) + "\t" + bench::TypeName(type) + "\t" +
            std::to_string(bench::TypeLibId(type)) + "\t" +
            std::to_string(bench::TypeModuleId(type)) + "\n";
  }
  db.Copy("\"TagTypes\"", rows);
}

std::string Real(double value) {
  char buffer[40];
  snprintf(buffer, sizeof buffer, "%.17g", value);
  return buffer;
}

// The plant of the model, tags 1..tags, in the current schema of db.
void WritePlant(Pg& db, const Options& options) {
  CreateTables(db, options.types);
  std::string tags, hmi;
  std::vector<std::string> values(static_cast<size_t>(options.types) + 1);
  const std::vector<bench::FieldSpec>& fields = bench::Fields();
  for (int tag = 1; tag <= options.tags; ++tag) {
    const int type = bench::TagType(tag, options.types);
    tags += std::to_string(tag) + "\t" + bench::TagName(tag) + "\t" +
            bench::TagDesc(tag, options.types) + "\t" + std::to_string(type) + "\t" +
            std::to_string(bench::TagGroup(tag)) + "\t" + std::to_string(bench::TagLevel(tag)) +
            "\t" + std::to_string(bench::AlmLevel(tag)) + "\n";
    for (int row = 0; row < bench::kHmiRowsPerTag; ++row) {
      const bench::HmiSpec spec = bench::Hmi(tag, row);
      hmi += std::to_string(tag) + "\t" + spec.fieldName + "\t" + Real(spec.sch) + "\t" +
             Real(spec.scl) + "\t" + spec.eu + "\t" + std::to_string(spec.decimals) + "\n";
    }
    std::string& line = values[static_cast<size_t>(type)];
    line += std::to_string(tag);
    for (size_t f = 0; f < fields.size(); ++f) {
      const int field = static_cast<int>(f);
      line += "\t";
      switch (fields[f].type) {
        case bench::FieldType::Long:
          line += std::to_string(bench::LongValue(tag, field));
          break;
        case bench::FieldType::Double:
          line += Real(bench::DoubleValue(tag, field));
          break;
        case bench::FieldType::Bit:
          line += bench::BitValue(tag, field) ? "t" : "f";
          break;
        case bench::FieldType::Text:
          line += bench::TextValue(tag, field);
          break;
        case bench::FieldType::DateTime:
          line += bench::DateText(bench::DateValue(tag, field));
          break;
        case bench::FieldType::Currency: {
          const long long cy = bench::CurrencyTenThousandths(tag, field);
          char buffer[40];
          snprintf(buffer, sizeof buffer, "%s%lld.%04lld", cy < 0 ? "-" : "", llabs(cy) / 10000,
                   llabs(cy) % 10000);
          line += buffer;
          break;
        }
      }
    }
    line += "\n";
  }
  db.Copy("\"Tags\"", tags);
  db.Copy("\"HMIInfo\"", hmi);
  for (int type = 1; type <= options.types; ++type)
    db.Copy(Quote(bench::TypeName(type)), values[static_cast<size_t>(type)]);
  db.Run(
      "SELECT setval(pg_get_serial_sequence('\"Tags\"', 'TagID'), (SELECT max(\"TagID\") FROM "
      "\"Tags\")); ANALYZE");
}

// A value as the plain reader keeps it: 16 bytes, text copied.
struct PlainValue {
  int kind;  // 0 null, 1 integer, 2 real, 3 text
  int length;
  union {
    long long integer;
    double real;
    char* text;
  };
};

// Every table of the plant read into memory: one query per table, as the library reads them.
size_t PlainLoad(const std::string& uri, std::vector<std::vector<PlainValue>>* tables) {
  for (auto& table : *tables)
    for (PlainValue& value : table)
      if (value.kind == 3) free(value.text);
  tables->clear();
  Pg db(uri);
  db.Run("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY");
  std::vector<std::string> names = {"TagTypes", "Tags", "HMIInfo"};
  PGresult* types = PQexec(db.get(), "SELECT \"TypeName\" FROM \"TagTypes\"");
  for (int row = 0; row < PQntuples(types); ++row) names.push_back(PQgetvalue(types, row, 0));
  PQclear(types);
  size_t tags = 0;
  for (const std::string& name : names) {
    const std::string sql =
        "SELECT * FROM " + Quote(name) + (name == "Tags" ? " ORDER BY \"TagID\"" : "");
    PGresult* result =
        PQexecParams(db.get(), sql.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0);
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      const std::string message = PQresultErrorMessage(result);
      PQclear(result);
      throw std::runtime_error(message);
    }
    const int rows = PQntuples(result), columns = PQnfields(result);
    std::vector<Oid> oids;
    for (int c = 0; c < columns; ++c) oids.push_back(PQftype(result, c));
    std::vector<PlainValue> values(static_cast<size_t>(rows) * static_cast<size_t>(columns));
    for (int row = 0; row < rows; ++row) {
      for (int c = 0; c < columns; ++c) {
        PlainValue& value = values[static_cast<size_t>(row) * columns + c];
        value.kind = 0;
        value.length = 0;
        if (PQgetisnull(result, row, c)) continue;
        const char* text = PQgetvalue(result, row, c);
        switch (oids[static_cast<size_t>(c)]) {
          case 20:
          case 21:
          case 23:
            value.kind = 1;
            value.integer = atoll(text);
            break;
          case 16:
            value.kind = 1;
            value.integer = text[0] == 't';
            break;
          case 700:
          case 701:
            value.kind = 2;
            value.real = strtod(text, nullptr);
            break;
          default:
            value.kind = 3;
            value.length = PQgetlength(result, row, c);
            value.text = strndup(text, static_cast<size_t>(value.length));
            break;
        }
      }
    }
    if (name == "Tags") tags = static_cast<size_t>(rows);
    PQclear(result);
    tables->push_back(std::move(values));
  }
  db.Run("COMMIT");
  return tags;
}

int OurLoad(const std::string& uri) {
  CZEMATagAcs::Release();
  const int count =
      CZEMATagAcs::Instance()->Load(uri.c_str()) == 1 ? CZEMATagAcs::Instance()->GetTagCount() : -1;
  CZEMATagAcs::Release();
  return count;
}

// Prepared inserts of every row, each its own commit, as SaveTags without a batch stores them.
void PlainSave(const std::string& uri, const std::vector<bench::PlainTagRow>& rows, int types) {
  Pg db(uri);
  PGresult* result = PQprepare(
      db.get(), "tag",
      "INSERT INTO \"Tags\" (\"TagName\", \"TagDesc\", \"TagType\", \"TagGroup\", \"TagLevel\", "
      "\"AlmLevel\") VALUES ($1, $2, $3, $4, $5, $6) RETURNING \"TagID\"",
      0, nullptr);
  PQclear(result);
  result = PQprepare(db.get(), "hmi", "INSERT INTO \"HMIInfo\" VALUES ($1, $2, $3, $4, $5, $6)", 0,
                     nullptr);
  PQclear(result);
  const std::vector<bench::FieldSpec>& fields = bench::Fields();
  for (int type = 1; type <= types; ++type) {
    std::string sql = "INSERT INTO " + Quote(bench::TypeName(type)) + " VALUES ($1";
    for (size_t f = 0; f < fields.size(); ++f) sql += ", $" + std::to_string(f + 2);
    PQclear(
        PQprepare(db.get(), ("v" + std::to_string(type)).c_str(), (sql + ")").c_str(), 0, nullptr));
  }
  for (const bench::PlainTagRow& row : rows) {
    const std::string type = std::to_string(row.type), group = std::to_string(row.group),
                      level = std::to_string(row.level), alm = std::to_string(row.almLevel);
    const char* tagValues[6] = {row.name.c_str(), row.desc.c_str(), type.c_str(),
                                group.c_str(),    level.c_str(),    alm.c_str()};
    result = PQexecPrepared(db.get(), "tag", 6, tagValues, nullptr, nullptr, 0);
    if (PQresultStatus(result) != PGRES_TUPLES_OK) {
      const std::string message = PQresultErrorMessage(result);
      PQclear(result);
      throw std::runtime_error(message);
    }
    const std::string id = PQgetvalue(result, 0, 0);
    PQclear(result);
    std::vector<std::string> texts;
    texts.push_back(id);
    for (size_t f = 0; f < row.values.size(); ++f) {
      const bench::PlainTagRow::Value& value = row.values[f];
      if (fields[f].type == bench::FieldType::Bit)
        texts.push_back(value.integer != 0 ? "t" : "f");
      else if (value.kind == 1)  // SQLITE_INTEGER
        texts.push_back(std::to_string(value.integer));
      else if (value.kind == 2)  // SQLITE_FLOAT
        texts.push_back(Real(value.real));
      else
        texts.push_back(value.text);
    }
    std::vector<const char*> pointers;
    for (const std::string& text : texts) pointers.push_back(text.c_str());
    result = PQexecPrepared(db.get(), ("v" + type).c_str(), static_cast<int>(pointers.size()),
                            pointers.data(), nullptr, nullptr, 0);
    PQclear(result);
    for (const bench::PlainTagRow::Hmi& hmi : row.hmi) {
      const std::string sch = Real(hmi.sch), scl = Real(hmi.scl),
                        decimals = std::to_string(hmi.decimals);
      const char* hmiValues[6] = {id.c_str(),  hmi.fieldName.c_str(), sch.c_str(),
                                  scl.c_str(), hmi.eu.c_str(),        decimals.c_str()};
      result = PQexecPrepared(db.get(), "hmi", 6, hmiValues, nullptr, nullptr, 0);
      PQclear(result);
    }
  }
}

// Where the time of one measurement went: wall time, this process's CPU time (its children's
// for the stations) and the server's CPU time (every process of the server, ended backends
// included), in seconds.
struct Cost {
  double wall = 0, client = 0, server = -1;
};

double CpuSeconds(int who) {
  struct rusage usage;
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU time of the server's processes, from /proc: the postmaster's own and its reaped
// children's (ended backends), and that of the children still running. -1 when the server is not
// on this machine's Unix socket.
class ServerClock {
 public:
  explicit ServerClock(const std::string& uri) {
    Pg db(uri);
    const char* host = PQhost(db.get());
    const char* port = PQport(db.get());
    if (host == nullptr || host[0] != '/' || port == nullptr) return;
    FILE* lock = std::fopen((std::string(host) + "/.s.PGSQL." + port + ".lock").c_str(), "r");
    if (lock == nullptr) return;
    if (std::fscanf(lock, "%d", &postmaster_) != 1) postmaster_ = -1;
    std::fclose(lock);
  }
  double Seconds() const {
    if (postmaster_ <= 0) return -1;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double total = 0;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return -1;
    while (struct dirent* entry = readdir(proc)) {
      const int pid = atoi(entry->d_name);
      if (pid <= 0) continue;
      long long parent = 0, user = 0, system = 0, childUser = 0, childSystem = 0;
      if (!Stat(pid, &parent, &user, &system, &childUser, &childSystem)) continue;
      if (pid == postmaster_)
        total += static_cast<double>(user + system + childUser + childSystem) / tick;
      else if (parent == postmaster_)
        total += static_cast<double>(user + system) / tick;
    }
    closedir(proc);
    return total;
  }

 private:
  static bool Stat(int pid, long long* parent, long long* user, long long* system,
                   long long* childUser, long long* childSystem) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    FILE* file = std::fopen(path, "r");
    if (file == nullptr) return false;
    char line[1024];
    const bool read = std::fgets(line, sizeof line, file) != nullptr;
    std::fclose(file);
    if (!read) return false;
    // The command name may hold blanks and parentheses: the fields start after the last ')'.
    const char* rest = std::strrchr(line, ')');
    if (rest == nullptr) return false;
    long long field[20] = {};
    int n = 0;
    for (const char* p = rest + 2; *p != '\0' && n < 20; ++n) {
      if (n == 0) {  // the state, a letter
        p += 2;
        continue;
      }
      char* next = nullptr;
      field[n] = strtoll(p, &next, 10);
      if (next == p) break;
      p = *next == ' ' ? next + 1 : next;
    }
    if (n < 15) return false;
    // After the state: ppid (1), ..., utime (11), stime (12), cutime (13), cstime (14).
    *parent = field[1];
    *user = field[11];
    *system = field[12];
    *childUser = field[13];
    *childSystem = field[14];
    return true;
  }

  int postmaster_ = -1;
};

Cost Measure(const ServerClock& server, int who, const std::function<void()>& work) {
  const double serverBefore = server.Seconds(), clientBefore = CpuSeconds(who);
  const auto start = std::chrono::steady_clock::now();
  work();
  Cost cost;
  cost.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  cost.client = CpuSeconds(who) - clientBefore;
  const double serverAfter = server.Seconds();
  if (serverBefore >= 0 && serverAfter >= 0) cost.server = serverAfter - serverBefore;
  return cost;
}

double Seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The median of each figure of the repetitions.
Cost Median(const std::vector<Cost>& costs) {
  auto median = [&costs](double Cost::*figure) {
    std::vector<double> values;
    for (const Cost& cost : costs) values.push_back(cost.*figure);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  };
  Cost result;
  result.wall = median(&Cost::wall);
  result.client = median(&Cost::client);
  result.server = median(&Cost::server);
  return result;
}

// Runs count loads in child processes, all at once or one after another.
void Stations(const std::string& uri, int count, bool atOnce, int expected) {
  std::vector<pid_t> children;
  auto spawn = [&] {
    const pid_t pid = fork();
    if (pid == 0) _exit(OurLoad(uri) == expected ? 0 : 1);
    return pid;
  };
  auto wait = [](pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      throw std::runtime_error("a station's Load failed");
  };
  if (atOnce) {
    for (int i = 0; i < count; ++i) children.push_back(spawn());
    for (pid_t pid : children) wait(pid);
  } else {
    for (int i = 0; i < count; ++i) wait(spawn());
  }
}

// One comparison: printed as a row, and kept for the JSON report.
struct Comparison {
  std::string key, what;
  Cost ours, base;
  double target;
};

std::string Ms(double seconds) {
  char buffer[32];
  if (seconds < 0) return "n/a";
  std::snprintf(buffer, sizeof buffer, "%.1f ms", seconds * 1000);
  return buffer;
}

std::string RatioText(double a, double b) {
  char buffer[32];
  if (a < 0 || b <= 0) return "n/a";
  std::snprintf(buffer, sizeof buffer, "%.2fx", a / b);
  return buffer;
}

void PrintRows(const std::vector<Comparison>& rows) {
  std::printf(
      "\nResults on the server (medians; ratio = ours / baseline; CPU = client + server)\n");
  std::printf("  %-44s %11s %11s %7s %9s %9s  %-7s %s\n", "comparison", "ours", "baseline", "ratio",
              "CPU ratio", "srv ratio", "target", "result");
  for (const Comparison& row : rows) {
    const bool server = row.ours.server >= 0 && row.base.server >= 0;
    const double ratio = row.ours.wall / row.base.wall;
    char target[16];
    std::snprintf(target, sizeof target, "<= %.1fx", row.target);
    std::printf("  %-44s %11s %11s %6.2fx %9s %9s  %-7s %s\n", row.what.c_str(),
                Ms(row.ours.wall).c_str(), Ms(row.base.wall).c_str(), ratio,
                RatioText(row.ours.client + (server ? row.ours.server : 0),
                          row.base.client + (server ? row.base.server : 0))
                    .c_str(),
                server ? RatioText(row.ours.server, row.base.server).c_str() : "n/a", target,
                ratio <= row.target ? "PASS" : "FAIL");
  }
}

void WriteJson(const std::string& path, const Options& options,
               const std::vector<Comparison>& rows) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) throw std::runtime_error("cannot write " + path);
  std::fprintf(out, "{\"tags\": %d, \"types\": %d, \"save\": %d, \"reps\": %d, \"stations\": %d,\n",
               options.tags, options.types, options.save, options.reps, options.stations);
  std::fprintf(out, " \"comparisons\": [");
  for (size_t i = 0; i < rows.size(); ++i) {
    const Comparison& row = rows[i];
    std::fprintf(out,
                 "%s\n  {\"key\": \"%s\", \"what\": \"%s\", \"target\": %.2f, \"ours_ms\": %.3f, "
                 "\"base_ms\": %.3f, \"ours_client_ms\": %.3f, \"base_client_ms\": %.3f, "
                 "\"ours_server_ms\": %.3f, \"base_server_ms\": %.3f}",
                 i == 0 ? "" : ",", row.key.c_str(), row.what.c_str(), row.target,
                 row.ours.wall * 1000, row.base.wall * 1000, row.ours.client * 1000,
                 row.base.client * 1000, row.ours.server * 1000, row.base.server * 1000);
  }
  std::fprintf(out, "\n]}\n");
  std::fclose(out);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const char* uri = getenv("ZEMA_TEST_PG_URI")) options.uri = uri;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* key) {
      const std::string prefix = std::string("--") + key + "=";
      return arg.rfind(prefix, 0) == 0 ? arg.substr(prefix.size()) : std::string();
    };
    if (!value("uri").empty()) options.uri = value("uri");
    if (!value("nls").empty()) options.nls = value("nls");
    if (!value("tags").empty()) options.tags = std::stoi(value("tags"));
    if (!value("types").empty()) options.types = std::stoi(value("types"));
    if (!value("save").empty()) options.save = std::stoi(value("save"));
    if (!value("reps").empty()) options.reps = std::max(1, std::stoi(value("reps")));
    if (!value("only").empty()) options.only = value("only");
    if (!value("json").empty()) options.json = value("json");
    if (arg == "--keep") options.keep = true;
    if (arg == "--reuse") options.reuse = true;
  }
  if (options.uri.empty()) {
    std::fprintf(stderr, "zema_bench_pg: no server (--uri or ZEMA_TEST_PG_URI)\n");
    return 2;
  }
  if (!options.nls.empty()) setenv("HVK_NLS_DIR", options.nls.c_str(), 1);
  options.save = std::min(options.save, options.tags);
  auto wanted = [&options](const char* what) {
    return ("," + options.only + ",").find(std::string(",") + what + ",") != std::string::npos;
  };
  try {
    const std::string plantSchema = "bench_plant", workSchema = "bench_work";
    const std::string plant = WithSchema(options.uri, plantSchema);
    const std::string work = WithSchema(options.uri, workSchema);
    bool reused = false;
    if (options.reuse) {
      Pg db(plant);
      PGresult* result = PQexec(db.get(), "SELECT count(*) FROM \"Tags\"");
      reused = PQresultStatus(result) == PGRES_TUPLES_OK &&
               atoll(PQgetvalue(result, 0, 0)) == options.tags;
      PQclear(result);
    }
    double written = 0;
    if (!reused) {
      {
        Pg admin(options.uri);
        admin.Run("DROP SCHEMA IF EXISTS " + plantSchema + " CASCADE; DROP SCHEMA IF EXISTS " +
                  workSchema + " CASCADE; CREATE SCHEMA " + plantSchema + "; CREATE SCHEMA " +
                  workSchema);
      }
      written = Seconds([&] {
        Pg db(plant);
        WritePlant(db, options);
        Pg empty(work);
        CreateTables(empty, options.types);
      });
    }
    char origin[64];
    std::snprintf(origin, sizeof origin, reused ? "left by an earlier run" : "written in %.1f s",
                  written);
    std::printf("bench (server): %d tags, %d types on the server (%s), %d repetitions\n",
                options.tags, options.types, origin, options.reps);
    const ServerClock server(options.uri);
    std::vector<Comparison> results;

    // Load against the plain read, alternating which goes first. Each times the read alone: the
    // memory of the previous repetition is released outside the measurement, on both sides.
    // "load-ours" or "load-plain" runs one side alone (for profiling the server's part).
    const bool loadOurs = wanted("load") || wanted("load-ours"),
               loadPlain = wanted("load") || wanted("load-plain");
    if (loadOurs || loadPlain) {
      std::vector<Cost> ours, plain;
      std::vector<std::vector<PlainValue>> tables;
      auto freeTables = [&tables] {
        for (auto& table : tables)
          for (PlainValue& value : table)
            if (value.kind == 3) free(value.text);
        tables.clear();
      };
      for (int rep = 0; rep < options.reps; ++rep) {
        for (int turn = 0; turn < 2; ++turn) {
          if ((turn == 0) == (rep % 2 == 0)) {
            if (!loadOurs) continue;
            int count = 0;
            ours.push_back(Measure(server, RUSAGE_SELF, [&] {
              count = CZEMATagAcs::Instance()->Load(plant.c_str()) == 1
                          ? CZEMATagAcs::Instance()->GetTagCount()
                          : -1;
            }));
            CZEMATagAcs::Release();
            if (count != options.tags)
              throw std::runtime_error("Load saw " + std::to_string(count));
          } else {
            if (!loadPlain) continue;
            size_t rows = 0;
            freeTables();
            plain.push_back(
                Measure(server, RUSAGE_SELF, [&] { rows = PlainLoad(plant, &tables); }));
            if (rows != static_cast<size_t>(options.tags))
              throw std::runtime_error("plain read short");
          }
        }
      }
      freeTables();
      if (loadOurs && loadPlain) {
        results.push_back({"load",
                           "Load of " + std::to_string(options.tags) + " tags vs plain libpq",
                           Median(ours), Median(plain), 1.5});
      } else {
        const Cost one = Median(loadOurs ? ours : plain);
        std::printf("%s alone: %.1f ms, client CPU %.1f ms, server CPU %.1f ms\n",
                    loadOurs ? "Load" : "plain read", one.wall * 1000, one.client * 1000,
                    one.server * 1000);
      }
    }

    // SaveTags against plain inserts with the same commits, into an emptied work schema.
    if (wanted("save")) {
      const bench::TagRecords records(options.save, options.types);
      const std::vector<bench::PlainTagRow> rows =
          bench::MakePlainTagRows(options.save, options.types);
      auto empty = [&] {
        Pg db(work);
        db.Run("TRUNCATE \"Tags\", \"HMIInfo\" RESTART IDENTITY");
        for (int type = 1; type <= options.types; ++type)
          db.Run("TRUNCATE " + Quote(bench::TypeName(type)));
      };
      std::vector<Cost> ours, plain;
      for (int rep = 0; rep < options.reps; ++rep) {
        for (int turn = 0; turn < 2; ++turn) {
          empty();
          if ((turn == 0) == (rep % 2 == 0)) {
            ours.push_back(Measure(server, RUSAGE_SELF, [&] {
              CZEMAConfigAcs* writer = CZEMAConfigAcs::Open(work.c_str());
              if (writer == nullptr) throw std::runtime_error("Open failed");
              writer->SaveTags(records.Records(), records.Count());
              writer->Close();
            }));
            if (Pg(work).Count("\"Tags\"") != options.save)
              throw std::runtime_error("SaveTags stored too few tags");
          } else {
            plain.push_back(
                Measure(server, RUSAGE_SELF, [&] { PlainSave(work, rows, options.types); }));
            if (Pg(work).Count("\"Tags\"") != options.save)
              throw std::runtime_error("the plain inserts stored too few tags");
          }
        }
      }
      results.push_back({"save",
                         "SaveTags of " + std::to_string(options.save) + " tags vs plain libpq",
                         Median(ours), Median(plain), 1.5});
    }

    // Stations at once against one after another.
    if (wanted("stations")) {
      std::vector<Cost> ours, plain;
      for (int rep = 0; rep < options.reps; ++rep) {
        ours.push_back(Measure(server, RUSAGE_CHILDREN,
                               [&] { Stations(plant, options.stations, true, options.tags); }));
        plain.push_back(Measure(server, RUSAGE_CHILDREN,
                                [&] { Stations(plant, options.stations, false, options.tags); }));
      }
      results.push_back(
          {"stations", std::to_string(options.stations) + " stations at once vs one after another",
           Median(ours), Median(plain), 1.3});
    }

    if (!options.keep) {
      Pg admin(options.uri);
      admin.Run("DROP SCHEMA " + plantSchema + " CASCADE; DROP SCHEMA " + workSchema + " CASCADE");
    } else {
      std::printf("kept: the plant is at %s\n", plant.c_str());
    }
    PrintRows(results);
    if (!options.json.empty()) WriteJson(options.json, options, results);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zema_bench_pg: %s\n", error.what());
    return 1;
  }
  return 0;
}
