// The configuration writer: deleting tags by name.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/faults/faults.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/TestEngine.h"
#include "support/WriterRecords.h"

namespace {

const char kQuotedType[] = "My \"Quoted\" Type";
// A type name that, pasted into a statement, would empty table Analog.
const char kInjectingType[] = "Analog WHERE 1=1 --";

// name as an SQL identifier, for the plain SQLite statements of the tests.
std::string Identifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

// Five types (two of them without value table) and five tags; tag 1 also has stray rows in the
// value tables of other types, tag 5 has rows nowhere else.
TagDbBuilder PlantDb() {
  TagDbBuilder db;
  db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}})
      .Type(2, "Digital", 10, 101, {{"State", "BIT"}})
      .Sql("CREATE TABLE " + Identifier(kQuotedType) + " (TagID LONG, Value LONG)")
      .TypeRow(3, kQuotedType, 10, 102)
      .TypeRow(4, kInjectingType, 10, 103)
      .TypeRow(5, "Gone", 10, 104)
      .Tag(1, "TIC-101", "first", 1)
      .Tag(2, "TIC-102", "second", 1)
      .Tag(3, "it's", "quoted name", 2)
      .Tag(4, "Q", "quoted type", 3)
      .Tag(5, "Bare", "", 1)
      .Values("Analog", 1, {"1.5"})
      .Values("Analog", 2, {"2.5"})
      .Values("Digital", 3, {"1"})
      .Values("Digital", 1, {"0"})
      .Sql("INSERT INTO " + Identifier(kQuotedType) + " VALUES (4, 4), (1, 1)")
      .Hmi(1, "PV", 100, 0, "m", 1)
      .Hmi(2, "PV", 100, 0, "m", 1)
      .Hmi(3, "State", 1, 0, "", 0)
      .Hmi(4, "Value", 10, 0, "", 0);
  return db;
}

// Runs on every engine (TestEngine.h).
class WriterDeleteTest : public ::testing::TestWithParam<DbEngine> {
 protected:
  void SetUp() override { platform::FaultClearAll(); }
  void TearDown() override { platform::FaultClearAll(); }

  std::string Query(const std::string& sql) const { return QueryText(path, sql); }
  // The TagIDs of a table, ascending, comma-separated.
  std::string Ids(const std::string& table) const {
    return Query("SELECT group_concat(TagID) FROM (SELECT TagID FROM " + Identifier(table) +
                 " ORDER BY TagID) AS t");
  }
  int Delete(std::vector<const char*> names) {
    return writer->DeleteTags(names.data(), static_cast<int>(names.size()));
  }

  TempDir dir;
  TestDatabase database{GetParam()};
  std::string path = database.Location();
  Writer writer;
};

INSTANTIATE_TEST_SUITE_P(Engines, WriterDeleteTest, ::testing::ValuesIn(AllEngines()), EngineName);

TEST_P(WriterDeleteTest, DeletedTagLeavesNoRowInAnyTable) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  EXPECT_EQ(1, Delete({"TIC-101"}));
  EXPECT_EQ("2,3,4,5", Ids("Tags"));
  EXPECT_EQ("2,3,4", Ids("HMIInfo"));
  EXPECT_EQ("2", Ids("Analog"));  // the injecting type name deleted nothing
  EXPECT_EQ("3", Ids("Digital"));
  EXPECT_EQ("4", Ids(kQuotedType));

  EXPECT_EQ(1, Delete({"Q", "Bare"}));  // Bare has no other rows
  EXPECT_EQ("2,3", Ids("Tags"));
  EXPECT_EQ("", Ids(kQuotedType));
  EXPECT_EQ("2,3", Ids("HMIInfo"));
}

TEST_P(WriterDeleteTest, NamesAreMatchedExactlyWhateverQuotesTheyHold) {
  PlantDb().Tag(6, "tic-101", "other case", 1).Write(path);
  writer = OpenWriter(path);
  EXPECT_EQ(1, Delete({"x' OR TagName<>'", "' OR '1'='1"}));
  EXPECT_EQ("1,2,3,4,5,6", Ids("Tags"));

  EXPECT_EQ(1, Delete({"it's"}));
  EXPECT_EQ("1,2,4,5,6", Ids("Tags"));
  EXPECT_EQ("1", Ids("Digital"));
  EXPECT_EQ("1,2,4", Ids("HMIInfo"));

  EXPECT_EQ(1, Delete({"TIC-101"}));
  EXPECT_EQ("2,4,5,6", Ids("Tags"));
}

TEST_P(WriterDeleteTest, ResultIsThatOfTheLastName) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  const char* names[] = {"TIC-101"};
  EXPECT_EQ(0, writer->DeleteTags(nullptr, 0));
  EXPECT_EQ(0, writer->DeleteTags(nullptr, 1));
  EXPECT_EQ(0, writer->DeleteTags(names, -1));
  EXPECT_EQ(1, writer->DeleteTags(names, 0));
  EXPECT_EQ(1, Delete({nullptr}));
  EXPECT_EQ("1,2,3,4,5", Ids("Tags"));

  EXPECT_EQ(1, Delete({"TIC-101", "missing"}));
  EXPECT_EQ("2,3,4,5", Ids("Tags"));

  // Each name runs one Tags statement, one per TagTypes row and then the HMIInfo statement.
  const int statementsPerName = 1 + 5 + 1;
  platform::FaultInject("Connection.Execute", E_FAIL, statementsPerName - 1);
  EXPECT_EQ(1, Delete({"TIC-102", "it's"}));
  EXPECT_EQ(1, platform::FaultFiredCount());
  EXPECT_EQ("2,4", Ids("HMIInfo"));  // the failed statement left TIC-102's display rows

  platform::FaultClearAll();
  platform::FaultInject("Connection.Execute", E_FAIL, 2 * statementsPerName - 1);
  EXPECT_EQ(0, Delete({"TIC-102", "Q"}));
  EXPECT_EQ(1, platform::FaultFiredCount());
  EXPECT_EQ("5", Ids("Tags"));
}

TEST_P(WriterDeleteTest, MissingDisplayTableFailsTheResultButNotTheDeletion) {
  TagDbBuilder db;
  db.Without("HMIInfo")
      .Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}})
      .Tag(1, "TIC-101", "", 1)
      .Tag(2, "TIC-102", "", 1)
      .Tag(3, "Bare", "", 1)
      .Values("Analog", 1, {"1.5"})
      .Values("Analog", 2, {"2.5"})
      .Write(path);
  writer = OpenWriter(path);
  EXPECT_EQ(0, Delete({"TIC-101", "Bare"}));
  EXPECT_EQ("2", Ids("Tags"));
  EXPECT_EQ("2", Ids("Analog"));
}

TEST_P(WriterDeleteTest, DuplicateNamesAreDeletedOnePerCall) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  TestTag first("DUP", 1);
  first.Field("PV", DoubleValue(1));
  TestTag second("DUP", 1);
  second.Field("PV", DoubleValue(2));
  std::vector<TagRecord> records = Records({&first, &second});
  ASSERT_EQ(1, writer->SaveTags(records.data(), 2));
  EXPECT_EQ("2", Query("SELECT count(DISTINCT TagID) FROM Tags WHERE TagName='DUP'"));

  EXPECT_EQ(1, Delete({"DUP"}));
  EXPECT_EQ("1", Query("SELECT count(*) FROM Tags WHERE TagName='DUP'"));
  EXPECT_EQ("1", Query("SELECT count(*) FROM Analog WHERE TagID IN "
                       "(SELECT TagID FROM Tags WHERE TagName='DUP')"));
  EXPECT_EQ("3", Query("SELECT count(*) FROM Analog"));

  EXPECT_EQ(1, Delete({"DUP"}));
  EXPECT_EQ("0", Query("SELECT count(*) FROM Tags WHERE TagName='DUP'"));
  EXPECT_EQ("1,2", Ids("Analog"));
}

TEST_P(WriterDeleteTest, PlatformErrorLeavesDeleteTagsWithEarlierDeletionsDone) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  platform::FaultInject("Recordset.MoveNext", E_FAIL);
  EXPECT_THROW(Delete({"TIC-101"}), PlatformError);
  platform::FaultClearAll();
  EXPECT_EQ("2,3,4,5", Ids("Tags"));
  EXPECT_EQ("1,2,3,4", Ids("HMIInfo"));

  EXPECT_EQ(1, Delete({"TIC-102"}));
  EXPECT_EQ("3,4,5", Ids("Tags"));
  EXPECT_EQ("1,3,4", Ids("HMIInfo"));
}

TEST_P(WriterDeleteTest, CountWhoseByteSizeWrapsIn32BitsFailsTheAddressCheck) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  // One name pointer at the very end of a mapped page, followed by an unmapped page.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* block = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, block);
  ASSERT_EQ(0, munmap(static_cast<char*>(block) + page, page));
  auto** names = reinterpret_cast<const char**>(static_cast<char*>(block) + page - sizeof(char*));
  names[0] = "TIC-101";

  // Counts whose size in 32-bit arithmetic wraps to 8 (8-byte pointers) or 4 (4-byte ones).
  EXPECT_EQ(0, writer->DeleteTags(names, (1 << 29) + 1));
  EXPECT_EQ(0, writer->DeleteTags(names, (1 << 30) + 1));
  EXPECT_EQ(0, writer->DeleteTags(names, INT_MAX));
  EXPECT_EQ("1,2,3,4,5", Ids("Tags"));
  EXPECT_EQ(1, writer->DeleteTags(names, 1));
  EXPECT_EQ("2,3,4,5", Ids("Tags"));
  munmap(block, page);
}

// The value tables are listed once per call, but only once the list was read whole: a TagTypes
// that fails to open for one name is opened again for the next.
TEST_P(WriterDeleteTest, ATypeListThatFailsToOpenIsReadAgainForTheNextName) {
  PlantDb().Write(path);
  writer = OpenWriter(path);
  // Per name: the lookup by name opens a query, then the value tables' scan opens TagTypes.
  platform::FaultInject("Recordset.Open", E_FAIL, /*skip=*/1, /*times=*/1);
  EXPECT_EQ(1, Delete({"TIC-101", "TIC-102"}));
  EXPECT_EQ(1, platform::FaultFiredCount());
  EXPECT_EQ("3,4,5", Ids("Tags"));
  EXPECT_EQ("1", Ids("Analog")) << "the first tag's value row stays; the second one's goes";
  EXPECT_EQ("3,4", Ids("HMIInfo"));
}

}  // namespace
