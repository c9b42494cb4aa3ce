// Several processes on one tag database: readers loading while a writer saves, two writers
// saving at once, and writers killed (SIGKILL) in the middle of a save. Nothing may be lost and
// no row may be seen half-written. The file lives in memory when the machine offers /dev/shm:
// a killed process leaves its writes with the kernel either way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "support/ChildProcess.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/WriterRecords.h"

namespace {

// Tag number n of a run with prefix p: every column is a function of n, so any row can be
// checked by its content alone.
//   Tags:    TagName p<n>, TagDesc "tag p<n>", TagType 1, group n%7, level n%5, alarm level n%3
//   Analog:  PV n+0.25, Mode n, Unit "U<n>"
//   HMIInfo: PV (SCH n%1000+100, SCL -(n%1000), EU "e<n%1000>", Decimal n%9) and
//            Mode (SCH 1, SCL 0, EU NULL, Decimal 0)
TestTag NumberedTag(const std::string& prefix, int n) {
  const std::string name = prefix + std::to_string(n);
  TestTag tag(name, 1, "tag " + name);
  const std::string digits = std::to_string(n);
  const std::u16string unit = u"U" + std::u16string(digits.begin(), digits.end());
  tag.Levels(static_cast<uint8_t>(n % 7), static_cast<uint8_t>(n % 5), static_cast<uint8_t>(n % 3))
      .Field("PV", DoubleValue(n + 0.25))
      .Field("Mode", LongValue(n))
      .Field("Unit", TextValue(unit.c_str()))
      .Hmi("PV", static_cast<float>(n % 1000 + 100), static_cast<float>(-(n % 1000)),
           "e" + std::to_string(n % 1000), n % 9)
      .Hmi("Mode", 1.0f, 0.0f, "", 0);
  return tag;
}

// Tags first .. first+count-1 of a prefix, with their records.
struct Batch {
  Batch(const std::string& prefix, int first, int count) {
    tags.reserve(static_cast<size_t>(count));
    for (int n = first; n < first + count; ++n) tags.push_back(NumberedTag(prefix, n));
    for (const TestTag& tag : tags) records.push_back(tag.Record());
  }
  int Save(CZEMAConfigAcs* writer) const {
    return writer->SaveTags(records.data(), static_cast<int>(records.size()));
  }
  std::vector<TestTag> tags;
  std::vector<TagRecord> records;
};

TagDbBuilder PlantDb() {
  TagDbBuilder db;
  db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}, {"Unit", "VARCHAR(16)"}});
  return db;
}

// The SQL number of a tag's name (prefix of one letter).
const char kNumber[] = "CAST(substr(t.TagName, 2) AS INTEGER)";

// Rows of the file that are not whole: a Tags, Analog or HMIInfo row whose content does not
// match its tag's number, a value or display row without its Tags row, a name stored twice.
std::string TornRows(const std::string& path) {
  const std::string n = kNumber;
  return QueryText(
      path,
      "SELECT (SELECT count(*) FROM Tags t WHERE t.TagDesc IS NOT 'tag ' || t.TagName OR "
      "t.TagType IS NOT 1 OR t.TagGroup IS NOT " +
          n + " % 7 OR t.TagLevel IS NOT " + n + " % 5 OR t.AlmLevel IS NOT " + n +
          " % 3) || ',' || "
          "(SELECT count(*) FROM Analog a LEFT JOIN Tags t USING (TagID) WHERE t.TagID IS NULL OR "
          "a.PV IS NOT " +
          n + " + 0.25 OR a.Mode IS NOT " + n + " OR a.Unit IS NOT 'U' || " + n +
          ") || ',' || "
          "(SELECT count(*) FROM HMIInfo h LEFT JOIN Tags t USING (TagID) WHERE t.TagID IS NULL OR "
          "NOT ((h.FieldName = 'PV' AND h.SCH = " +
          n + " % 1000 + 100 AND h.SCL = -(" + n + " % 1000) AND h.EU = 'e' || (" + n +
          " % 1000) AND h.Decimal = " + n +
          " % 9) OR "
          "(h.FieldName = 'Mode' AND h.SCH = 1 AND h.SCL = 0 AND h.EU IS NULL AND h.Decimal = 0))) "
          "|| ',' || (SELECT count(*) FROM (SELECT TagName FROM Tags GROUP BY TagName "
          "HAVING count(*) > 1))");
}

// How many tags with names p<first> .. p<first+count-1> are complete: one Tags row, one value
// row and both display rows.
int CompleteTags(const std::string& path, char prefix, int first, int count) {
  return std::stoi(
      QueryText(path,
                "SELECT count(*) FROM Tags t "
                "JOIN (SELECT TagID, count(*) AS n FROM Analog GROUP BY TagID) a USING (TagID) "
                "JOIN (SELECT TagID, count(*) AS n FROM HMIInfo GROUP BY TagID) h USING (TagID) "
                "WHERE a.n = 1 AND h.n = 2 AND substr(t.TagName, 1, 1) = '" +
                    std::string(1, prefix) + "' AND " + kNumber + " BETWEEN " +
                    std::to_string(first) + " AND " + std::to_string(first + count - 1)));
}

// How many Tags rows with names p<from> and up there are.
int TagRowsFrom(const std::string& path, char prefix, int from) {
  return std::stoi(QueryText(path, "SELECT count(*) FROM Tags t WHERE substr(t.TagName, 1, 1) = '" +
                                       std::string(1, prefix) + "' AND " + kNumber +
                                       " >= " + std::to_string(from)));
}

// State shared with the children.
struct Shared {
  std::atomic<int> batchesSaved{0};
  std::atomic<bool> writerDone{false};
  std::atomic<int> loads{0};
  std::atomic<int> partialLoads{0};  // loads that saw some but not all of the tags
};

class ProcessesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    shared = static_cast<Shared*>(
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared();
    setenv("HVK_NLS_DIR", dir->Path().c_str(), 1);  // no function block library
  }
  void TearDown() override { munmap(shared, sizeof(Shared)); }

  // In memory when possible: the tests write tens of thousands of rows, one commit each.
  static TempDir* MakeDir() {
    if (access("/dev/shm", W_OK) == 0) {
      const char* old = getenv("TMPDIR");
      const std::string saved = old != nullptr ? old : "";
      setenv("TMPDIR", "/dev/shm", 1);
      TempDir* made = new TempDir();
      if (old != nullptr)
        setenv("TMPDIR", saved.c_str(), 1);
      else
        unsetenv("TMPDIR");
      return made;
    }
    return new TempDir();
  }

  std::unique_ptr<TempDir> dir{MakeDir()};
  std::string path = dir->File("plant.db");
  Shared* shared = nullptr;
};

// Checks one load of a catalogue being written: every tag delivered is whole in what it shows,
// and every tag of a batch saved before the load began shows its value row and both display
// rows. Only tags of the given prefix count. Returns the number of problems (reported on stderr).
int CheckLoadedCatalogue(int batchesBefore, int batchSize, char prefix = 'T') {
  int problems = 0;
  auto problem = [&problems](const std::string& what) {
    if (++problems <= 5)
      fprintf(stderr, "reader %d: %s\n", static_cast<int>(getpid()), what.c_str());
  };
  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  std::vector<CZEMATag*> tags(static_cast<size_t>(catalogue->GetTagCount()) + 1);
  int count = 0;
  catalogue->GetTags(0, static_cast<int>(tags.size()), &count, tags.data());
  if (count != catalogue->GetTagCount()) problem("a tag without its type");
  int savedSeen = 0;
  TagFieldValue fields[4];
  for (auto& field : fields) VariantInit(&field.value);
  for (int i = 0; i < count; ++i) {
    CZEMATag* tag = tags[static_cast<size_t>(i)];
    const std::string name = tag->GetName();
    if (name[0] != prefix) continue;  // a tag of an earlier round
    const int n = std::atoi(name.c_str() + 1);
    const bool saved = n < batchesBefore * batchSize;
    if (saved) ++savedSeen;
    if (std::string(tag->GetDesc()) != "tag " + name || tag->GetGroup() != n % 7 ||
        tag->GetLevel() != n % 5 || tag->GetAlmLevel() != n % 3)
      problem("torn Tags row of " + name);
    int filled = 0;
    tag->GetFields(ZEMA_KIND_ALL, 4, &filled, fields);
    if (tag->GetFieldCount() == 0) {
      if (saved) problem("no value row for saved tag " + name);
    } else {
      const std::string unit = "U" + std::to_string(n);
      const bool whole =
          filled == 3 && fields[0].value.vt == VT_R8 && fields[0].value.dblVal == n + 0.25 &&
          fields[1].value.vt == VT_I4 && fields[1].value.lVal == n &&
          fields[2].value.vt == VT_BSTR &&
          std::u16string(fields[2].value.bstrVal) == std::u16string(unit.begin(), unit.end());
      if (!whole) problem("torn value row of " + name);
    }
    TagHMIInfo pv{}, mode{};
    const bool hasPv = tag->GetHMIInfo("PV", &pv) == 1;
    const bool hasMode = tag->GetHMIInfo("Mode", &mode) == 1;
    if (saved && !(hasPv && hasMode)) problem("a display row of saved tag " + name + " is missing");
    if (hasPv && (pv.SCH != n % 1000 + 100 || pv.SCL != -(n % 1000) ||
                  std::string(pv.EU) != "e" + std::to_string(n % 1000) || pv.Decimal != n % 9))
      problem("torn display row PV of " + name);
    if (hasMode && (mode.SCH != 1 || mode.SCL != 0 || mode.EU[0] != '\0' || mode.Decimal != 0))
      problem("torn display row Mode of " + name);
  }
  for (auto& field : fields) VariantClear(&field.value);
  if (savedSeen != batchesBefore * batchSize) problem("tags of saved batches are missing");
  return problems;
}

TEST_F(ProcessesTest, ReadersLoadingWhileAWriterSavesSeeOnlyWholeRowsAndEverySavedBatch) {
  constexpr int kBatches = 40, kBatchSize = 500;  // 20,000 tags
  constexpr int kReaders = 2;
  PlantDb().Write(path);

  const pid_t writer = SpawnChild([&] {
    Writer connection = OpenWriter(path);
    for (int b = 0; b < kBatches; ++b) {
      Batch batch("T", b * kBatchSize, kBatchSize);
      if (batch.Save(connection.get()) != 1) return 1;
      shared->batchesSaved = b + 1;
    }
    return 0;
  });
  std::vector<pid_t> readers;
  for (int r = 0; r < kReaders; ++r)
    readers.push_back(SpawnChild([&] {
      int problems = 0;
      bool last = false;
      while (!last) {
        last = shared->writerDone;  // one more load after the writer finished
        const int before = shared->batchesSaved;
        CZEMATagAcs::Release();
        if (CZEMATagAcs::Instance()->Load(path.c_str()) != 1) {
          fprintf(stderr, "reader: a load failed\n");
          return 1;
        }
        problems += CheckLoadedCatalogue(last ? kBatches : before, kBatchSize);

        if (last && CZEMATagAcs::Instance()->GetTagCount() != kBatches * kBatchSize) ++problems;
        ++shared->loads;
        const int seen = CZEMATagAcs::Instance()->GetTagCount();
        if (seen > 0 && seen < kBatches * kBatchSize) ++shared->partialLoads;
      }
      CZEMATagAcs::Release();
      return problems == 0 ? 0 : 2;
    }));

  EXPECT_EQ(WaitChild(writer), 0) << "every batch saved";
  shared->writerDone = true;
  for (pid_t reader : readers) EXPECT_EQ(WaitChild(reader), 0) << "see the reader's messages above";
  EXPECT_GE(shared->loads.load(), kReaders);
  RecordProperty("loads", shared->loads.load());
  RecordProperty("loadsDuringTheSave", shared->partialLoads.load());
  EXPECT_EQ(TornRows(path), "0,0,0,0");
  EXPECT_EQ(CompleteTags(path, 'T', 0, kBatches * kBatchSize), kBatches * kBatchSize);
  EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
}

TEST_F(ProcessesTest, TwoWritersSavingIntoOneFileAtOnceLoseNoTag) {
  constexpr int kBatches = 20, kBatchSize = 100;
  // Once on a file in WAL mode (as the builder and the tool make them), once with the rollback
  // journal, where the writers take turns on the whole file.
  for (const char* journal : {"WAL", "DELETE"}) {
    SCOPED_TRACE(journal);
    PlantDb().Write(path);
    ExecSql(path, std::string("PRAGMA journal_mode=") + journal);
    std::vector<pid_t> writers;
    for (char prefix : {'A', 'B'})
      writers.push_back(SpawnChild([&, prefix] {
        Writer connection = OpenWriter(path);
        for (int b = 0; b < kBatches; ++b)
          if (Batch(std::string(1, prefix), b * kBatchSize, kBatchSize).Save(connection.get()) != 1)
            return 1;
        return 0;
      }));
    for (pid_t writer : writers) EXPECT_EQ(WaitChild(writer), 0);
    EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(TornRows(path), "0,0,0,0");
    EXPECT_EQ(CompleteTags(path, 'A', 0, kBatches * kBatchSize), kBatches * kBatchSize);
    EXPECT_EQ(CompleteTags(path, 'B', 0, kBatches * kBatchSize), kBatches * kBatchSize);
    EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Tags"),
              std::to_string(2 * kBatches * kBatchSize));
  }
}

// A writer saves batch after batch and reports on a pipe when each SaveTags begins and when it
// has returned. The test kills it once a chosen batch has begun, after a random pause. Then:
// - the file passes the integrity check, with the rollback journal or the WAL left behind;
// - no row is torn: every row present has its tag's content, and no value or display row lacks
//   its Tags row (the writer stores a tag's Tags row first, then its display rows, then its value
//   row, each committed on its own);
// - every tag of a batch whose SaveTags had returned before the kill is complete: Tags row, value
//   row and both display rows. Tags of the batch that was cut may lack their later rows.
// Each round writes new names into the same file, which was last closed by a kill; even rounds
// use WAL, odd rounds the rollback journal.
TEST_F(ProcessesTest, AWriterKilledDuringSaveTagsLeavesASoundFileAndEveryReportedBatchWhole) {
  constexpr int kRounds = 20, kBatchSize = 200;
  std::mt19937 random(20260512);
  PlantDb().Write(path);
  int cutMidway = 0;  // rounds whose kill left a batch partly stored
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ExecSql(path, round % 2 == 0 ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE");
    const char prefix = static_cast<char>('a' + round);  // a .. t
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    const pid_t writer = SpawnChild([&] {
      close(pipeEnds[0]);
      Writer connection = OpenWriter(path);
      for (int b = 0;; ++b) {
        Batch batch(std::string(1, prefix), b * kBatchSize, kBatchSize);
        const char begin[2] = {'B', static_cast<char>(b)};
        if (write(pipeEnds[1], begin, 2) != 2) return 1;
        if (batch.Save(connection.get()) != 1) return 1;
        const char end[2] = {'E', static_cast<char>(b)};
        if (write(pipeEnds[1], end, 2) != 2) return 1;
      }
    });
    close(pipeEnds[1]);
    ChildGuard guard{writer};

    // Kill once batch `target` has begun, after a pause of up to about one batch.
    const int target = std::uniform_int_distribution<int>(0, 2)(random);
    const long pauseMicros = std::uniform_int_distribution<long>(0, 60000)(random);
    std::vector<int> finished;
    char message[2];
    bool begun = false;
    while (!begun && read(pipeEnds[0], message, 2) == 2) {
      if (message[0] == 'E') finished.push_back(message[1]);
      begun = message[0] == 'B' && message[1] == target;
    }
    ASSERT_TRUE(begun) << "the writer stopped before batch " << target;
    const timespec pause = {0, pauseMicros * 1000};
    nanosleep(&pause, nullptr);
    kill(writer, SIGKILL);
    EXPECT_EQ(WaitChild(writer), -SIGKILL);
    guard.pid = 0;
    while (read(pipeEnds[0], message, 2) == 2)
      if (message[0] == 'E') finished.push_back(message[1]);
    close(pipeEnds[0]);

    ASSERT_GE(static_cast<int>(finished.size()), target);
    const int reported = static_cast<int>(finished.size());
    // The read side comes first, as the file was left: a reader after a crash.
    CZEMATagAcs::Release();
    EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
    EXPECT_EQ(CheckLoadedCatalogue(reported, kBatchSize, prefix), 0);
    CZEMATagAcs::Release();
    EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(TornRows(path), "0,0,0,0");
    EXPECT_EQ(CompleteTags(path, prefix, 0, reported * kBatchSize), reported * kBatchSize);
    // The cut batch saved at most its own tags: the next one never began.
    EXPECT_EQ(TagRowsFrom(path, prefix, (reported + 1) * kBatchSize), 0);
    if (TagRowsFrom(path, prefix, reported * kBatchSize) > 0 &&
        CompleteTags(path, prefix, reported * kBatchSize, kBatchSize) < kBatchSize)
      ++cutMidway;
  }
  RecordProperty("killsInTheMiddleOfABatch", cutMidway);
}

TEST_F(ProcessesTest, ALoadAfterAWriterDiedInsideATransactionRollsItBackAndReadsTheFile) {
  PlantDb().Write(path);
  ExecSql(path, "PRAGMA journal_mode=DELETE");
  {
    Writer connection = OpenWriter(path);
    ASSERT_EQ(Batch("T", 0, 3).Save(connection.get()), 1);
  }
  // A process that dies with an open transaction whose pages already went to the file: the
  // rollback journal it leaves is hot, and a read-only connection cannot roll it back itself.
  const pid_t writer = SpawnChild([&] {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 "PRAGMA cache_size=1; BEGIN; DELETE FROM Analog; WITH RECURSIVE n(i) AS "
                 "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO Tags "
                 "(TagName, TagDesc) SELECT 'X' || i, printf('%.200c', 'x') FROM n",
                 nullptr, nullptr, nullptr);
    kill(getpid(), SIGKILL);
    return 1;
  });
  ASSERT_EQ(WaitChild(writer), -SIGKILL);
  ASSERT_EQ(access((path + "-journal").c_str(), F_OK), 0) << "the journal the writer left";

  ASSERT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  EXPECT_EQ(CheckLoadedCatalogue(1, 3), 0) << "the three saved tags, whole";
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 3);
  CZEMATagAcs::Release();
  EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
}

}  // namespace
