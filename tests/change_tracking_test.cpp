// What the library does for change tracking: the generation of a database, the functions that
// its connections give to audit triggers (who writes, when, the rows as JSON), and the refusal
// of an AuditLog it cannot fill.
#include <errno.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ZEMABatch.h"
#include "ZEMAGeneration.h"
#include "ZEMATagAcs.h"
#include "platform/ado/audit.h"
#include "platform/com/com.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/WriterRecords.h"

namespace {

const char kGenerationSql[] =
    "CREATE TABLE ConfigGeneration (Generation INTEGER NOT NULL);"
    "INSERT INTO ConfigGeneration VALUES (4294967296);"
    "CREATE TRIGGER g1 AFTER INSERT ON Tags BEGIN UPDATE ConfigGeneration SET Generation = "
    "Generation + 1; END;"
    "CREATE TRIGGER g2 AFTER DELETE ON Tags BEGIN UPDATE ConfigGeneration SET Generation = "
    "Generation + 1; END;";

const char kAuditSql[] =
    "CREATE TABLE AuditLog (AuditID INTEGER PRIMARY KEY, Time TEXT NOT NULL, OsUser TEXT, Host "
    "TEXT, Program TEXT, Operation TEXT NOT NULL, TableName TEXT NOT NULL, TagID INTEGER, "
    "TagName TEXT, Before TEXT, After TEXT);"
    "CREATE TRIGGER a1 AFTER INSERT ON Tags BEGIN INSERT INTO AuditLog (Time, OsUser, Host, "
    "Program, Operation, TableName, TagID, TagName) VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', "
    "'now'), zema_audit_user(), zema_audit_host(), zema_audit_program(), 'insert', 'Tags', "
    "NEW.TagID, NEW.TagName); END;";

TagDbBuilder Plant() {
  TagDbBuilder db;
  db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}})
      .Tag(1, "TIC-1", "", 1)
      .Values("Analog", 1, {"1.5"});
  return db;
}

void SaveOne(const std::string& path, const std::string& name) {
  TestTag tag(name, 1);
  tag.Field("PV", DoubleValue(2.5));
  const TagRecord record = tag.Record();
  Writer writer = OpenWriter(path);
  ASSERT_EQ(writer->SaveTags(&record, 1), 1);
}

unsigned long long GenerationOf(const std::string& path) {
  unsigned long long generation = 0;
  EXPECT_EQ(ZemaConfigGeneration(path.c_str(), &generation), 1) << path;
  return generation;
}

TEST(ConfigGeneration, CounterMovesWithEveryCommittedWriteAndOnlyThen) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant().Sql(kGenerationSql).Write(path);
  const unsigned long long first = GenerationOf(path);
  EXPECT_EQ(first, 4294967296ull);
  EXPECT_EQ(GenerationOf(path), first) << "nothing was written";
  SaveOne(path, "TIC-2");
  EXPECT_EQ(GenerationOf(path), first + 1);
  const char* names[] = {"TIC-2"};
  OpenWriter(path)->DeleteTags(names, 1);
  EXPECT_EQ(GenerationOf(path), first + 2);
  // Any other process reads the same number from the file.
  EXPECT_EQ(QueryText(path, "SELECT Generation FROM ConfigGeneration"), std::to_string(first + 2));
}

TEST(ConfigGeneration, DatabaseWithoutCounterIsCountedByTheProcess) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant().Write(path);
  const unsigned long long first = GenerationOf(path);
  EXPECT_NE(first & (1ull << 63), 0u) << "a process-local number has the top bit set";
  EXPECT_EQ(GenerationOf(path), first);
  SaveOne(path, "TIC-2");
  const unsigned long long second = GenerationOf(path);
  EXPECT_NE(second, first);
  EXPECT_EQ(GenerationOf(path), second);
  // A write by a program that knows nothing of the library is seen as well.
  ExecSql(path, "UPDATE Tags SET TagDesc = 'x'");
  const unsigned long long third = GenerationOf(path);
  EXPECT_NE(third, second);
  // Another file moved to the path, even one with the same content, moves the number.
  Plant().Write(dir.File("other.db"));
  ASSERT_EQ(std::rename(dir.File("other.db").c_str(), path.c_str()), 0);
  EXPECT_NE(GenerationOf(path), third);
}

TEST(ConfigGeneration, BadArgumentsAndFilesFailWithoutTouchingTheResult) {
  TempDir dir;
  unsigned long long generation = 42;
  EXPECT_EQ(ZemaConfigGeneration(nullptr, &generation), 0);
  EXPECT_EQ(ZemaConfigGeneration(dir.File("plant.db").c_str(), nullptr), 0);
  EXPECT_EQ(ZemaConfigGeneration(dir.File("missing.db").c_str(), &generation), 0);
  EXPECT_EQ(ZemaConfigGeneration(dir.Path().c_str(), &generation), 0) << "a folder";
  const std::string text = dir.Write("notes.db", std::string(8192, 'x'));
  EXPECT_EQ(ZemaConfigGeneration(text.c_str(), &generation), 0);
  EXPECT_EQ(generation, 42u);
}

// A station reads the generation while an engineering tool commits tag after tag: every read
// succeeds, the number never goes back, and it ends where the writes took it.
TEST(ConfigGeneration, ReaderWhileWriterCommits) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant().Sql("PRAGMA journal_mode=WAL").Sql(kGenerationSql).Write(path);
  const unsigned long long start = GenerationOf(path);
  constexpr int kTags = 150;
  std::atomic<bool> done{false};
  std::atomic<int> failures{0}, backwards{0}, reads{0};
  std::thread reader([&] {
    unsigned long long last = start;
    while (!done.load()) {
      unsigned long long now = 0;
      if (ZemaConfigGeneration(path.c_str(), &now) != 1) {
        ++failures;
        continue;
      }
      if (now < last) ++backwards;
      last = now;
      ++reads;
    }
  });
  CoInitialize(nullptr);
  {
    Writer writer = OpenWriter(path);
    for (int i = 0; i < kTags; ++i) {
      TestTag tag("T-" + std::to_string(i), 1);
      tag.Field("PV", DoubleValue(i));
      const TagRecord record = tag.Record();
      ASSERT_EQ(writer->SaveTags(&record, 1), 1);
    }
  }
  CoUninitialize();
  done = true;
  reader.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(backwards.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(GenerationOf(path), start + kTags);
}

std::string ThisUser() {
  passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : "uid " + std::to_string(geteuid());
}

TEST(AuditConnection, TriggersLearnUserHostAndProgramFromTheConnection) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant().Sql(kAuditSql).Write(path);
  SaveOne(path, "TIC-2");
  char host[256] = {};
  gethostname(host, sizeof(host) - 1);
  EXPECT_EQ(QueryText(path,
                      "SELECT OsUser || '|' || Host || '|' || Program || '|' || TagName || "
                      "'|' || (TagID > 1) || '|' || (Time LIKE '____-__-__T__:__:__.___Z') "
                      "FROM AuditLog"),
            ThisUser() + "|" + host + "|" + program_invocation_short_name + "|TIC-2|1|1");
}

// With an audit trail the counter stays and the trail's ids count the writes.
TEST(ConfigGeneration, AuditedDatabaseCountsTheTrail) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant()
      .Sql(kAuditSql)
      .Sql(
          "CREATE TABLE ConfigGeneration (Generation INTEGER NOT NULL);"
          "INSERT INTO ConfigGeneration VALUES (8589934592)")
      .Write(path);
  EXPECT_EQ(GenerationOf(path), 8589934592ull);
  SaveOne(path, "TIC-2");
  EXPECT_EQ(GenerationOf(path), 8589934593ull);
  SaveOne(path, "TIC-3");
  EXPECT_EQ(GenerationOf(path), 8589934594ull);
}

TEST(AuditConnection, AuditLogWithOtherColumnsRefusesEveryWriter) {
  TempDir dir;
  const std::string path = dir.File("plant.db");
  Plant().Sql("CREATE TABLE AuditLog (Who TEXT, What TEXT)").Write(path);
  int thrown = -1;
  try {
    OpenWriter(path);
  } catch (int value) {
    thrown = value;
  }
  EXPECT_EQ(thrown, 0) << "the writer does not open";
  char reason[512] = {};
  ZemaLastError(reason, sizeof reason);
  EXPECT_NE(std::string(reason).find("AuditLog has the wrong columns (Who, What"),
            std::string::npos)
      << reason;
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Tags"), "1") << "nothing was written";
  // Reading stays possible: the trail is not touched by a Load.
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 1);
  CZEMATagAcs::Release();
}

// An in-memory database with the audit functions, for checking what they answer.
class CAuditFunctionsDb {
 public:
  CAuditFunctionsDb() {
    EXPECT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    EXPECT_TRUE(platform::ado::RegisterAuditFunctions(db));
  }
  ~CAuditFunctionsDb() { sqlite3_close(db); }
  void Exec(const std::string& sql) {
    char* message = nullptr;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK)
        << (message != nullptr ? message : "") << " in " << sql;
    sqlite3_free(message);
  }
  // The first column of every row, "NULL" for null, or "error: ..." when the statement fails.
  std::vector<std::string> Rows(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
      return {std::string("error: ") + sqlite3_errmsg(db)};
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      rows.emplace_back(text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                                      sqlite3_column_bytes(statement, 0))
                                        : "NULL");
    }
    if (rc != SQLITE_DONE) rows = {std::string("error: ") + sqlite3_errmsg(db)};
    sqlite3_finalize(statement);
    return rows;
  }
  std::string One(const std::string& sql) {
    const std::vector<std::string> rows = Rows(sql);
    return rows.size() == 1 ? rows[0] : "(" + std::to_string(rows.size()) + " rows)";
  }

 private:
  sqlite3* db = nullptr;
};

// An SQL text literal.
std::string SqlText(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
  return quoted + "'";
}

// The trail's JSON is written by zema_audit_json; it must be the text that json_object wrote
// before it, blobs spelt X'hex', for every kind of value and every name.
TEST(AuditConnection, RowJsonIsTheTextOfJsonObject) {
  CAuditFunctionsDb db;
  db.Exec(
      "CREATE TABLE v (x, r REAL);"
      "INSERT INTO v (x) VALUES (NULL), (0), (-1), (9223372036854775807), "
      "(-9223372036854775807 - 1), (1.5), (-0.0), (0.1), (1.0 / 3), (1e15), (1e16), "
      "(123456789012345.0), (-2.5e-7), (1e-300), (1.7976931348623157e308), (9e999), (-9e999), "
      "(''), ('plain'), ('quote \" backslash \\ slash /'), (char(1, 8, 9, 10, 12, 13, 31, 127)), "
      "('\xc3\xbc\xe2\x82\xac'), (CAST(x'610062' AS TEXT)), (x''), (x'00FF10ab');"
      "INSERT INTO v (x, r) VALUES ('stored as an integer', 5), ('a real', 2.25);");
  const std::string names = platform::ado::AuditJsonNames({"x", "r"});
  EXPECT_EQ(names, "[\"x\",\"r\"]");
  const std::string ours = "zema_audit_json(" + SqlText(names) + ", x, r)";
  const std::string theirs =
      "json_object('x', CASE typeof(x) WHEN 'blob' THEN 'X''' || hex(x) || '''' ELSE x END, "
      "'r', r)";
  EXPECT_EQ(db.Rows("SELECT quote(x) || ' gives ' || " + ours + " || ' for ' || " + theirs +
                    " FROM v WHERE " + ours + " IS NOT " + theirs),
            std::vector<std::string>{});
  EXPECT_EQ(db.One("SELECT count(*) FROM v"), "27");
  EXPECT_EQ(db.One("SELECT " + ours + " FROM v WHERE x = x'00FF10ab'"),
            "{\"x\":\"X'00FF10AB'\",\"r\":null}");

  // Names that need escapes, as json_object escapes them.
  const std::vector<std::string> odd = {"a\"b", "c\\d", "e\nf\x01g", "\xc3\xbc"};
  EXPECT_EQ(db.One("SELECT zema_audit_json(" + SqlText(platform::ado::AuditJsonNames(odd)) +
                   ", 1, 2.5, 'x', NULL)"),
            db.One("SELECT json_object(" + SqlText(odd[0]) + ", 1, " + SqlText(odd[1]) + ", 2.5, " +
                   SqlText(odd[2]) + ", 'x', " + SqlText(odd[3]) + ", NULL)"));

  // A wide row in pieces reads as the whole.
  EXPECT_EQ(db.One("SELECT '{' || zema_audit_json_members('[\"a\",\"b\"]', 1, 'x') || ',' || "
                   "zema_audit_json_members('[\"c\"]', 2.5) || '}'"),
            db.One("SELECT zema_audit_json('[\"a\",\"b\",\"c\"]', 1, 'x', 2.5)"));
  EXPECT_EQ(db.One("SELECT zema_audit_json('[]')"), "{}");

  // Names that do not fit the values are an error of the statement, not a crash or a guess.
  for (const char* call :
       {"zema_audit_json()", "zema_audit_json(1, 2)", "zema_audit_json('x', 1)",
        "zema_audit_json('[\"a\"]', 1, 2)", "zema_audit_json('[\"a\",\"b\"]', 1)",
        "zema_audit_json('[\"a', 1)", "zema_audit_json('[\"a\\\"]', 1)",
        "zema_audit_json('[a]', 1)", "zema_audit_json_members('[1]', 1)"}) {
    const std::string answer = db.One(std::string("SELECT ") + call);
    EXPECT_EQ(answer.rfind("error: zema_audit_json", 0), 0u) << call << " gave " << answer;
  }
}

// zema_audit_time gives strftime('%Y-%m-%dT%H:%M:%fZ', 'now')'s text of the same moment.
TEST(AuditConnection, TimeIsUtcToTheMillisecondAsStrftimeWritesIt) {
  CAuditFunctionsDb db;
  const std::string before = db.One("SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now')");
  const std::string time = db.One("SELECT zema_audit_time()");
  const std::string after = db.One("SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now')");
  // Same text as strftime gives for it, and between the two readings of the engine's clock.
  EXPECT_EQ(db.One("SELECT strftime('%Y-%m-%dT%H:%M:%fZ', " + SqlText(time) + ")"), time);
  EXPECT_LE(before, time);
  EXPECT_LE(time, after);
  EXPECT_EQ(time.size(), before.size());
}

}  // namespace
