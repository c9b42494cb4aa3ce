// The configuration writer on bad input found by fuzzing: each case once led to a crash, a
// sanitizer report or a damaged database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/com/com.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/WriterRecords.h"

namespace {

class WriterBadInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("HVK_NLS_DIR", dir.Path().c_str(), 1);
    TagDbBuilder db;
    db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}})
        .Tag(1, "TIC-101", "existing", 1)
        .Values("Analog", 1, {"1.5", "7"})
        .Write(path);
  }
  void TearDown() override {
    CZEMATagAcs::Release();
    EXPECT_EQ(CoInitializeCount(), 0);
  }

  std::string Query(const std::string& sql) const { return QueryText(path, sql); }

  TempDir dir;
  std::string path = dir.File("plant.db");
};

TEST_F(WriterBadInputTest, AFieldEntryNamingTheTagIdColumnCannotFileTheValueRowUnderAnotherTag) {
  // Field entries named TagID (in any case) that point at the existing tag 1 and at no tag.
  TestTag upper("NEW-1", 1);
  upper.Field("PV", DoubleValue(2.5)).Field("TagID", LongValue(1));
  TestTag lower("NEW-2", 1);
  lower.Field("tagid", LongValue(170)).Field("Mode", LongValue(3));
  std::vector<TagRecord> records = Records({&upper, &lower});
  {
    Writer writer = OpenWriter(path);
    ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  }

  // Each value row stays with its own tag; tag 1 keeps its one row.
  EXPECT_EQ(Query("SELECT group_concat(t.TagName || '=' || ifnull(a.PV, '') || '/' || "
                  "ifnull(a.Mode, ''), ' ') FROM Tags t JOIN Analog a USING (TagID)"),
            "TIC-101=1.5/7 NEW-1=2.5/ NEW-2=/3");
  EXPECT_EQ(Query("SELECT count(*) FROM Analog WHERE TagID NOT IN (SELECT TagID FROM Tags)"), "0");

  ASSERT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  CZEMATag* tags[3] = {};
  int count = 0;
  CZEMATagAcs::Instance()->GetTags(1, 3, &count, tags);
  ASSERT_EQ(count, 3);
  EXPECT_EQ(tags[0]->GetFieldCount(), 3) << "tag 1 holds its own row and no other";
}

}  // namespace
