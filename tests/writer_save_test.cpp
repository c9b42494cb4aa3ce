// The configuration writer: opening a database and saving tags.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/faults/faults.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/TestEngine.h"
#include "support/WriterRecords.h"

namespace {

// Tags as the writer and the loader use it: TagType is read back as a 32-bit integer.
const char kTagsTable[] =
    "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31), "
    "TagDesc VARCHAR(255), TagType LONG, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT)";

// Types 1 and 2 with value tables; type 3 without one; type 4 with an empty name.
TagDbBuilder PlantDb(const char* tagsTable = kTagsTable) {
  TagDbBuilder db;
  db.Without("Tags")
      .Sql(tagsTable)
      .Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}})
      .Type(2, "AllTypes", 10, 101,
            {{"L", "LONG"},
             {"S", "SHORT"},
             {"B", "BYTE"},
             {"F", "BIT"},
             {"D", "DOUBLE"},
             {"R", "SINGLE"},
             {"C", "CURRENCY"},
             {"T", "DATETIME"},
             {"N", "DECIMAL(18,4)"},
             {"V", "VARCHAR(20)"},
             {"M", "LONGTEXT"}})
      .TypeRow(3, "Orphan", 10, 102)
      .TypeRow(4, "", 10, 103);
  return db;
}

std::optional<int> IntThrownByOpen(const char* path) {
  try {
    CZEMAConfigAcs::Open(path)->Close();
  } catch (int value) {
    return value;
  }
  return std::nullopt;
}

// Runs on every engine (TestEngine.h).
class WriterSaveTest : public ::testing::TestWithParam<DbEngine> {
 protected:
  void SetUp() override {
    setenv("HVK_NLS_DIR", dir.Path().c_str(), 1);  // no function block library: kinds stay 0
    platform::FaultClearAll();
  }
  void TearDown() override {
    platform::FaultClearAll();
    CZEMATagAcs::Release();
  }

  std::string Query(const std::string& sql) const { return QueryText(path, sql); }
  // The tag names in TagID order, comma-separated.
  std::string TagNames() const {
    return Query(
        "SELECT group_concat(TagName) FROM (SELECT TagName FROM Tags ORDER BY TagID) AS t");
  }
  // Rows of HMIInfo and of the value tables that belong to no Tags row.
  std::string StrayRows() const {
    return Query(
        "SELECT (SELECT count(*) FROM HMIInfo WHERE TagID NOT IN (SELECT TagID FROM Tags)) + "
        "(SELECT count(*) FROM Analog WHERE TagID NOT IN (SELECT TagID FROM Tags)) + "
        "(SELECT count(*) FROM AllTypes WHERE TagID NOT IN (SELECT TagID FROM Tags))");
  }

  TempDir dir;
  TestDatabase database{GetParam()};
  std::string path = database.Location();
};

// Files that are not databases.
class WriterSaveSqliteTest : public WriterSaveTest {};

INSTANTIATE_TEST_SUITE_P(Engines, WriterSaveTest, ::testing::ValuesIn(AllEngines()), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, WriterSaveSqliteTest, ::testing::Values(DbEngine::kSqlite),
                         EngineName);

TEST_P(WriterSaveTest, SavedTagsLoadBackAsSaved) {
  PlantDb().Write(path);
  TestTag analog("TIC-101", 1, "Reactor temperature");
  analog.Levels(7, 200, 255)
      .Field("PV", DoubleValue(21.5))
      .Field("Mode", LongValue(2))
      .Hmi("PV", 150.5f, -10.25f, "degC", 2)
      .Hmi("Mode", 3.0f, 0.0f, "", 0);
  TestTag all("XA-200", 2, "Every column type, it's all here");
  all.Field("L", LongValue(-2000000000))
      .Field("S", ShortValue(-12345))
      .Field("B", ByteValue(200))
      .Field("F", BoolValue(true))
      .Field("D", DoubleValue(2.5e-7))
      .Field("R", SingleValue(3.25f))
      .Field("C", CurrencyValue(LLONG_MAX))
      .Field("T", DateValue(45000.25))
      .Field("N", DecimalValue(123456789012345678ull, 4, true))
      .Field("V", TextValue(u"00123"))
      .Field("M", TextValue(u"a long text with 'quotes' and \u00e9"));
  TestTag plain("TIC-102", 1);
  std::vector<TagRecord> records = Records({&analog, &all, &plain});
  const TagFieldEntry* textEntry = &records[1].FieldValues[9];
  const BSTR callerText = textEntry->Value.bstrVal;

  Writer writer = OpenWriter(path);
  ASSERT_EQ(1, writer->SaveTags(records.data(), static_cast<int>(records.size())));
  EXPECT_EQ(VT_BSTR, textEntry->Value.vt);  // the caller's values stay the caller's
  EXPECT_EQ(callerText, textEntry->Value.bstrVal);
  writer.reset();

  EXPECT_EQ("TIC-101,XA-200,TIC-102", TagNames());  // TagIDs follow the array order
  EXPECT_EQ("1", Query("SELECT count(*) FROM Tags WHERE TagName='TIC-102' AND TagDesc IS NULL"));
  EXPECT_EQ("1", Query("SELECT count(*) FROM HMIInfo WHERE FieldName='Mode' AND EU IS NULL"));
  EXPECT_EQ("1", Query("SELECT count(*) FROM Analog WHERE TagID=(SELECT TagID FROM Tags WHERE "
                       "TagName='TIC-102') AND PV IS NULL AND Mode IS NULL"));
  EXPECT_EQ("0", StrayRows());

  CZEMATagAcs::Release();
  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  ASSERT_EQ(1, catalogue->Load(path.c_str()));
  CZEMATag* tags[4] = {};
  int count = 0;
  catalogue->GetTags(0, 4, &count, tags);
  ASSERT_EQ(3, count);
  EXPECT_STREQ("TIC-101", tags[0]->GetName());
  EXPECT_STREQ("Reactor temperature", tags[0]->GetDesc());
  EXPECT_EQ(7, tags[0]->GetGroup());
  EXPECT_EQ(200, tags[0]->GetLevel());
  EXPECT_EQ(255, tags[0]->GetAlmLevel());
  EXPECT_STREQ("Every column type, it's all here", tags[1]->GetDesc());
  EXPECT_STREQ("", tags[2]->GetDesc());

  TagHMIInfo info;
  ASSERT_EQ(1, tags[0]->GetHMIInfo("PV", &info));
  EXPECT_EQ(150.5f, info.SCH);
  EXPECT_EQ(-10.25f, info.SCL);
  EXPECT_STREQ("degC", info.EU);
  EXPECT_EQ(2, info.Decimal);
  ASSERT_EQ(1, tags[0]->GetHMIInfo("Mode", &info));
  EXPECT_STREQ("", info.EU);

  TagFieldValue values[12];
  for (TagFieldValue& value : values) VariantInit(&value.value);
  ASSERT_EQ(1, tags[1]->GetFields(ZEMA_KIND_ALL, 12, &count, values));
  ASSERT_EQ(11, count);
  const char* names[] = {"L", "S", "B", "F", "D", "R", "C", "T", "N", "V", "M"};
  for (int i = 0; i < 11; ++i) EXPECT_STREQ(names[i], values[i].name);
  EXPECT_EQ(VT_I4, values[0].value.vt);
  EXPECT_EQ(-2000000000, values[0].value.lVal);
  EXPECT_EQ(VT_I2, values[1].value.vt);
  EXPECT_EQ(-12345, values[1].value.iVal);
  EXPECT_EQ(VT_UI1, values[2].value.vt);
  EXPECT_EQ(200, values[2].value.bVal);
  EXPECT_EQ(VT_BOOL, values[3].value.vt);
  EXPECT_EQ(VARIANT_TRUE, values[3].value.boolVal);
  EXPECT_EQ(VT_R8, values[4].value.vt);
  EXPECT_EQ(2.5e-7, values[4].value.dblVal);
  EXPECT_EQ(VT_R4, values[5].value.vt);
  EXPECT_EQ(3.25f, values[5].value.fltVal);
  EXPECT_EQ(VT_CY, values[6].value.vt);
  EXPECT_EQ(LLONG_MAX, values[6].value.cyVal.int64);
  EXPECT_EQ(VT_DATE, values[7].value.vt);
  EXPECT_EQ(45000.25, values[7].value.date);
  EXPECT_EQ(VT_DECIMAL, values[8].value.vt);
  EXPECT_EQ(123456789012345678ull, values[8].value.decVal.Lo64);
  EXPECT_EQ(0u, values[8].value.decVal.Hi32);
  EXPECT_EQ(4, values[8].value.decVal.scale);
  EXPECT_EQ(DECIMAL_NEG, values[8].value.decVal.sign);
  EXPECT_EQ(VT_BSTR, values[9].value.vt);
  EXPECT_EQ(std::u16string(u"00123"), std::u16string(values[9].value.bstrVal));
  EXPECT_EQ(VT_BSTR, values[10].value.vt);
  EXPECT_EQ(std::u16string(u"a long text with 'quotes' and \u00e9"),
            std::u16string(values[10].value.bstrVal));
  for (TagFieldValue& value : values) VariantClear(&value.value);
}

TEST_P(WriterSaveTest, InvalidArraysWriteNothingAndCountZeroSucceeds) {
  PlantDb().Write(path);
  TestTag tag("A", 1);
  std::vector<TagRecord> records = Records({&tag});
  Writer writer = OpenWriter(path);
  EXPECT_EQ(0, writer->SaveTags(nullptr, 0));
  EXPECT_EQ(0, writer->SaveTags(nullptr, 1));
  EXPECT_EQ(0, writer->SaveTags(records.data(), -1));
  EXPECT_EQ(1, writer->SaveTags(records.data(), 0));
  EXPECT_EQ("0", Query("SELECT count(*) FROM Tags"));
  EXPECT_EQ("0", Query("SELECT count(*) FROM Analog"));
}

TEST_P(WriterSaveTest, CountWhoseByteSizeWrapsIn32BitsFailsTheAddressCheck) {
  PlantDb().Write(path);
  // One record at the very end of a mapped page, followed by an unmapped page: a size computed
  // in 32-bit arithmetic would wrap to a few bytes, pass the check and read far past the page.
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* block = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, block);
  ASSERT_EQ(0, munmap(static_cast<char*>(block) + page, page));
  auto* record = reinterpret_cast<TagRecord*>(static_cast<char*>(block) + page - sizeof(TagRecord));
  *record = TestTag("A", 1).Record();

  const long long wrapping = (1LL << 32) / static_cast<long long>(sizeof(TagRecord)) + 1;
  Writer writer = OpenWriter(path);
  EXPECT_EQ(0, writer->SaveTags(record, static_cast<int>(wrapping)));
  EXPECT_EQ(0, writer->SaveTags(record, INT_MAX));
  EXPECT_EQ(1, writer->SaveTags(record, 1));
  EXPECT_EQ("A", TagNames());
  munmap(block, page);
}

TEST_P(WriterSaveTest, TablesAreOpenedOncePerCallWhateverTheNumberOfRecords) {
  PlantDb().Write(path);
  TestTag analog("A", 1);
  TestTag all("B", 2);
  Writer writer = OpenWriter(path);
  // Recordset opens of one SaveTags call with the records of tags (count first of them).
  auto opensFor = [&](const std::vector<const TestTag*>& tags, size_t count) {
    std::vector<TagRecord> records = Records(tags);
    platform::FaultTraceStart();
    EXPECT_EQ(1, writer->SaveTags(records.data(), static_cast<int>(count)));
    std::vector<std::string> calls = platform::FaultTraceStop();
    return std::count(calls.begin(), calls.end(), "Recordset.Open");
  };
  EXPECT_EQ(2, opensFor({&analog}, 0));  // Tags and HMIInfo
  // Per type: the lookup of its name and its value table.
  EXPECT_EQ(4, opensFor({&analog}, 1));
  EXPECT_EQ(4, opensFor({&analog, &analog, &analog, &analog}, 4));
  EXPECT_EQ(6, opensFor({&analog, &all, &analog, &all, &analog}, 5));
  EXPECT_EQ("A,A,A,A,A,A,B,A,B,A", TagNames());
}

TEST_P(WriterSaveTest, TagsWithoutUsableValueTableAreTakenBackEverywhere) {
  PlantDb().Write(path);
  TestTag first("A", 1);
  first.Field("PV", DoubleValue(1)).Hmi("PV", 1, 0, "m", 1);
  TestTag noTable("X", 3);
  noTable.Field("PV", DoubleValue(2)).Hmi("PV", 2, 0, "x", 1);
  TestTag unknownType("Y", 99);
  unknownType.Hmi("PV", 3, 0, "y", 1);
  TestTag emptyName("Z", 4);
  emptyName.Hmi("PV", 4, 0, "z", 1);
  TestTag noTableAgain("X2", 3);
  noTableAgain.Hmi("PV", 5, 0, "x2", 1);
  TestTag last("B", 1);
  last.Hmi("PV", 6, 0, "b", 1);
  std::vector<TagRecord> records =
      Records({&first, &noTable, &unknownType, &emptyName, &noTableAgain, &last});

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), static_cast<int>(records.size())));
  EXPECT_EQ("A,B", TagNames());
  EXPECT_EQ("m,b",
            Query("SELECT group_concat(EU) FROM (SELECT EU FROM HMIInfo ORDER BY TagID) AS h"));
  EXPECT_EQ("2", Query("SELECT count(*) FROM Analog"));
  EXPECT_EQ("0", StrayRows());
}

TEST_P(WriterSaveTest, TypeIdsOnTheSixteenBitLimitsAreSaved) {
  // 32767 and -32768 are the last type ids a TagType column holds: saved as they are, one past
  // either (the test below) is taken back.
  PlantDb()
      .Type(32767, "Top", 10, 105, {{"PV", "DOUBLE"}})
      .Type(-32768, "Bottom", 10, 106, {{"PV", "DOUBLE"}})
      .Write(path);
  TestTag top("T", 32767);
  top.Field("PV", DoubleValue(7)).Hmi("PV", 1, 0, "t", 0);
  TestTag bottom("B", -32768);
  bottom.Field("PV", DoubleValue(8)).Hmi("PV", 1, 0, "b", 0);
  std::vector<TagRecord> records = Records({&top, &bottom});

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), static_cast<int>(records.size())));
  EXPECT_EQ("T,B", TagNames());
  EXPECT_EQ("32767,-32768", Query("SELECT group_concat(TagType) FROM (SELECT TagType FROM Tags "
                                  "ORDER BY TagID) AS t"));
  EXPECT_EQ("7|8", Query("SELECT (SELECT group_concat(CAST(PV AS INTEGER)) FROM Top) || '|' || "
                         "(SELECT group_concat(CAST(PV AS INTEGER)) FROM Bottom)"));
  EXPECT_EQ("2", Query("SELECT count(*) FROM HMIInfo"));
}

TEST_P(WriterSaveTest, TypeIdsBeyondSixteenBitsAreTakenBack) {
  // 65537 and -32769 would be stored as 1 and 32767: types that exist, but are not theirs.
  PlantDb()
      .Type(65537, "Wide", 10, 104, {{"PV", "DOUBLE"}})
      .Type(32767, "Top", 10, 105, {{"PV", "DOUBLE"}})
      .Write(path);
  TestTag first("A", 1);
  TestTag wide("W", 65537);
  wide.Field("PV", DoubleValue(7)).Hmi("PV", 1, 0, "w", 0);
  TestTag negative("N", -32769);
  negative.Field("PV", DoubleValue(8)).Hmi("PV", 1, 0, "n", 0);
  TestTag last("B", 1);
  std::vector<TagRecord> records = Records({&first, &wide, &negative, &last});

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), static_cast<int>(records.size())));
  EXPECT_EQ("A,B", TagNames());
  EXPECT_EQ("0", Query("SELECT count(*) FROM HMIInfo"));
  EXPECT_EQ("0", Query("SELECT (SELECT count(*) FROM Wide) + (SELECT count(*) FROM Top)"));
  EXPECT_EQ("2", Query("SELECT count(*) FROM Analog"));
}

TEST_P(WriterSaveTest, EmptyOrMissingArraysOfARecordAreNeverRead) {
  PlantDb().Write(path);
  TestTag noValues("A", 1);
  TagRecord records[3] = {noValues.Record(), noValues.Record(), noValues.Record()};
  strcpy(records[1].TagName, "NEG");
  records[1].FieldValueCount = -3;  // "none", whatever the pointers say
  records[1].FieldValues = reinterpret_cast<const TagFieldEntry*>(uintptr_t{16});
  records[1].HMICount = -1;
  records[1].HMIEntries = reinterpret_cast<const TagHMIEntry*>(uintptr_t{16});
  strcpy(records[2].TagName, "NULLS");
  records[2].FieldValueCount = 2;  // counts without arrays
  records[2].HMICount = 2;

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records, 3));
  EXPECT_EQ("A,NEG,NULLS", TagNames());
  EXPECT_EQ("3", Query("SELECT count(*) FROM Analog WHERE PV IS NULL AND Mode IS NULL"));
  EXPECT_EQ("0", Query("SELECT count(*) FROM HMIInfo"));
  EXPECT_EQ("0", StrayRows());
}

TEST_P(WriterSaveTest, RefusedTagRowGetsNoDisplayOrValueRows) {
  PlantDb().Sql("CREATE UNIQUE INDEX TagNames ON Tags (TagName)").Write(path);
  TestTag first("A", 1);
  first.Field("PV", DoubleValue(1)).Hmi("PV", 1, 0, "a", 0);
  TestTag refused("A", 1);
  refused.Field("PV", DoubleValue(2)).Field("Mode", LongValue(9)).Hmi("PV", 2, 0, "dup", 0);
  TestTag last("B", 1);
  last.Field("PV", DoubleValue(3)).Hmi("PV", 3, 0, "b", 0);
  std::vector<TagRecord> records = Records({&first, &refused, &last});

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), 3));
  EXPECT_EQ("A,B", TagNames());
  EXPECT_EQ("a,b",
            Query("SELECT group_concat(EU) FROM (SELECT EU FROM HMIInfo ORDER BY TagID) AS h"));
  EXPECT_EQ("1,3", Query("SELECT group_concat(CAST(PV AS INTEGER)) FROM "
                         "(SELECT PV FROM Analog ORDER BY TagID) AS a"));
  EXPECT_EQ("0", Query("SELECT count(*) FROM Analog WHERE Mode IS NOT NULL"));
  EXPECT_EQ("0", StrayRows());
}

// The TagID under which a tag's display and value rows go is read from its stored Tags row. The
// rowid the engine gave the row stands for it only when nothing but the INSERT changed a row:
// after a trigger the row is read back (by that rowid, so a trigger that renumbers the row leaves
// the key unread: 0, as ever), and a key that is not the rowid (INTEGER PRIMARY KEY DESC) holds
// what was written (nothing: 0).
TEST_P(WriterSaveSqliteTest, DisplayAndValueRowsGoUnderTheTagIdReadFromTheStoredRow) {
  TestTag first("A", 1);
  first.Field("PV", DoubleValue(1)).Hmi("PV", 1, 0, "a", 0);
  TestTag second("B", 1);
  second.Field("PV", DoubleValue(2)).Hmi("PV", 2, 0, "b", 0);
  const std::vector<TagRecord> records = Records({&first, &second});
  // Each tag as name:TagID:the TagID of its display row:the TagID of its value row.
  const std::string owners =
      "SELECT group_concat(TagName || ':' || ifnull(TagID, 'null') || ':' || "
      "(SELECT group_concat(h.TagID) FROM HMIInfo h WHERE h.EU = lower(t.TagName)) || ':' || "
      "(SELECT group_concat(a.TagID) FROM Analog a WHERE a.PV = "
      "CASE t.TagName WHEN 'A' THEN 1 ELSE 2 END), ' ') FROM (SELECT * FROM Tags ORDER BY "
      "TagName) AS t";

  PlantDb()
      .Sql("CREATE TABLE Log (What TEXT)")
      .Sql(
          "CREATE TRIGGER Logged AFTER INSERT ON Tags BEGIN INSERT INTO Log VALUES "
          "(new.TagName); END")
      .Write(path);
  Writer writer = OpenWriter(path);
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  writer.reset();
  EXPECT_EQ(Query(owners), "A:1:1:1 B:2:2:2");

  PlantDb()
      .Sql(
          "CREATE TRIGGER Renumber AFTER INSERT ON Tags BEGIN UPDATE Tags SET TagID = "
          "new.TagID + 1000 WHERE TagID = new.TagID; END")
      .Write(path);
  writer = OpenWriter(path);
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  writer.reset();
  EXPECT_EQ(Query(owners), "A:1001:0:0 B:2002:0:0");

  PlantDb(
      "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY DESC, TagName VARCHAR(31), TagDesc "
      "VARCHAR(255), TagType LONG, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT)")
      .Write(path);
  writer = OpenWriter(path);
  ASSERT_EQ(writer->SaveTags(records.data(), 2), 1);
  writer.reset();
  EXPECT_EQ(Query(owners), "A:null:0:0 B:null:0:0");
}

TEST_P(WriterSaveTest, UnterminatedTextsEndWithTheirArrays) {
  const std::string longField(32, 'F');
  PlantDb(
      "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName LONGTEXT, "
      "TagDesc LONGTEXT, TagType LONG, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT)")
      .Without("HMIInfo")
      .Sql(
          "CREATE TABLE HMIInfo (TagID LONG, FieldName LONGTEXT, SCH DOUBLE, SCL DOUBLE, "
          "EU LONGTEXT, Decimal LONG)")
      .Type(5, "Wide", 10, 106, {{longField, "LONG"}})
      .Write(path);
  // Every array is full and unterminated; the bytes after each are not zero either.
  TestTag tag(std::string(32, 'N'), 5, std::string(256, 'D'));
  tag.Levels('g', 'l', 'a').Field(longField, LongValue(42));
  tag.Hmi(longField, 1.2345f, 0, std::string(8, 'E'), 0x41414141);  // no zero byte in SCH
  std::vector<TagRecord> records = Records({&tag});
  records[0].reserved = 'r';

  Writer writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), 1));
  EXPECT_EQ(std::string(32, 'N'), Query("SELECT TagName FROM Tags"));
  EXPECT_EQ(std::string(256, 'D'), Query("SELECT TagDesc FROM Tags"));
  EXPECT_EQ(longField, Query("SELECT FieldName FROM HMIInfo"));
  EXPECT_EQ(std::string(8, 'E'), Query("SELECT EU FROM HMIInfo"));
  EXPECT_EQ("42", Query("SELECT \"" + longField + "\" FROM Wide"));
}

TEST_P(WriterSaveTest, PlatformErrorLeavesSaveTagsAndTheWriterStaysUsable) {
  PlantDb().Write(path);
  TestTag good("A", 1);
  good.Field("PV", DoubleValue(1));
  VARIANT unknownType;
  memset(&unknownType, 0, sizeof unknownType);
  unknownType.vt = 0x0FFF;  // no copy can be made of it
  TestTag bad("BAD", 1);
  bad.Field("PV", unknownType).Hmi("PV", 1, 0, "x", 0);
  std::vector<TagRecord> records = Records({&good, &bad});

  Writer writer = OpenWriter(path);
  try {
    writer->SaveTags(records.data(), 2);
    ADD_FAILURE() << "SaveTags returned";
  } catch (const PlatformError& error) {
    EXPECT_EQ(DISP_E_BADVARTYPE, error.Error());
  }
  EXPECT_EQ(0x0FFF, records[1].FieldValues[0].Value.vt);
  EXPECT_EQ("A,BAD", TagNames());  // rows stored before the failure stay
  EXPECT_EQ("1", Query("SELECT count(*) FROM Analog"));

  // The engine failing to start the second Tags row.
  TestTag second("C", 1);
  TestTag third("D", 1);
  records = Records({&second, &third});
  platform::FaultInject("Recordset.AddNew", E_FAIL, 1);
  EXPECT_THROW(writer->SaveTags(records.data(), 2), PlatformError);
  platform::FaultClearAll();
  EXPECT_EQ("A,BAD,C", TagNames());

  records = Records({&third});
  EXPECT_EQ(1, writer->SaveTags(records.data(), 1));
  EXPECT_EQ("A,BAD,C,D", TagNames());
  EXPECT_EQ("2", Query("SELECT count(*) FROM Analog"));
}

TEST_P(WriterSaveSqliteTest, OpenThrowsZeroWhenTheFileIsNoDatabase) {
  EXPECT_EQ(0, IntThrownByOpen(dir.File("missing.db").c_str()));
  EXPECT_EQ(0, IntThrownByOpen(dir.Write("notes.db", "these are not the tags\n").c_str()));
  EXPECT_EQ(0, IntThrownByOpen(dir.Path().c_str()));
  EXPECT_EQ(0, IntThrownByOpen(nullptr));

  PlantDb().Write(path);
  EXPECT_EQ(std::nullopt, IntThrownByOpen(path.c_str()));
}

TEST_P(WriterSaveTest, ClosingSurvivesAConnectionThatFailsToClose) {
  PlantDb().Write(path);
  Writer writer = OpenWriter(path);
  platform::FaultInject("Connection.Close", E_FAIL, 0, -1);
  writer.reset();
  platform::FaultClearAll();

  TestTag tag("A", 1);
  std::vector<TagRecord> records = Records({&tag});
  writer = OpenWriter(path);
  EXPECT_EQ(1, writer->SaveTags(records.data(), 1));
  EXPECT_EQ("A", TagNames());
}

}  // namespace
