// Tag databases on a server, through the public interface: a server that is not there, a
// connection that dies in the middle of a Load or a SaveTags (the server ends the session, as when
// it stops), many stations loading while a writer saves in batches, two writers at once.
#include <gtest/gtest.h>
#include <sys/select.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "ZEMABatch.h"
#include "ZEMATagAcs.h"
#include "support/ChildProcess.h"
#include "support/TestEngine.h"
#include "support/TwoAnalogTags.h"
#include "support/WriterRecords.h"

namespace {

TestTag NewTag(const std::string& name, int n) {
  TestTag tag(name, 1, "new");
  tag.Field("PV", DoubleValue(n + 0.5)).Field("Mode", LongValue(n)).Hmi("PV", 10, 0, "K", 1);
  return tag;
}

// A session that reads this view, or stores a tag named KILL, is ended by the server, as when
// the server stops.
const char kDeathTraps[] = R"sql(
CREATE FUNCTION zema_die() RETURNS boolean LANGUAGE plpgsql AS
  $$ BEGIN PERFORM pg_terminate_backend(pg_backend_pid()); PERFORM pg_sleep(5); RETURN true; END $$;
CREATE FUNCTION zema_die_on_kill() RETURNS trigger LANGUAGE plpgsql AS
  $$ BEGIN IF NEW."TagName" = 'KILL' THEN PERFORM zema_die(); END IF; RETURN NEW; END $$;
CREATE TRIGGER zema_die_on_kill BEFORE INSERT ON "Tags" FOR EACH ROW
  EXECUTE FUNCTION zema_die_on_kill();
)sql";

std::optional<int> IntThrownByOpen(const std::string& location) {
  try {
    CZEMAConfigAcs::Open(location.c_str())->Close();
  } catch (int value) {
    return value;
  }
  return std::nullopt;
}

class PostgresStationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.Path().c_str(), 1);  // no function block library
  }
  void TearDown() override { CZEMATagAcs::Release(); }

  // The tags a Load sees (-1 when it fails).
  int LoadedTags() const {
    CZEMATagAcs::Release();
    int count = -1;
    try {
      if (CZEMATagAcs::Instance()->Load(uri.c_str()) == 1)
        count = CZEMATagAcs::Instance()->GetTagCount();
    } catch (...) {
      count = -2;
    }
    CZEMATagAcs::Release();
    return count;
  }

  std::string Names() const {
    return QueryText(uri,
                     "SELECT group_concat(TagName) FROM (SELECT TagName FROM Tags ORDER BY TagID) "
                     "AS t");
  }

  TempDir dir;
  TestDatabase database{DbEngine::kPostgres};
  std::string uri = database.Location();
};

TEST_F(PostgresStationsTest, AServerThatIsNotThereFailsLoadAndOpenAndSaysWhich) {
  const std::string nowhere = "postgresql://postgres@%2Fnonexistent%2Fplant/plant";
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(nowhere.c_str()), 0);
  char why[512];
  EXPECT_EQ(IntThrownByOpen(nowhere), 0);
  ZemaLastError(why, sizeof why);
  EXPECT_NE(std::string(why).find("/nonexistent/plant"), std::string::npos) << why;
  EXPECT_NE(std::string(why).find("'plant'"), std::string::npos) << why;
  // A database without the tables loads nothing.
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(uri.c_str()), 0);
  EXPECT_EQ(IntThrownByOpen("postgresql://postgres@%2Ftmp:notaport/zema"), 0)
      << "a URI that does not parse";
}

TEST_F(PostgresStationsTest, ASessionEndedInTheMiddleOfALoadOrASaveLosesNothingOfABatch) {
  TwoAnalogTagsDb().Write(uri);
  ExecSql(uri, kDeathTraps);
  ExecSql(uri, "INSERT INTO TagTypes VALUES (2, 'Dying', 10, 101)");
  ExecSql(uri, "CREATE VIEW \"Dying\" AS SELECT 1 AS \"TagID\" WHERE zema_die()");

  // A Load whose session ends while it reads a value table fails; the next Load works.
  EXPECT_LE(LoadedTags(), 0);
  ExecSql(uri, "CREATE OR REPLACE VIEW \"Dying\" AS SELECT 1 AS \"TagID\" WHERE false");
  EXPECT_EQ(LoadedTags(), 2);

  // Inside a batch nothing of it is kept, and the writer goes on after the batch.
  const std::string before = Names();
  const TestTag a = NewTag("A", 1), b = NewTag("B", 2), kill = NewTag("KILL", 3),
                c = NewTag("C", 4), d = NewTag("D", 5);
  const std::vector<TagRecord> records = Records({&a, &b, &kill, &c});
  Writer writer = OpenWriter(uri);
  ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
  try {
    writer->SaveTags(records.data(), static_cast<int>(records.size()));
  } catch (...) {
  }
  EXPECT_EQ(ZemaCommitBatch(writer.get()), 0);
  EXPECT_EQ(Names(), before);
  const TagRecord next = d.Record();
  EXPECT_EQ(writer->SaveTags(&next, 1), 1);
  EXPECT_EQ(Names(), before + ",D");

  // Without a batch the rows before the end stay, and the same writer connects again.
  try {
    writer->SaveTags(records.data(), static_cast<int>(records.size()));
  } catch (...) {
  }
  const std::string names = Names();
  EXPECT_EQ(names.rfind(before + ",D,A,B", 0), 0u) << names;
  EXPECT_EQ(names.find("KILL"), std::string::npos) << names;
  EXPECT_EQ(writer->SaveTags(&next, 1), 1);
  EXPECT_EQ(QueryText(uri, "SELECT count(*) FROM Tags WHERE TagName = 'D'"), "2");
  EXPECT_EQ(QueryText(uri,
                      "SELECT count(*) FROM Analog WHERE TagID NOT IN (SELECT TagID FROM "
                      "Tags)"),
            "0");
}

// Twenty stations load again and again while a writer saves tags in batches of a fixed size:
// every Load sees whole batches only. Then two writers save at once: nothing is lost.
TEST_F(PostgresStationsTest, StationsLoadingDuringBatchesSeeWholeBatchesAndTwoWritersLoseNothing) {
  // Scaled down from 20,000 tags to keep the suite short on a small machine.
  constexpr int kStations = 20, kBatches = 10, kBatchSize = 100;
  TwoAnalogTagsDb().Write(uri);
  int stop[2];
  ASSERT_EQ(pipe(stop), 0);
  std::vector<pid_t> stations;
  for (int s = 0; s < kStations; ++s) {
    stations.push_back(SpawnChild([&] {
      close(stop[1]);
      int loads = 0;
      for (;;) {
        CZEMATagAcs::Release();
        if (CZEMATagAcs::Instance()->Load(uri.c_str()) != 1) return 10;
        const int count = CZEMATagAcs::Instance()->GetTagCount();
        if ((count - 2) % kBatchSize != 0) return 11;  // half a batch
        ++loads;
        // Stop once the writer is done (the pipe closes) and this station loaded twice.
        fd_set set;
        FD_ZERO(&set);
        FD_SET(stop[0], &set);
        timeval now = {0, 20000};  // and leaves the writer some room
        if (loads >= 2 && select(stop[0] + 1, &set, nullptr, nullptr, &now) > 0) return 0;
      }
    }));
  }
  close(stop[0]);
  {
    // The stations stop when this end closes, whatever happens to the writer.
    struct Closer {
      int fd;
      ~Closer() { close(fd); }
    } closer{stop[1]};
    Writer writer = OpenWriter(uri);
    for (int batch = 0; batch < kBatches; ++batch) {
      std::vector<TestTag> tags;
      for (int n = 0; n < kBatchSize; ++n)
        tags.push_back(NewTag("S" + std::to_string(batch * kBatchSize + n), n));
      std::vector<TagRecord> records;
      for (const TestTag& tag : tags) records.push_back(tag.Record());
      ASSERT_EQ(ZemaBeginBatch(writer.get()), 1);
      ASSERT_EQ(writer->SaveTags(records.data(), kBatchSize), 1);
      ASSERT_EQ(ZemaCommitBatch(writer.get()), 1);
    }
  }
  for (pid_t station : stations) EXPECT_EQ(WaitChild(station), 0);
  EXPECT_EQ(LoadedTags(), 2 + kBatches * kBatchSize);

  // Two writers, one with batches and one without, save at the same time.
  std::vector<pid_t> writers;
  for (int w = 0; w < 2; ++w) {
    writers.push_back(SpawnChild([&, w] {
      Writer writer = OpenWriter(uri);
      for (int n = 0; n < 200; ++n) {
        const TestTag tag = NewTag("W" + std::to_string(w) + "-" + std::to_string(n), n);
        const TagRecord record = tag.Record();
        if (w == 0 && n % 20 == 0 && ZemaBeginBatch(writer.get()) != 1) return 20;
        if (writer->SaveTags(&record, 1) != 1) return 21;
        if (w == 0 && n % 20 == 19 && ZemaCommitBatch(writer.get()) != 1) return 22;
      }
      return 0;
    }));
  }
  for (pid_t writer : writers) EXPECT_EQ(WaitChild(writer), 0);
  EXPECT_EQ(QueryText(uri, "SELECT count(DISTINCT TagName) FROM Tags WHERE TagName LIKE 'W%'"),
            "400");
  EXPECT_EQ(QueryText(uri, "SELECT count(*) FROM Analog"),
            std::to_string(2 + kBatches * kBatchSize + 400));
}

}  // namespace
