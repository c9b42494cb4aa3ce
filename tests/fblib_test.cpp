// Field kinds from the function block library catalogue: FBLib.xml and the module files in a
// language directory, applied during Load.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ZEMATagAcs.h"
#include "catalogue/FBLibCatalogue.h"
#include "catalogue/ZEMATagTypeImpl.h"
#include "platform/faults/faults.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"

namespace {

const TagDbBuilder::Columns kPidColumns = {
    {"PV", "DOUBLE"}, {"SP", "DOUBLE"}, {"OUT", "DOUBLE"}, {"Mode", "LONG"}, {"Extra", "LONG"}};

// A module file naming the direction of some fields.
std::string ModuleFile(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string xml = "<?xml version=\"1.0\"?>\n<FB name=\"x\">\n <module>\n  <fieldattr>\n";
  for (const auto& field : fields) {
    xml += "   <field name=\"" + field.first + "\"";
    if (!field.second.empty()) xml += " attr=\"" + field.second + "\"";
    xml += "/>\n";
  }
  return xml + "  </fieldattr>\n </module>\n</FB>\n";
}

class FBLibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.File("nls").c_str(), 1);
  }
  void TearDown() override { CZEMATagAcs::Release(); }

  void Catalogue(const std::string& xml) { dir.Write("nls/FBLib/FBLib.xml", xml); }
  void Module(const std::string& relative, const std::string& xml) {
    dir.Write("nls/FBLib/" + relative, xml);
  }

  // Loads a database with one tag per type (tag id = type id) and returns, for each type id,
  // the kinds of its fields by name.
  std::map<int, std::map<std::string, int>> LoadKinds(
      const std::vector<std::pair<int, std::pair<int, int>>>& types) {
    TagDbBuilder db;
    for (const auto& type : types) {
      const std::string name = "Type" + std::to_string(type.first);
      db.Type(type.first, name, type.second.first, type.second.second, kPidColumns)
          .Tag(type.first, "tag" + std::to_string(type.first), "", type.first)
          .Values(name, type.first, {"1", "2", "3", "4", "5"});
    }
    const std::string path = dir.File("tags.db");
    db.Write(path);
    EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
    std::map<int, std::map<std::string, int>> kinds;
    for (const auto& type : types) {
      CZEMATag* tags[1];
      int count = 0;
      CZEMATagAcs::Instance()->GetTags(type.first, 1, &count, tags);
      EXPECT_EQ(count, 1);
      if (count != 1) continue;
      TagFieldValue fields[8];
      for (auto& field : fields) VariantInit(&field.value);
      int got = 0;
      tags[0]->GetFields(ZEMA_KIND_ALL, 8, &got, fields);
      for (int i = 0; i < got; ++i) kinds[type.first][fields[i].name] = fields[i].kind;
      for (auto& field : fields) VariantClear(&field.value);
    }
    return kinds;
  }

  TempDir dir;
};

TEST_F(FBLibTest, InputsAndOutputsAreReportedByKind) {
  Catalogue(
      "<FBLib><Lib libid='10' libcfg='Control'>"
      "<FB moduleid='100' modulecfg='PID.xml'/></Lib></FBLib>");
  Module("Control/PID.xml", ModuleFile({{"PV", "in"}, {"SP", "in"}, {"OUT", "out"}, {"Mode", ""}}));
  TagDbBuilder db;
  db.Type(1, "Pid", 10, 100, kPidColumns)
      .Tag(1, "FIC-1", "", 1)
      .Values("Pid", 1, {"1", "2", "3", "4", "5"});
  const std::string path = dir.File("tags.db");
  db.Write(path);
  ASSERT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  CZEMATag* tag = nullptr;
  int count = 0;
  CZEMATagAcs::Instance()->GetTags(1, 1, &count, &tag);
  ASSERT_EQ(count, 1);

  auto names = [&](int kind) {
    TagFieldValue fields[8];
    for (auto& field : fields) VariantInit(&field.value);
    int got = 0;
    EXPECT_EQ(tag->GetFields(kind, 8, &got, fields), 1);
    std::vector<std::string> result;
    for (int i = 0; i < got; ++i) result.emplace_back(fields[i].name);
    for (auto& field : fields) VariantClear(&field.value);
    return result;
  };
  EXPECT_EQ(names(ZEMA_KIND_INPUT), (std::vector<std::string>{"PV", "SP"}));
  EXPECT_EQ(names(ZEMA_KIND_OUTPUT), (std::vector<std::string>{"OUT"}));
  EXPECT_EQ(names(ZEMA_KIND_NONE), (std::vector<std::string>{"Mode", "Extra"}));
  EXPECT_EQ(names(ZEMA_KIND_ALL), (std::vector<std::string>{"PV", "SP", "OUT", "Mode", "Extra"}));
}

TEST_F(FBLibTest, IdsAreReadLikeAtoi) {
  Catalogue(
      "<FBLib>"
      "<Lib libcfg='a'><FB moduleid='' modulecfg='zero.xml'/></Lib>"
      "<Lib libid=' 12' libcfg='a'><FB moduleid='7abc' modulecfg='twelve.xml'/></Lib>"
      "<Lib libid='-1' libcfg='a'><FB moduleid='-1' modulecfg='minus.xml'/></Lib>"
      "<Lib libid='x' libcfg='a'><FB modulecfg='zero2.xml'/></Lib>"
      "<Lib libid='99999999999999999999' libcfg='a'><FB moduleid='1' modulecfg='big.xml'/></Lib>"
      "</FBLib>");
  Module("a/zero.xml", ModuleFile({{"PV", "in"}}));
  Module("a/zero2.xml", ModuleFile({{"SP", "out"}}));
  Module("a/twelve.xml", ModuleFile({{"OUT", "out"}}));
  Module("a/minus.xml", ModuleFile({{"Mode", "in"}}));
  Module("a/big.xml", ModuleFile({{"Extra", "out"}}));
  auto kinds =
      LoadKinds({{1, {0, 0}}, {2, {12, 7}}, {3, {-1, -1}}, {4, {12, 8}}, {5, {2147483647, 1}}});
  EXPECT_EQ(kinds[1]["PV"], ZEMA_KIND_INPUT) << "missing and empty ids read as 0";
  EXPECT_EQ(kinds[1]["SP"], ZEMA_KIND_OUTPUT) << "a non-numeric id reads as 0";
  EXPECT_EQ(kinds[1]["OUT"], ZEMA_KIND_NONE);
  EXPECT_EQ(kinds[2]["OUT"], ZEMA_KIND_OUTPUT) << "leading blanks and trailing letters";
  EXPECT_EQ(kinds[2]["PV"], ZEMA_KIND_NONE);
  EXPECT_EQ(kinds[3]["Mode"], ZEMA_KIND_INPUT) << "-1 matches only -1";
  EXPECT_EQ(kinds[3]["PV"], ZEMA_KIND_NONE);
  for (const auto& field : kinds[4]) EXPECT_EQ(field.second, ZEMA_KIND_NONE) << field.first;
  EXPECT_EQ(kinds[5]["Extra"], ZEMA_KIND_OUTPUT)
      << "an id beyond the int range reads as the largest";
  EXPECT_EQ(kinds[3]["Extra"], ZEMA_KIND_NONE);
}

TEST_F(FBLibTest, EveryMatchingBlockAppliesInDocumentOrder) {
  Catalogue(
      "<FBLib><Lib libid='1' libcfg='L'>"
      "<FB moduleid='2' modulecfg='first.xml'/><FB moduleid='2' modulecfg='missing.xml'/>"
      "</Lib><Lib libid='1' libcfg='L'><FB moduleid='2' modulecfg='second.xml'/></Lib></FBLib>");
  Module("L/first.xml", ModuleFile({{"PV", "in"}, {"SP", "in"}, {"Mode", "out"}}));
  Module("L/second.xml", ModuleFile({{"sp", "out"}, {"MODE", "bogus"}}));
  auto kinds = LoadKinds({{1, {1, 2}}, {2, {1, 2}}});
  for (int type : {1, 2}) {
    EXPECT_EQ(kinds[type]["PV"], ZEMA_KIND_INPUT);
    EXPECT_EQ(kinds[type]["SP"], ZEMA_KIND_OUTPUT) << "the later file stands, any capitals";
    EXPECT_EQ(kinds[type]["Mode"], ZEMA_KIND_NONE) << "an unknown attribute text resets";
  }
}

TEST_F(FBLibTest, OnlyTheFirstModuleAndFieldattrAreRead) {
  Catalogue("<FBLib><Lib libid='1' libcfg='L'><FB moduleid='1' modulecfg='m.xml'/></Lib></FBLib>");
  Module("L/m.xml",
         "<FB><other><fieldattr><field name='Extra' attr='in'/></fieldattr></other>"
         "<module><fieldattr><field name='PV' attr='in'/></fieldattr>"
         "<fieldattr><field name='SP' attr='in'/></fieldattr></module>"
         "<module><fieldattr><field name='OUT' attr='out'/></fieldattr></module></FB>");
  auto kinds = LoadKinds({{1, {1, 1}}});
  EXPECT_EQ(kinds[1]["PV"], ZEMA_KIND_INPUT);
  EXPECT_EQ(kinds[1]["SP"], ZEMA_KIND_NONE);
  EXPECT_EQ(kinds[1]["OUT"], ZEMA_KIND_NONE);
  EXPECT_EQ(kinds[1]["Extra"], ZEMA_KIND_NONE);
}

TEST_F(FBLibTest, CataloguesThatGiveNothing) {
  // No catalogue at all: kinds stay 0 and Load still succeeds.
  auto none = LoadKinds({{1, {1, 1}}});
  for (const auto& field : none[1]) EXPECT_EQ(field.second, ZEMA_KIND_NONE);

  Module("L/m.xml", ModuleFile({{"PV", "in"}}));
  for (const char* xml :
       {"", "<Other><Lib libid='1' libcfg='L'><FB moduleid='1' modulecfg='m.xml'/></Lib></Other>",
        "   <!-- nothing -->  "}) {
    CZEMATagAcs::Release();
    Catalogue(xml);
    auto kinds = LoadKinds({{1, {1, 1}}});
    EXPECT_EQ(kinds[1]["PV"], ZEMA_KIND_NONE) << "catalogue: " << xml;
  }
}

TEST_F(FBLibTest, CataloguesWrittenOnWindowsResolveSeparatorsAndCase) {
  Catalogue(
      "<FBLib><Lib libid='3' libcfg='Vendor\\Analog'>"
      "<FB moduleid='4' modulecfg='Blocks\\pid.XML'/></Lib></FBLib>");
  Module("vendor/ANALOG/blocks/PID.xml", ModuleFile({{"PV", "in"}, {"OUT", "out"}}));
  auto kinds = LoadKinds({{1, {3, 4}}});
  EXPECT_EQ(kinds[1]["PV"], ZEMA_KIND_INPUT);
  EXPECT_EQ(kinds[1]["OUT"], ZEMA_KIND_OUTPUT);
}

TEST_F(FBLibTest, AMalformedCatalogueStillGivesWhatTheParserRecognised) {
  // An "FB" start tag that never ends, a stray end tag, and a field element that never ends.
  Catalogue(
      "<FBLib><Lib libid='1' libcfg='L'><FB moduleid='1' modulecfg='m.xml'></Lib>"
      "</Stray><Lib libid='2' libcfg='L'><FB moduleid='2' modulecfg='n.xml'/></Lib></FBLib>");
  Module("L/m.xml", "<FB><module><fieldattr><field name='PV' attr='in'></fieldattr></module></FB>");
  Module("L/n.xml", ModuleFile({{"OUT", "out"}}));
  auto kinds = LoadKinds({{1, {1, 1}}, {2, {2, 2}}});
  EXPECT_EQ(kinds[1]["PV"], ZEMA_KIND_INPUT);
  EXPECT_EQ(kinds[2]["OUT"], ZEMA_KIND_OUTPUT);
}

// The reader keeps what it read for one load; a type gets what reading the files once per type
// would give, whatever the order in which types ask.
TEST_F(FBLibTest, OneReaderServesManyTypesWithTheSameResults) {
  Catalogue(
      "<FBLib><Lib libid='1' libcfg='L'><FB moduleid='1' modulecfg='a.xml'/>"
      "<FB moduleid='2' modulecfg='b.xml'/><FB moduleid='1' modulecfg='b.xml'/></Lib></FBLib>");
  Module("L/a.xml", ModuleFile({{"PV", "in"}, {"SP", "out"}}));
  Module("L/b.xml", ModuleFile({{"SP", "in"}}));
  CFBLibCatalogue shared(dir.File("nls"));
  for (int round = 0; round < 2; ++round) {
    CZEMATagTypeImpl one, two;
    for (auto* type : {&one, &two})
      for (const char* name : {"PV", "SP"}) type->AddField(name);
    one.SetTypeLibID(1);
    one.SetTypeModuleID(1);
    two.SetTypeLibID(1);
    two.SetTypeModuleID(2);
    ASSERT_TRUE(shared.LoadFBLibCatalogue(round == 0 ? two : one));
    ASSERT_TRUE(shared.LoadFBLibCatalogue(round == 0 ? one : two));
    EXPECT_EQ(one.FieldAt(0)->kind, ZEMA_KIND_INPUT);
    EXPECT_EQ(one.FieldAt(1)->kind, ZEMA_KIND_INPUT);
    EXPECT_EQ(two.FieldAt(0)->kind, ZEMA_KIND_NONE);
    EXPECT_EQ(two.FieldAt(1)->kind, ZEMA_KIND_INPUT);
  }
  CFBLibCatalogue missing(dir.File("no-such-folder"));
  CZEMATagTypeImpl type;
  EXPECT_FALSE(missing.LoadFBLibCatalogue(type));
}

// Reading ahead (on another thread, as Load does) reads every file the types will ask for, in
// the order they would ask, and once: the types then get their kinds without another file
// being opened, the same kinds as without reading ahead.
TEST_F(FBLibTest, ReadingAheadOnAnotherThreadOpensTheFilesOnceInTheOrderOfTheTypes) {
  Catalogue(
      "<FBLib><Lib libid='1' libcfg='L'><FB moduleid='1' modulecfg='a.xml'/>"
      "<FB moduleid='2' modulecfg='b.xml'/><FB moduleid='1' modulecfg='b.xml'/>"
      "<FB moduleid='3' modulecfg='c.xml'/></Lib></FBLib>");
  Module("L/a.xml", ModuleFile({{"PV", "in"}, {"SP", "out"}}));
  Module("L/b.xml", ModuleFile({{"SP", "in"}}));
  Module("L/c.xml", ModuleFile({{"PV", "out"}}));
  CFBLibCatalogue ahead(dir.File("nls"));
  platform::FaultTraceStart();
  std::thread reader([&ahead] { ahead.ReadAhead({{1, 2}, {1, 1}, {7, 7}}); });
  reader.join();
  const std::vector<std::string> opened = platform::FaultTraceStop();
  EXPECT_EQ(opened, std::vector<std::string>(3, "File.Open"))
      << "the library catalogue, b.xml for (1, 2), a.xml for (1, 1); not c.xml";

  CZEMATagTypeImpl one, two;
  for (auto* type : {&one, &two})
    for (const char* name : {"PV", "SP"}) type->AddField(name);
  one.SetTypeLibID(1);
  one.SetTypeModuleID(1);
  two.SetTypeLibID(1);
  two.SetTypeModuleID(2);
  platform::FaultInject("File.Open", E_FAIL, 0, -1);  // any file opened now would be missed
  EXPECT_TRUE(ahead.LoadFBLibCatalogue(two));
  EXPECT_TRUE(ahead.LoadFBLibCatalogue(one));
  EXPECT_EQ(platform::FaultFiredCount(), 0);
  platform::FaultClearAll();
  EXPECT_EQ(one.FieldAt(0)->kind, ZEMA_KIND_INPUT);
  EXPECT_EQ(one.FieldAt(1)->kind, ZEMA_KIND_INPUT);
  EXPECT_EQ(two.FieldAt(0)->kind, ZEMA_KIND_NONE);
  EXPECT_EQ(two.FieldAt(1)->kind, ZEMA_KIND_INPUT);
}

// A Load that fails after the types' fields were read leaves those types with their kinds, as
// it did when each type was given its kinds right after its fields; the catalogue's thread is
// done by the time the failure reaches the caller.
TEST_F(FBLibTest, ALoadThatFailsAfterTheFieldsKeepsTheKinds) {
  Catalogue(
      "<FBLib><Lib libid='10' libcfg='Control'>"
      "<FB moduleid='100' modulecfg='PID.xml'/></Lib></FBLib>");
  Module("Control/PID.xml", ModuleFile({{"PV", "in"}, {"OUT", "out"}}));
  TagDbBuilder db;
  db.Type(1, "Pid", 10, 100, kPidColumns)
      .Tag(1, "FIC-1", "", 1)
      .Tag(2, "FIC-2", "", 1)
      .Values("Pid", 1, {"1", "2", "3", "4", "5"})
      .Values("Pid", 2, {"1", "2", "3", "4", "5"})
      .Hmi(1, "PV", 1, 0, "m", 0)
      .Hmi(2, "PV", 1, 0, "m", 0);
  const std::string path = dir.File("tags.db");
  db.Write(path);
  // The last step of the walk is in HMIInfo, after the tags and their values were read.
  platform::FaultTraceStart();
  ASSERT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  const std::vector<std::string> trace = platform::FaultTraceStop();
  const auto moves = std::count(trace.begin(), trace.end(), "Recordset.MoveNext");
  CZEMATagAcs::Release();
  platform::FaultInject("Recordset.MoveNext", E_FAIL, static_cast<int>(moves - 1));
  EXPECT_THROW(CZEMATagAcs::Instance()->Load(path.c_str()), PlatformError);
  EXPECT_EQ(platform::FaultFiredCount(), 1);
  platform::FaultClearAll();
  CZEMATag* tag = nullptr;
  int count = 0;
  CZEMATagAcs::Instance()->GetTags(1, 1, &count, &tag);
  ASSERT_EQ(count, 1);
  TagFieldValue fields[8];
  for (auto& field : fields) VariantInit(&field.value);
  int got = 0;
  EXPECT_EQ(tag->GetFields(ZEMA_KIND_INPUT, 8, &got, fields), 1);
  ASSERT_EQ(got, 1);
  EXPECT_STREQ(fields[0].name, "PV");
  for (auto& field : fields) VariantClear(&field.value);
}

}  // namespace
