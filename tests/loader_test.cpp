// Loading a whole tag database into the catalogue, through the public interface, on real files.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/TestEngine.h"

namespace {

// One field as GetFields reports it; the value is owned by the test.
struct Field {
  std::string name;
  int kind;
  VARIANT value;
};

// Runs on every engine (TestEngine.h).
class LoaderTest : public ::testing::TestWithParam<DbEngine> {
 protected:
  void SetUp() override {
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.File("nls").c_str(), 1);  // no function block catalogue
  }
  void TearDown() override {
    for (auto& field : fetched) VariantClear(&field.value);
    CZEMATagAcs::Release();
    platform::FaultClearAll();
    EXPECT_EQ(CoInitializeCount(), 0) << "every load balances its COM initialisation";
  }

  int Load(const TagDbBuilder& db) {
    db.Write(path);
    return CZEMATagAcs::Instance()->Load(path.c_str());
  }

  std::vector<CZEMATag*> Tags(int typeId = 0) {
    CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
    std::vector<CZEMATag*> tags(static_cast<size_t>(catalogue->GetTagCount()) + 1);
    int count = 0;
    catalogue->GetTags(typeId, static_cast<int>(tags.size()), &count, tags.data());
    tags.resize(static_cast<size_t>(count));
    return tags;
  }

  CZEMATag* TagNamed(const std::string& name) {
    for (CZEMATag* tag : Tags())
      if (name == tag->GetName()) return tag;
    return nullptr;
  }

  // The fields of a tag (all kinds); values stay valid until the test ends.
  std::vector<Field> Fields(CZEMATag* tag) {
    std::vector<TagFieldValue> out(64);
    for (auto& field : out) VariantInit(&field.value);
    int count = 0;
    EXPECT_EQ(tag->GetFields(ZEMA_KIND_ALL, 64, &count, out.data()), 1);
    std::vector<Field> result;
    for (int i = 0; i < count; ++i) {
      result.push_back(Field{out[i].name, out[i].kind, out[i].value});
      fetched.push_back(result.back());
      VariantInit(&out[i].value);
    }
    for (auto& field : out) VariantClear(&field.value);
    return result;
  }

  TempDir dir;
  TestDatabase database{GetParam()};
  std::string path = database.Location();
  std::vector<Field> fetched;
};

// SQLite's own type names (REAL of 8 bytes, no declared type) and files.
class LoaderSqliteTest : public LoaderTest {};

INSTANTIATE_TEST_SUITE_P(Engines, LoaderTest, ::testing::ValuesIn(AllEngines()), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, LoaderSqliteTest, ::testing::Values(DbEngine::kSqlite),
                         EngineName);

TEST_P(LoaderSqliteTest, EveryDeclaredColumnTypeArrivesAsItsVariant) {
  TagDbBuilder db;
  db.Type(1, "AllTypes", 1, 1,
          {{"L", "LONG"},
           {"I", "INTEGER"},
           {"Big", "BIGINT"},
           {"S", "SHORT"},
           {"By", "BYTE"},
           {"B", "BIT"},
           {"F", "SINGLE"},
           {"D", "DOUBLE"},
           {"R", "REAL"},
           {"C", "CURRENCY"},
           {"Dt", "DATETIME"},
           {"Dec", "DECIMAL(10,2)"},
           {"V", "VARCHAR(16)"},
           {"Memo", "LONGTEXT"},
           {"Any", ""},
           {"Nothing", "LONG"}})
      .Tag(1, "T1", "all types", 1)
      .Values("AllTypes", 1,
              {"42", "-9", "5000000000", "-7", "200", "1", "1.5", "2.25", "0.1", "12.3456",
               "'2015-03-04 08:30:00'", "12345.67", "'abc'", "'00123'", "7", "NULL"});
  ASSERT_EQ(Load(db), 1);
  CZEMATag* tag = TagNamed("T1");
  ASSERT_NE(tag, nullptr);
  std::vector<Field> f = Fields(tag);
  ASSERT_EQ(f.size(), 16u);
  EXPECT_EQ(tag->GetFieldCount(), 17);

  EXPECT_EQ(f[0].name, "L");
  EXPECT_EQ(f[0].value.vt, VT_I4);
  EXPECT_EQ(f[0].value.lVal, 42);
  EXPECT_EQ(f[1].value.vt, VT_I4);
  EXPECT_EQ(f[1].value.lVal, -9);
  EXPECT_EQ(f[2].value.vt, VT_I8);
  EXPECT_EQ(f[2].value.llVal, 5000000000LL);
  EXPECT_EQ(f[3].value.vt, VT_I2);
  EXPECT_EQ(f[3].value.iVal, -7);
  EXPECT_EQ(f[4].value.vt, VT_UI1);
  EXPECT_EQ(f[4].value.bVal, 200);
  EXPECT_EQ(f[5].value.vt, VT_BOOL);
  EXPECT_EQ(f[5].value.boolVal, VARIANT_TRUE);
  EXPECT_EQ(f[6].value.vt, VT_R4);
  EXPECT_EQ(f[6].value.fltVal, 1.5f);
  EXPECT_EQ(f[7].value.vt, VT_R8);
  EXPECT_EQ(f[7].value.dblVal, 2.25);
  EXPECT_EQ(f[8].value.vt, VT_R8) << "REAL keeps SQLite's 8 bytes";
  EXPECT_EQ(f[8].value.dblVal, 0.1);
  EXPECT_EQ(f[9].value.vt, VT_CY);
  EXPECT_EQ(f[9].value.cyVal.int64, 123456);
  EXPECT_EQ(f[10].value.vt, VT_DATE);
  EXPECT_NEAR(f[10].value.date, 42067.0 + 8.5 / 24.0, 1e-9);
  EXPECT_EQ(f[11].value.vt, VT_DECIMAL);
  VARIANT asDouble;
  VariantInit(&asDouble);
  ASSERT_EQ(VariantChangeType(&asDouble, &f[11].value, 0, VT_R8), S_OK);
  EXPECT_NEAR(asDouble.dblVal, 12345.67, 1e-9);
  EXPECT_EQ(f[12].value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(f[12].value.bstrVal), u"abc");
  EXPECT_EQ(f[13].value.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(f[13].value.bstrVal), u"00123") << "text that looks like a number";
  EXPECT_EQ(f[14].value.vt, VT_I4) << "no declared type: by the stored value";
  EXPECT_EQ(f[14].value.lVal, 7);
  EXPECT_EQ(f[15].value.vt, VT_NULL);
  for (const Field& field : f) EXPECT_EQ(field.kind, ZEMA_KIND_NONE);
}

TEST_P(LoaderSqliteTest, EverySynonymOfADeclaredTypeDecidesTheVariantType) {
  struct Case {
    const char* declared;
    const char* literal;
    VARTYPE vt;
  };
  const Case cases[] = {
      {"COUNTER", "1", VT_I4},
      {"INT", "1", VT_I4},
      {"SMALLINT", "1", VT_I2},
      {"TINYINT", "1", VT_UI1},
      {"YESNO", "0", VT_BOOL},
      {"BOOLEAN", "1", VT_BOOL},
      {"LOGICAL", "1", VT_BOOL},
      {"FLOAT4", "1.5", VT_R4},
      {"FLOAT", "1.5", VT_R8},
      {"FLOAT8", "1.5", VT_R8},
      {"NUMBER", "1.5", VT_R8},
      {"NUMERIC", "1.5", VT_R8},
      {"MONEY", "1.5", VT_CY},
      {"DATE", "'2001-02-03'", VT_DATE},
      {"TIME", "'2001-02-03 04:05:06'", VT_DATE},
      {"TIMESTAMP", "'2001-02-03 04:05:06'", VT_DATE},
      {"NUMERIC(12,3)", "1.5", VT_DECIMAL},
      {"CHAR(4)", "'ab'", VT_BSTR},
      {"TEXT(9)", "'ab'", VT_BSTR},
      {"NVARCHAR(9)", "'ab'", VT_BSTR},
      {"TEXT", "'ab'", VT_BSTR},
      {"MEMO", "'ab'", VT_BSTR},
      {"CLOB", "'ab'", VT_BSTR},
      {"varchar(3)", "'ab'", VT_BSTR},
  };
  TagDbBuilder::Columns columns;
  std::vector<std::string> literals;
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    columns.emplace_back("C" + std::to_string(i), cases[i].declared);
    literals.emplace_back(cases[i].literal);
  }
  TagDbBuilder db;
  db.Type(1, "Synonyms", 0, 0, columns).Tag(1, "T", "", 1).Values("Synonyms", 1, literals);
  ASSERT_EQ(Load(db), 1);
  std::vector<Field> fields = Fields(TagNamed("T"));
  ASSERT_EQ(fields.size(), sizeof cases / sizeof cases[0]);
  for (size_t i = 0; i < fields.size(); ++i)
    EXPECT_EQ(fields[i].value.vt, cases[i].vt) << "declared " << cases[i].declared;
}

TEST_P(LoaderTest, TagsCarryTheirColumnsAndDisplayInformation) {
  TagDbBuilder db;
  db.Type(3, "Analog", 10, 100, {{"PV", "DOUBLE"}})
      .Tag(5, "TIC-101", "Reactor temperature", 3, 258, 4, 9)
      .Values("Analog", 5, {"21.5"})
      .Hmi(5, "PV", 150.25, -20, "degC", 1)
      .Hmi(5, "PV", 1, 1, "second", 7)  // the first row of a field wins
      .Hmi(5, "SP", 1e300, -1e300,
           "\xE2\x84\x83"
           "abcdef",
           2)
      .Hmi(99, "PV", 1, 1, "x", 0);  // no such tag
  ASSERT_EQ(Load(db), 1);
  CZEMATag* tag = TagNamed("TIC-101");
  ASSERT_NE(tag, nullptr);
  EXPECT_STREQ(tag->GetDesc(), "Reactor temperature");
  EXPECT_EQ(tag->GetGroup(), 2) << "the low 8 bits of 258";
  EXPECT_EQ(tag->GetLevel(), 4);
  EXPECT_EQ(tag->GetAlmLevel(), 9);
  ASSERT_NE(tag->GetType(), nullptr);
  EXPECT_EQ(tag->GetType()->GetLibID(), 10);
  EXPECT_EQ(tag->GetType()->GetModuleID(), 100);

  TagHMIInfo info;
  ASSERT_EQ(tag->GetHMIInfo("PV", &info), 1);
  EXPECT_EQ(info.SCH, 150.25f);
  EXPECT_EQ(info.SCL, -20.0f);
  EXPECT_STREQ(info.EU, "degC");
  EXPECT_EQ(info.Decimal, 1);
  ASSERT_EQ(tag->GetHMIInfo("SP", &info), 1);
  EXPECT_TRUE(std::isinf(info.SCH) && info.SCH > 0) << "a double beyond the float range";
  EXPECT_TRUE(std::isinf(info.SCL) && info.SCL < 0);
  // A 3-byte character and four letters fill 7 bytes; the rest is zero.
  EXPECT_EQ(std::string(info.EU),
            "\xE2\x84\x83"
            "abcd");
  EXPECT_EQ(info.EU[7], '\0');
  EXPECT_EQ(tag->GetHMIInfo("pv", &info), 0);
}

TEST_P(LoaderTest, DisplayScalesAtTheFloatLimitNarrowToItAndOneStepPastBecomeInfinite) {
  // 3.4028235e38 is the float limit as it is usually printed: a little above the exact limit,
  // but it rounds to it. 3.4028236e38 lies beyond what rounds to a float.
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {})
      .Tag(1, "T", "", 1)
      .Hmi(1, "AtLimit", 3.4028235e38, -3.4028235e38, "", 0)
      .Hmi(1, "Past", 3.4028236e38, -3.4028236e38, "", 0)
      .Hmi(1, "Exact", FLT_MAX, -FLT_MAX, "", 0);
  ASSERT_EQ(Load(db), 1);
  TagHMIInfo info;
  for (const char* field : {"AtLimit", "Exact"}) {
    SCOPED_TRACE(field);
    ASSERT_EQ(TagNamed("T")->GetHMIInfo(field, &info), 1);
    EXPECT_EQ(info.SCH, FLT_MAX);
    EXPECT_EQ(info.SCL, -FLT_MAX);
  }
  ASSERT_EQ(TagNamed("T")->GetHMIInfo("Past", &info), 1);
  EXPECT_TRUE(std::isinf(info.SCH) && info.SCH > 0);
  EXPECT_TRUE(std::isinf(info.SCL) && info.SCL < 0);
}

TEST_P(LoaderTest, TheUnitIsCutBeforeACharacterThatWouldCrossSevenBytes) {
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {}).Tag(1, "T", "", 1).Hmi(1, "PV", 0, 0, "abcde\xE2\x84\x83", 0);
  ASSERT_EQ(Load(db), 1);
  TagHMIInfo info;
  ASSERT_EQ(TagNamed("T")->GetHMIInfo("PV", &info), 1);
  EXPECT_EQ(std::string(info.EU), "abcde");
  EXPECT_EQ(info.EU[5], '\0');
  EXPECT_EQ(info.EU[6], '\0');
}

TEST_P(LoaderSqliteTest, FilesAndTablesThatDoNotOpen) {
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(dir.File("missing.db").c_str()), 0);
  dir.Write("not-a-database.db", "this is not a database file, just text");
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(dir.File("not-a-database.db").c_str()), 0);

  TagDbBuilder noTypes;
  noTypes.Without("TagTypes").Sql("CREATE TABLE X (A LONG)");
  noTypes.Write(path);
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 0);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 0);

  TagDbBuilder noTags;
  noTags.Without("Tags").Type(1, "A", 0, 0, {{"PV", "LONG"}});
  EXPECT_EQ(Load(noTags), 1);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 0);
}

TEST_P(LoaderTest, MissingDisplayOrValueTablesLeaveThatPartOut) {
  TagDbBuilder db;
  db.Without("HMIInfo")
      .TypeRow(1, "NoTable", 0, 0)
      .Type(2, "Real", 0, 0, {{"PV", "LONG"}})
      .Tag(1, "Orphan", "", 1)
      .Tag(2, "Normal", "", 2)
      .Values("Real", 2, {"5"});
  ASSERT_EQ(Load(db), 1);
  CZEMATag* orphan = TagNamed("Orphan");
  ASSERT_NE(orphan, nullptr);
  ASSERT_NE(orphan->GetType(), nullptr);
  EXPECT_TRUE(Fields(orphan).empty());
  EXPECT_EQ(orphan->GetFieldCount(), 0);
  TagHMIInfo info;
  EXPECT_EQ(TagNamed("Normal")->GetHMIInfo("PV", &info), 0);
  EXPECT_EQ(Fields(TagNamed("Normal")).size(), 1u);
}

TEST_P(LoaderTest, MissingAndNullColumnsGiveTheInitialValues) {
  TagDbBuilder db;
  db.Without("TagTypes")
      .Without("Tags")
      .Without("HMIInfo")
      .Sql("CREATE TABLE TagTypes (TypeID LONG, TypeName VARCHAR(20))")
      .Sql("CREATE TABLE Tags (TagID LONG, TagName VARCHAR(31), TagType SHORT, TagGroup SHORT)")
      .Sql("CREATE TABLE HMIInfo (TagID LONG, FieldName VARCHAR(31), SCH DOUBLE)")
      .Sql("CREATE TABLE Plain (TagID LONG, V LONG)")
      .Sql("INSERT INTO TagTypes VALUES (4, 'Plain')")
      .Sql("INSERT INTO Tags VALUES (1, NULL, 4, NULL)")
      .Sql("INSERT INTO HMIInfo VALUES (1, 'V', NULL)");
  ASSERT_EQ(Load(db), 1);
  std::vector<CZEMATag*> tags = Tags();
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_STREQ(tags[0]->GetName(), "");
  EXPECT_STREQ(tags[0]->GetDesc(), "");
  EXPECT_EQ(tags[0]->GetGroup(), 0);
  EXPECT_EQ(tags[0]->GetLevel(), 0);
  EXPECT_EQ(tags[0]->GetType()->GetLibID(), -1) << "a missing TypeLibID column reads -1";
  EXPECT_EQ(tags[0]->GetType()->GetModuleID(), -1);
  TagHMIInfo info;
  ASSERT_EQ(tags[0]->GetHMIInfo("V", &info), 1);
  EXPECT_EQ(info.SCH, 0.0f);
  EXPECT_STREQ(info.EU, "");
  EXPECT_EQ(info.Decimal, 0);
}

TEST_P(LoaderTest, TheFirstRowOfAnIdWinsAndTagsWithoutTypeAreCountedOnly) {
  TagDbBuilder db;
  db.TagsWithoutKey()
      .Type(1, "First", 0, 0, {{"V", "LONG"}})
      .TypeRow(1, "Second", 0, 0)
      .Tag(10, "kept", "", 1)
      .Tag(10, "dropped", "", 1)
      .Tag(11, "untyped", "", 77)
      .Values("First", 10, {"1"});
  ASSERT_EQ(Load(db), 1);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 2);
  std::vector<CZEMATag*> typed = Tags();
  ASSERT_EQ(typed.size(), 1u);
  EXPECT_STREQ(typed[0]->GetName(), "kept");
  EXPECT_EQ(Fields(typed[0]).size(), 1u) << "the type's table is the first row's";
  EXPECT_TRUE(Tags(77).empty());
}

TEST_P(LoaderTest, ValueRowsLandOnTheTagOfTheirTagId) {
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {{"X", "LONG"}})
      .Type(2, "B", 0, 0, {{"Y", "LONG"}, {"Z", "LONG"}})
      .Tag(1, "a1", "", 1)
      .Tag(2, "b2", "", 2)
      .Values("A", 1, {"11"})
      .Values("A", 2, {"12"})  // a tag of another type
      .Values("A", 3, {"13"})  // no such tag
      .Values("B", 2, {"21", "22"});
  ASSERT_EQ(Load(db), 1);
  CZEMATag* b2 = TagNamed("b2");
  EXPECT_EQ(b2->GetFieldCount(), 5) << "its own row and the row of table A";
  std::vector<Field> fields = Fields(b2);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "Y");
  EXPECT_EQ(fields[0].value.lVal, 12) << "values follow the order in which rows arrived";
  EXPECT_EQ(TagNamed("a1")->GetFieldCount(), 2);
}

// Value and display rows find their tag by id however the ids lie (close together or far
// apart, negative, the largest) and in whatever order the rows come; display rows of one tag
// come in any order of field names, and the first row of a field wins.
TEST_P(LoaderTest, RowsFindTheirTagWhateverTheIdsAndTheOrderOfRows) {
  const std::vector<std::vector<int>> idSets = {
      {7, 3, 1, 6, 2, 5, 4},                            // close together, Tags out of order
      {-7, 0, 3, 1000000, 2147483647},                  // far apart, in order
      {2147483647, 12, -2147483647 - 1, 900000000, 5},  // far apart, out of order
  };
  for (const std::vector<int>& ids : idSets) {
    SCOPED_TRACE(ids.front());
    CZEMATagAcs::Release();
    TagDbBuilder db;
    db.TagsWithoutKey().Type(1, "A", 0, 0, {{"V", "LONG"}});
    for (int id : ids) db.Tag(id, "t" + std::to_string(id), "", 1);
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
      const int id = *it;
      db.Values("A", id, {std::to_string(id % 1000)})
          .Hmi(id, "Z", 3, 0, "z", 0)
          .Hmi(id, "M", 2, 0, "m", 0)
          .Hmi(id, "A", 1, 0, "a", 0)
          .Hmi(id, "M", 9, 9, "late", 9);
    }
    db.Values("A", 123456, {"1"}).Hmi(-1, "A", 1, 0, "none", 0);  // no such tags
    ASSERT_EQ(Load(db), 1);
    ASSERT_EQ(CZEMATagAcs::Instance()->GetTagCount(), static_cast<int>(ids.size()));
    for (int id : ids) {
      CZEMATag* tag = TagNamed("t" + std::to_string(id));
      ASSERT_NE(tag, nullptr) << id;
      std::vector<Field> fields = Fields(tag);
      ASSERT_EQ(fields.size(), 1u) << id;
      EXPECT_EQ(fields[0].value.lVal, id % 1000);
      TagHMIInfo info;
      for (const char* unit : {"a", "m", "z"}) {
        const char name[2] = {static_cast<char>(unit[0] - 'a' + 'A'), '\0'};
        ASSERT_EQ(tag->GetHMIInfo(name, &info), 1) << id << " " << name;
        EXPECT_STREQ(info.EU, unit);
      }
      EXPECT_EQ(tag->GetHMIInfo("B", &info), 0);
      EXPECT_EQ(tag->GetHMIInfo("", &info), 0);
    }
  }
}

TEST_P(LoaderTest, AValueTableWithoutTagIdFeedsTagZero) {
  TagDbBuilder db;
  db.TypeRow(1, "NoId", 0, 0)
      .Sql("CREATE TABLE NoId (V LONG)")
      .Sql("INSERT INTO NoId VALUES (1)")
      .Sql("INSERT INTO NoId VALUES (2)")
      .Tag(0, "zero", "", 1)
      .Tag(1, "one", "", 1);
  ASSERT_EQ(Load(db), 1);
  EXPECT_EQ(TagNamed("zero")->GetFieldCount(), 2);
  EXPECT_EQ(TagNamed("one")->GetFieldCount(), 0);
}

TEST_P(LoaderTest, NarrowIntegerIdColumnsReadAsTheirValues) {
  // Ids stored in SHORT and BYTE columns, negative ones included.
  TagDbBuilder db;
  db.Without("TagTypes")
      .Sql(
          "CREATE TABLE TagTypes (TypeID SHORT, TypeName VARCHAR(20), TypeLibID BYTE, "
          "TypeModuleID SHORT)")
      .Sql("INSERT INTO TagTypes VALUES (-3, 'Neg', 250, -2)")
      .Sql("CREATE TABLE Neg (TagID SHORT, V LONG)")
      .Tag(7, "n", "", -3)
      .Values("Neg", 7, {"1"});
  ASSERT_EQ(Load(db), 1);
  std::vector<CZEMATag*> tags = Tags(-3);
  ASSERT_EQ(tags.size(), 1u);
  EXPECT_EQ(tags[0]->GetType()->GetLibID(), 250);
  EXPECT_EQ(tags[0]->GetType()->GetModuleID(), -2);
  EXPECT_EQ(tags[0]->GetFieldCount(), 2);
}

TEST_P(LoaderTest, GetTagsDeliversTheSmallestTagIdsOfAType) {
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {}).Type(2, "B", 0, 0, {});
  for (int id = 50; id > 0; --id) db.Tag(id, "t" + std::to_string(id), "", id % 2 + 1);
  ASSERT_EQ(Load(db), 1);
  CZEMATag* tags[3];
  int count = 0;
  CZEMATagAcs::Instance()->GetTags(2, 3, &count, tags);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(tags[0]->GetName(), "t1");
  EXPECT_STREQ(tags[1]->GetName(), "t3");
  EXPECT_STREQ(tags[2]->GetName(), "t5");
  CZEMATagAcs::Instance()->GetTags(9, 3, &count, tags);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(tags[0], nullptr);
}

TEST_P(LoaderTest, ASecondLoadAddsFieldsAndValuesAgainButNoTags) {
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {{"X", "LONG"}})
      .Tag(1, "a", "", 1)
      .Values("A", 1, {"5"})
      .Hmi(1, "X", 1, 0, "m", 0);
  ASSERT_EQ(Load(db), 1);
  ASSERT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 1);
  CZEMATag* tag = TagNamed("a");
  EXPECT_EQ(tag->GetFieldCount(), 4);
  std::vector<Field> fields = Fields(tag);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(fields[0].name, "X");
  EXPECT_EQ(fields[1].name, "X");
}

TEST_P(LoaderTest, AnEngineFailureLeavesLoadAsPlatformErrorAndClosesTheDatabase) {
  TagDbBuilder db;
  db.Type(1, "A", 0, 0, {{"X", "LONG"}}).Tag(1, "a", "", 1).Tag(2, "b", "", 1);
  db.Write(path);
  platform::FaultInject("Recordset.MoveNext", E_FAIL, /*skip=*/1);  // after the first tag
  try {
    CZEMATagAcs::Instance()->Load(path.c_str());
    ADD_FAILURE() << "expected PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_FAIL);
  }
  platform::FaultClearAll();
  EXPECT_EQ(CoInitializeCount(), 0);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 1) << "what was added stays";
}

}  // namespace
