// What every plant meets sooner or later: a database locked by another program, a read-only
// installation, a full disk, a damaged file. The library waits a bounded time, refuses what it
// cannot do at the first call that can tell, and says which of these it met (ZemaLastError).
// The read-only cases run in a child that gave up root, since root ignores file permissions.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ZEMABatch.h"
#include "ZEMATagAcs.h"
#include "support/ChildProcess.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/TwoAnalogTags.h"
#include "support/WriterRecords.h"

namespace {

TagDbBuilder PlantDb() { return TwoAnalogTagsDb(); }

struct NewTags {
  explicit NewTags(int count, const std::string& prefix = "N") {
    for (int n = 0; n < count; ++n) {
      tags.emplace_back(prefix + std::to_string(n), 1, "new tag number " + std::to_string(n));
      tags.back().Field("PV", DoubleValue(n)).Field("Mode", LongValue(n)).Hmi("PV", 1, 0, "K", 1);
    }
    for (const TestTag& tag : tags) records.push_back(tag.Record());
  }
  int Save(CZEMAConfigAcs* writer) const {
    return writer->SaveTags(records.data(), static_cast<int>(records.size()));
  }
  std::vector<TestTag> tags;
  std::vector<TagRecord> records;
};

// "kind: description" of the thread's last error.
std::string LastError() {
  char text[512];
  const int kind = ZemaLastError(text, sizeof text);
  return std::to_string(kind) + ": " + text;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The result of Open as text: "writer" or "threw 0" with the last error.
std::string TryOpen(const std::string& path) {
  try {
    CZEMAConfigAcs* writer = CZEMAConfigAcs::Open(path.c_str());
    writer->Close();
    return "writer";
  } catch (int) {
    return "threw 0, " + LastError();
  }
}

// The tag count a Load sees, or "failed" with the last error.
std::string TryLoad(const std::string& path) {
  CZEMATagAcs::Release();
  std::string result;
  try {
    result = CZEMATagAcs::Instance()->Load(path.c_str()) == 1
                 ? std::to_string(CZEMATagAcs::Instance()->GetTagCount()) + " tags"
                 : "failed, " + LastError();
  } catch (const PlatformError&) {
    result = "threw, " + LastError();
  }
  CZEMATagAcs::Release();
  return result;
}

// Runs body in a child process and returns what it wrote, or why there is nothing.
std::string InChild(const std::function<std::string()>& body) {
  int ends[2];
  if (pipe(ends) != 0) return "no pipe";
  const pid_t child = SpawnChild([&] {
    close(ends[0]);
    const std::string text = body();
    return write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
  });
  close(ends[1]);
  std::string text;
  char buffer[512];
  ssize_t got;
  while ((got = read(ends[0], buffer, sizeof buffer)) > 0) text.append(buffer, got);
  close(ends[0]);
  const int status = WaitChild(child);
  return status == 0 ? text : "child ended with " + std::to_string(status) + ": " + text;
}

// A child that holds the database with plain SQLite (the write lock for "BEGIN IMMEDIATE", a
// read lock for "BEGIN; SELECT ...") until the object goes.
class LockHolder {
 public:
  LockHolder(const std::string& path, const std::string& sql) {
    int ready[2];
    if (pipe(ready) != 0 || pipe(release) != 0) return;
    pid = SpawnChild([&] {
      close(ready[0]);
      close(release[1]);
      sqlite3* db = nullptr;
      if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
          sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        return 1;
      char byte = 'r';
      if (write(ready[1], &byte, 1) != 1) return 1;
      const ssize_t ignored = read(release[0], &byte, 1);  // until the parent lets go
      (void)ignored;
      sqlite3_close_v2(db);
      return 0;
    });
    close(ready[1]);
    close(release[0]);
    char byte = 0;
    holding = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
  }
  ~LockHolder() {
    close(release[1]);
    if (pid > 0) WaitChild(pid);
  }
  bool holding = false;

 private:
  pid_t pid = -1;
  int release[2] = {-1, -1};
};

class EngineConditionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.Path().c_str(), 1);  // no function block library
  }
  void TearDown() override {
    chmod(dir.Path().c_str(), 0700);  // so that the folder can be removed
    CZEMATagAcs::Release();
  }
  std::string Rows() const {
    return QueryText(path,
                     "SELECT (SELECT group_concat(TagID||TagName, ';') FROM Tags) || '|' || "
                     "(SELECT group_concat(TagID||','||PV, ';') FROM Analog) || '|' || "
                     "(SELECT group_concat(TagID||FieldName, ';') FROM HMIInfo)");
  }

  TempDir dir;
  std::string path = dir.File("plant.db");
};

// A folder in memory when the machine offers /dev/shm: the full-disk test commits row by row.
std::unique_ptr<TempDir> MemoryTempDir() {
  if (access("/dev/shm", W_OK) != 0) return std::make_unique<TempDir>();
  const char* old = getenv("TMPDIR");
  const std::string saved = old != nullptr ? old : "";
  setenv("TMPDIR", "/dev/shm", 1);
  auto made = std::make_unique<TempDir>();
  if (old != nullptr)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  return made;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A lock costs each call one bounded wait (about five seconds), not one per statement: twenty
// tags refused one statement after another would otherwise wait minutes.
constexpr double kOneWaitAtMost = 15.0;

TEST_F(EngineConditionsTest, AWriterMeetingAnotherProgramsLockWaitsOncePerCallThenSaysLocked) {
  PlantDb().Write(path);
  ExecSql(path, "PRAGMA journal_mode=WAL");
  const std::string before = Rows();
  const NewTags tags(20);
  const char* const names[] = {"TIC-101", "TIC-102"};
  Writer writer = OpenWriter(path);
  {
    LockHolder other(path, "BEGIN IMMEDIATE");
    ASSERT_TRUE(other.holding);

    EXPECT_EQ(ZemaBeginBatch(writer.get()), 0);
    std::string error = LastError();
    EXPECT_TRUE(Contains(error, "2: The database is locked by another program")) << error;

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(tags.Save(writer.get()), 1) << "refused rows do not change the result";
    EXPECT_LT(SecondsSince(start), kOneWaitAtMost);
    error = LastError();
    EXPECT_TRUE(Contains(error, "2: The database is locked by another program")) << error;

    start = std::chrono::steady_clock::now();
    writer->DeleteTags(names, 2);
    EXPECT_LT(SecondsSince(start), kOneWaitAtMost);
    EXPECT_EQ(ZemaLastError(nullptr, 0), ZEMA_ERR_LOCKED);
    EXPECT_EQ(Rows(), before);
  }
  // The lock gone, the same writer works again, and the error record starts afresh.
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  EXPECT_EQ(tags.Save(writer.get()), 1);
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 1);
  EXPECT_EQ(LastError(), "0: ");
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Tags"), "22");
}

TEST_F(EngineConditionsTest, ABatchWhoseCommitMeetsAReaderLockFailsAndLeavesNothing) {
  // With a rollback journal a commit must wait until readers are done; a reader that stays
  // makes the commit fail, and the batch is then rolled back whole.
  PlantDb().Write(path);
  ExecSql(path, "PRAGMA journal_mode=DELETE");
  const std::string before = Rows();
  const NewTags tags(20);
  Writer writer = OpenWriter(path);
  {
    LockHolder reader(path, "BEGIN; SELECT count(*) FROM Tags");
    ASSERT_TRUE(reader.holding);
    ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
    ASSERT_EQ(tags.Save(writer.get()), 1);
    EXPECT_EQ(ZemaCommitBatch(writer.get()), 0);
    EXPECT_EQ(ZemaLastError(nullptr, 0), ZEMA_ERR_LOCKED);
    EXPECT_EQ(ZemaRollbackBatch(writer.get()), 0) << "the failed commit ended the batch";
  }
  EXPECT_EQ(Rows(), before);
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(tags.Save(writer.get()), 1);
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 1);
  EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Tags"), "22");
}

// A process whose files may not grow past a limit meets a full disk: the write that crosses it
// fails (SIGXFSZ ignored, as a service would), and the library says "disk full".
TEST_F(EngineConditionsTest, AFullDiskIsSaidAsSuchAndABatchThatMeetsItLeavesNothing) {
  const std::unique_ptr<TempDir> memory = MemoryTempDir();
  path = memory->File("plant.db");
  for (const char* journal : {"WAL", "DELETE"}) {
    for (const bool batch : {false, true}) {
      SCOPED_TRACE(std::string(journal) + (batch ? " batch" : " no batch"));
      PlantDb().Write(path);
      ExecSql(path, std::string("PRAGMA journal_mode=") + journal);
      const std::string before = Rows();
      const std::string report = InChild([&] {
        const NewTags tags(400);
        Writer writer = OpenWriter(path);
        signal(SIGXFSZ, SIG_IGN);
        struct stat file;
        stat(path.c_str(), &file);
        const rlimit limit = {static_cast<rlim_t>(file.st_size) + 16384,
                              static_cast<rlim_t>(file.st_size) + 16384};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::string result;
        if (batch && ZemaBeginBatch(writer.get()) != 1) return "begin failed, " + LastError();
        try {
          result = "saved " + std::to_string(tags.Save(writer.get()));
        } catch (const PlatformError&) {
          result = "threw";
        }
        result += ", " + LastError();
        if (batch) {
          const int committed = ZemaCommitBatch(writer.get());
          result += ", commit " + std::to_string(committed) + ", " + LastError();
        }
        return result;
      });
      if (batch) {
        EXPECT_TRUE(Contains(report, ", commit 0, 4: The disk is full")) << report;
        EXPECT_EQ(Rows(), before);
      } else {
        EXPECT_TRUE(Contains(report, "saved 1, 4: The disk is full") ||
                    Contains(report, "threw, 4: The disk is full"))
            << report;
      }
      EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
    }
  }
}

TEST_F(EngineConditionsTest, ADamagedOrMissingFileIsSaidAsSuch) {
  dir.Write("junk.db", std::string(8192, 'x'));
  const std::string junk = dir.File("junk.db");
  for (const std::string& result : {TryLoad(junk), TryOpen(junk)})
    EXPECT_TRUE(Contains(result, ", 5: Could not open file '" + junk +
                                     "': The database file is corrupt (file is not a database)."))
        << result;
  const std::string missing = TryLoad(dir.File("none.db"));
  EXPECT_TRUE(Contains(missing, "failed, 6: Could not find file")) << missing;
  EXPECT_EQ(TryOpen(dir.File("none.db")).substr(0, 12), "threw 0, 6: ");
}

// Runs body in a child that gave up root.
std::string AsUnprivileged(const std::function<std::string()>& body) {
  return InChild([&] {
    if (!BecomeUnprivileged()) return std::string("could not give up root");
    return body();
  });
}

std::string OpenAndLoad(const std::string& path) {
  return AsUnprivileged([&] { return TryOpen(path) + " | " + TryLoad(path); });
}

// An installation that the program may read but not write: the writer refuses at Open (not
// after "saving" nothing), and the read side loads, also a WAL database in a folder where the
// engine cannot make its shared-memory file.
TEST_F(EngineConditionsTest, AWriterThatCouldOnlyReadFailsAtOpenAndAReadOnlyInstallationLoads) {
  MakeReachable(dir.Path());
  const std::string shm = path + "-shm";

  // WAL, the folder write-protected (the file too, as an installer leaves it).
  PlantDb().Write(path);
  ExecSql(path, "PRAGMA journal_mode=WAL");
  chmod(path.c_str(), 0644);
  chmod(dir.Path().c_str(), 0755);
  std::string result = OpenAndLoad(path);
  EXPECT_TRUE(Contains(result, "threw 0, 3: ") && Contains(result, "| 2 tags")) << result;
  EXPECT_NE(access(shm.c_str(), F_OK), 0) << "the read left nothing behind";

  // WAL, the file write-protected in a folder open to everyone.
  chmod(dir.Path().c_str(), 0777);
  result = OpenAndLoad(path);
  EXPECT_TRUE(Contains(result, "threw 0, 3: ") && Contains(result, "read-only") &&
              Contains(result, "| 2 tags"))
      << result;

  // A rollback journal: the file may be written, but the folder where the journal must go not.
  ExecSql(path, "PRAGMA journal_mode=DELETE");
  chmod(path.c_str(), 0666);
  chmod(dir.Path().c_str(), 0755);
  result = OpenAndLoad(path);
  EXPECT_TRUE(Contains(result, "threw 0, 3: ") && Contains(result, "folder") &&
              Contains(result, "| 2 tags"))
      << result;

  // The same files writable: a writer opens (so the refusals above were the permissions').
  chmod(dir.Path().c_str(), 0777);
  EXPECT_EQ(OpenAndLoad(path), "writer | 2 tags");
}

TEST_F(EngineConditionsTest, AReadOnlyWalDatabaseWhoseLogHoldsChangesIsRefusedWithTheReason) {
  // A writer died with its changes still in the write-ahead log, and the shared-memory file is
  // gone: reading the log needs that file, which cannot be made in a write-protected folder.
  // An immutable read would miss the changes, so the load is refused and says why.
  MakeReachable(dir.Path());
  PlantDb().Write(path);
  ExecSql(path, "PRAGMA journal_mode=WAL");
  const pid_t writer = SpawnChild([&] {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA wal_autocheckpoint=0; INSERT INTO Tags (TagID, TagName, TagType) "
                 "VALUES (3, 'TIC-103', 1)",
                 nullptr, nullptr, nullptr);
    kill(getpid(), SIGKILL);
    return 1;
  });
  ASSERT_EQ(WaitChild(writer), -SIGKILL);
  ASSERT_EQ(unlink((path + "-shm").c_str()), 0);
  chmod((path + "-wal").c_str(), 0644);
  chmod(dir.Path().c_str(), 0755);
  const std::string result = AsUnprivileged([&] { return TryLoad(path); });
  EXPECT_TRUE(Contains(result, "failed, 3: ") && Contains(result, "write-ahead log")) << result;
  chmod(dir.Path().c_str(), 0700);
  EXPECT_EQ(TryLoad(path), "3 tags") << "with the folder writable, the change is there";
}

}  // namespace
