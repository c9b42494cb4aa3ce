// The opt-in batch of ZEMABatch.h: all of a writer's calls between begin and commit, or
// nothing of them, whatever happens in between (a rollback, a close, a kill), and nothing seen
// by readers before the commit.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZEMABatch.h"
#include "ZEMATagAcs.h"
#include "platform/faults/faults.h"
#include "support/ChildProcess.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/TestEngine.h"
#include "support/TwoAnalogTags.h"
#include "support/WriterRecords.h"

namespace {

TagDbBuilder PlantDb() { return TwoAnalogTagsDb(); }

TestTag NewTag(int n) {
  TestTag tag("N" + std::to_string(n), 1, "new " + std::to_string(n));
  tag.Field("PV", DoubleValue(n + 0.5)).Field("Mode", LongValue(n)).Hmi("PV", 10, 0, "K", 1);
  return tag;
}

// Runs on every engine (TestEngine.h); the journal modes matter to SQLite only.
class BatchTest : public ::testing::TestWithParam<DbEngine> {
 protected:
  void SetUp() override {
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.Path().c_str(), 1);  // no function block library
  }
  void TearDown() override { CZEMATagAcs::Release(); }

  // Every row of the three tables that a save or a deletion touches, as text.
  std::string Rows() const {
    return QueryText(
        path,
        "SELECT (SELECT group_concat(TagID||TagName||coalesce(TagDesc,''), ';') FROM "
        "Tags) || '|' || (SELECT group_concat(TagID||','||PV||','||Mode, ';') FROM "
        "Analog) || '|' || (SELECT group_concat(TagID||FieldName||CAST(SCH AS INTEGER), ';') FROM "
        "HMIInfo)");
  }
  // The number of tags a Load of the file sees (-1 when it does not load).
  int LoadedTags() const {
    CZEMATagAcs::Release();
    const int count = CZEMATagAcs::Instance()->Load(path.c_str()) == 1
                          ? CZEMATagAcs::Instance()->GetTagCount()
                          : -1;
    CZEMATagAcs::Release();
    return count;
  }

  TempDir dir;
  TestDatabase database{GetParam()};
  std::string path = database.Location();
};

INSTANTIATE_TEST_SUITE_P(Engines, BatchTest, ::testing::ValuesIn(AllEngines()), EngineName);

TEST_P(BatchTest, RollbackCloseAndMisuseLeaveTheDatabaseAsItWasAndCommitKeepsEverything) {
  PlantDb().Write(path);
  const std::string before = Rows();
  const TestTag a = NewTag(1), b = NewTag(2);
  const std::vector<TagRecord> records = Records({&a, &b});
  const char* const names[] = {"TIC-101"};
  char why[128];

  Writer writer = OpenWriter(path);
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  EXPECT_EQ(ZemaBeginBatch(writer.get()), 0) << "one batch at a time";
  EXPECT_EQ(ZemaLastError(why, sizeof why), ZEMA_ERR_OTHER);
  EXPECT_STREQ(why, "A batch is already open.");
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  ASSERT_EQ(writer->DeleteTags(names, 1), 1);
  EXPECT_EQ(ZemaLastError(why, sizeof why), ZEMA_ERR_NONE);
  EXPECT_STREQ(why, "");
  EXPECT_EQ(ZemaRollbackBatch(writer.get()), 1);
  EXPECT_EQ(Rows(), before);
  EXPECT_EQ(ZemaRollbackBatch(writer.get()), 0);
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 0);
  EXPECT_EQ(ZemaLastError(why, 8), ZEMA_ERR_OTHER);
  EXPECT_STREQ(why, "No batc") << "cut to the size given, zero-terminated";

  // Closing a writer with its batch open discards the batch.
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  writer.reset();
  EXPECT_EQ(Rows(), before);

  // A committed batch keeps everything; afterwards the writer stores each row at once again.
  writer = OpenWriter(path);
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  ASSERT_EQ(writer->DeleteTags(names, 1), 1);
  ASSERT_EQ(ZemaCommitBatch(writer.get()), 1);
  // A server never hands out a number twice: the rolled-back batches used 3 to 6.
  EXPECT_EQ(Rows(),
            GetParam() == DbEngine::kSqlite
                ? "2TIC-102second;3N1new 1;4N2new 2|2,2.5,3;3,1.5,1;4,2.5,2|2PV50;3PV10;4PV10"
                : "2TIC-102second;7N1new 1;8N2new 2|2,2.5,3;7,1.5,1;8,2.5,2|2PV50;7PV10;8PV10");
  const TestTag c = NewTag(3);
  const TagRecord third = c.Record();
  ASSERT_EQ(writer->SaveTags(&third, 1), 1);
  EXPECT_EQ(LoadedTags(), 4) << "without a batch a saved tag is there at once";

  EXPECT_EQ(ZemaBeginBatch(nullptr), 0);
  EXPECT_EQ(ZemaLastError(nullptr, 0), ZEMA_ERR_OTHER);
}

TEST_P(BatchTest, ReadersLoadingDuringAnOpenBatchSeeNothingOfItUntilTheCommit) {
  for (const char* journal : {"WAL", "DELETE"}) {
    SCOPED_TRACE(journal);
    PlantDb().Write(path);
    ExecSql(path, std::string("PRAGMA journal_mode=") + journal);
    std::vector<TestTag> tags;
    for (int n = 0; n < 50; ++n) tags.push_back(NewTag(n));
    std::vector<TagRecord> records;
    for (const TestTag& tag : tags) records.push_back(tag.Record());
    const char* const names[] = {"TIC-101", "TIC-102"};

    Writer writer = OpenWriter(path);
    ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
    ASSERT_EQ(writer->DeleteTags(names, 2), 1);
    EXPECT_EQ(LoadedTags(), 2);
    ASSERT_EQ(writer->SaveTags(records.data(), static_cast<int>(records.size())), 1);
    EXPECT_EQ(LoadedTags(), 2);
    EXPECT_EQ(QueryText(path, "SELECT count(*) FROM HMIInfo"), "2");
    ASSERT_EQ(ZemaCommitBatch(writer.get()), 1);
    EXPECT_EQ(LoadedTags(), 50);
  }
}

// The batch's own calls failing: a begin that fails leaves the writer storing row by row; a
// commit that fails keeps nothing of the batch and leaves no transaction open behind it, so a
// later save without a batch is final at once.
TEST_P(BatchTest, ABatchWhoseBeginOrCommitFailsKeepsNothingAndLeavesTheWriterAsWithoutBatch) {
  PlantDb().Write(path);
  const std::string before = Rows();
  const TestTag a = NewTag(1), b = NewTag(2);
  const TagRecord first = a.Record(), second = b.Record();
  Writer writer = OpenWriter(path);

  platform::FaultInject("Connection.BeginTrans", E_FAIL);
  EXPECT_EQ(ZemaBeginBatch(writer.get()), 0);
  platform::FaultClearAll();
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 0) << "no batch was begun";

  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(writer->SaveTags(&first, 1), 1);
  platform::FaultInject("Connection.CommitTrans", E_FAIL);
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 0);
  platform::FaultClearAll();
  EXPECT_EQ(Rows(), before);
  EXPECT_EQ(ZemaRollbackBatch(writer.get()), 0) << "the failed commit ended the batch";
  ASSERT_EQ(writer->SaveTags(&second, 1), 1);
  EXPECT_EQ(LoadedTags(), 3);
}

// A commit that fails and a rollback after it that fails too: the writer's connection is closed,
// which ends the transaction, and opened again. Nothing of the batch stays, the write lock is
// free for other writers at once, and the same writer goes on with a new batch.
TEST_P(BatchTest, ABatchThatCanNeitherCommitNorRollBackEndsWithItsConnection) {
  PlantDb().Write(path);
  const std::string before = Rows();
  const TestTag a = NewTag(1), b = NewTag(2), c = NewTag(3);
  const TagRecord first = a.Record(), second = b.Record(), third = c.Record();
  Writer writer = OpenWriter(path);

  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(writer->SaveTags(&first, 1), 1);
  platform::FaultInject("Connection.CommitTrans", E_FAIL);
  platform::FaultInject("Connection.RollbackTrans", E_FAIL);
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 0);
  EXPECT_EQ(platform::FaultFiredCount(), 2);
  platform::FaultClearAll();
  EXPECT_EQ(Rows(), before);

  // Another writer gets the lock without waiting for the first to close.
  {
    Writer other = OpenWriter(path);
    ASSERT_EQ(ZemaBeginBatch(other.get()), 1);
    ASSERT_EQ(other->SaveTags(&second, 1), 1);
    ASSERT_EQ(ZemaCommitBatch(other.get()), 1);
  }
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  ASSERT_EQ(writer->SaveTags(&third, 1), 1);
  ASSERT_EQ(ZemaCommitBatch(writer.get()), 1);
  EXPECT_EQ(QueryText(path,
                      "SELECT (SELECT count(*) FROM Tags WHERE TagName = 'N1') || ',' || "
                      "(SELECT count(*) FROM Tags WHERE TagName = 'N2') || ',' || "
                      "(SELECT count(*) FROM Tags WHERE TagName = 'N3')"),
            "0,1,1");
  EXPECT_EQ(LoadedTags(), 4);
}

// A child saves a batch of 1,000 tags, one call per tag; once half of them are saved it stops
// and waits to be killed. While it waits, readers see none of them; after the kill the file is
// as it was. The same batch left to finish is all there.
TEST_P(BatchTest, ABatchOfAThousandTagsKilledHalfWayLeavesNothingOfIt) {
  for (const char* journal : {"WAL", "DELETE"}) {
    for (const bool killed : {true, false}) {
      SCOPED_TRACE(std::string(journal) + (killed ? " killed" : " finished"));
      PlantDb().Write(path);
      ExecSql(path, std::string("PRAGMA journal_mode=") + journal);
      const std::string before = Rows();
      int report[2], resume[2];
      ASSERT_EQ(pipe(report), 0);
      ASSERT_EQ(pipe(resume), 0);
      const pid_t child = SpawnChild([&] {
        close(report[0]);
        close(resume[1]);
        Writer writer = OpenWriter(path);
        if (ZemaBeginBatch(writer.get()) != 1) return 1;
        for (int n = 0; n < 1000; ++n) {
          const TestTag tag = NewTag(n);
          const TagRecord record = tag.Record();
          if (writer->SaveTags(&record, 1) != 1) return 1;
          if (n == 499) {
            char byte = 'h';
            if (write(report[1], &byte, 1) != 1 || read(resume[0], &byte, 1) != 1) return 1;
          }
        }
        return ZemaCommitBatch(writer.get()) == 1 ? 0 : 1;
      });
      ChildGuard guard{child};
      close(report[1]);
      close(resume[0]);
      char byte = 0;
      ASSERT_EQ(read(report[0], &byte, 1), 1) << "the child saved half of its batch";
      EXPECT_EQ(LoadedTags(), 2) << "a reader while the batch is open";
      if (killed) {
        kill(child, SIGKILL);
        EXPECT_EQ(WaitChild(child), -SIGKILL);
      } else {
        ASSERT_EQ(write(resume[1], &byte, 1), 1);
        EXPECT_EQ(WaitChild(child), 0);
      }
      guard.pid = 0;
      close(report[0]);
      close(resume[1]);

      EXPECT_EQ(LoadedTags(), killed ? 2 : 1002);
      if (GetParam() == DbEngine::kSqlite) {
        EXPECT_EQ(QueryText(path, "PRAGMA integrity_check"), "ok");
      }
      if (killed) {
        EXPECT_EQ(Rows(), before);
      } else {
        EXPECT_EQ(QueryText(path, "SELECT count(*) FROM Analog") + "," +
                      QueryText(path, "SELECT count(*) FROM HMIInfo"),
                  "1002,1002");
      }
    }
  }
}

}  // namespace
