// Every platform call on the roads of Load, SaveTags and DeleteTags made to fail in turn: the
// caller gets the result or the PlatformError the contract names for that call, COM is left
// uninitialised, the file stays sound, tags the operation did not concern stay untouched, and
// the same operation succeeds once the fault is cleared. The calls are not listed by hand: each
// road is traced on a small real database, and every distinct call fails at its first, second,
// middle and last occurrence.
#include <gtest/gtest.h>
#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"
#include "support/WriterRecords.h"

namespace {

// What an operation gave its caller.
enum Outcome : unsigned {
  kReturnedZero = 1,
  kReturnedOne = 2,
  kPlatformError = 4,
  kThrewZero = 8,  // Open threw the integer 0: the file did not open
};

// The occurrence of a call that a run makes fail.
struct Occurrence {
  std::string name;
  int index;
};

// For each distinct call of a trace: its first, second, middle and last occurrence.
std::vector<Occurrence> OccurrencesOf(const std::vector<std::string>& trace) {
  std::map<std::string, int> counts;
  for (const std::string& name : trace) ++counts[name];
  std::vector<Occurrence> result;
  for (const auto& [name, count] : counts) {
    std::set<int> picked = {0, std::min(1, count - 1), count / 2, count - 1};
    for (int index : picked) result.push_back(Occurrence{name, index});
  }
  return result;
}

std::string Describe(const Occurrence& occurrence) {
  return occurrence.name + " #" + std::to_string(occurrence.index + 1);
}

// Runs an operation of the library and classifies what reached the caller.
Outcome Classify(const std::function<int()>& operation) {
  try {
    return operation() == 0 ? kReturnedZero : kReturnedOne;
  } catch (const PlatformError&) {
    return kPlatformError;
  } catch (int) {
    return kThrewZero;
  }
}

// Types 1 and 2 with value tables and a function block library naming the kinds of type 1;
// tags 1..3 with values and display rows.
const char kFBLib[] =
    "<FBLib><Lib libid=\"10\" libcfg=\"lib\"><FB moduleid=\"100\" modulecfg=\"analog.xml\"/>"
    "</Lib></FBLib>";
const char kAnalogModule[] =
    "<FB><module><fieldattr><field name=\"PV\" attr=\"in\"/><field name=\"Mode\" attr=\"out\"/>"
    "</fieldattr></module></FB>";

TagDbBuilder PlantDb() {
  TagDbBuilder db;
  db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}, {"Unit", "VARCHAR(8)"}})
      .Type(2, "Digital", 10, 101, {{"State", "BIT"}})
      .TypeRow(3, "Orphan", 10, 102)
      .Tag(1, "TIC-101", "first", 1, 1, 2, 3)
      .Tag(2, "TIC-102", "second", 1)
      .Tag(3, "XS-1", "", 2)
      .Values("Analog", 1, {"1.5", "2", "'m'"})
      .Values("Analog", 2, {"2.5", "3", "NULL"})
      .Values("Digital", 3, {"1"})
      .Hmi(1, "PV", 100, 0, "degC", 1)
      .Hmi(2, "PV", 50, -5, "bar", 2)
      .Hmi(3, "State", 1, 0, "", 0);
  return db;
}

class FaultRoadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::FaultClearAll();
    CZEMATagAcs::Release();
    setenv("HVK_NLS_DIR", dir.File("nls").c_str(), 1);
    dir.Write("nls/FBLib/FBLib.xml", kFBLib);
    dir.Write("nls/FBLib/lib/analog.xml", kAnalogModule);
  }
  void TearDown() override {
    platform::FaultClearAll();
    CZEMATagAcs::Release();
    EXPECT_EQ(CoInitializeCount(), 0);
  }

  std::vector<std::string> Trace(const std::function<void()>& road) {
    platform::FaultTraceStart();
    road();
    return platform::FaultTraceStop();
  }

  // Fails one occurrence of a call during operation; checks that exactly that fault fired and
  // that COM is left uninitialised.
  Outcome RunFailing(const Occurrence& occurrence, const std::function<int()>& operation) {
    platform::FaultInject(occurrence.name, E_FAIL, occurrence.index, 1);
#ifdef __SANITIZE_ADDRESS__
    // A VariantClear that fails keeps its payload, as the real one does for a VARIANT it cannot
    // clear; whatever it held (a text, a reference to a connection) stays allocated by design.
    // The leak checker ignores what such a run allocates; every other failure is checked.
    const bool keepsPayload = occurrence.name == "VariantClear";
    if (keepsPayload) __lsan_disable();
    const Outcome outcome = Classify(operation);
    if (keepsPayload) __lsan_enable();
#else
    const Outcome outcome = Classify(operation);
#endif
    EXPECT_EQ(platform::FaultFiredCount(), 1) << "the road no longer passes this call";
    platform::FaultClearAll();
    EXPECT_EQ(CoInitializeCount(), 0);
    return outcome;
  }

  // Fails every picked occurrence of the traced road's calls in turn (more than `fewest` of
  // them): prepare() sets the file up, the operation runs with that one call failing and must
  // give an outcome the contract allows for the call, then check() looks at what is left. By the
  // end every call of the contract has been failed.
  void FailEachCallOfTheRoad(const std::vector<std::string>& trace, size_t fewest,
                             const std::map<std::string, unsigned>& contract,
                             const std::function<int()>& operation,
                             const std::function<void()>& prepare,
                             const std::function<void(Outcome)>& check) {
    const std::vector<Occurrence> occurrences = OccurrencesOf(trace);
    ASSERT_GT(occurrences.size(), fewest);
    std::set<std::string> seen;
    for (const Occurrence& occurrence : occurrences) {
      SCOPED_TRACE(Describe(occurrence));
      seen.insert(occurrence.name);
      prepare();
      const Outcome outcome = RunFailing(occurrence, operation);
      auto allowed = contract.find(occurrence.name);
      if (allowed == contract.end()) {
        ADD_FAILURE() << "a call the contract table does not cover; outcome " << outcome;
      } else {
        EXPECT_NE(allowed->second & outcome, 0u) << "outcome " << outcome;
      }
      check(outcome);
    }
    EXPECT_EQ(seen.size(), contract.size()) << "every call the contract covers was failed";
  }

  std::string Query(const std::string& sql) const { return QueryText(path, sql); }
  std::string Integrity() const { return Query("PRAGMA integrity_check"); }
  // Every row of a tag, by id: its Tags row, value rows and display rows.
  std::string RowsOf(int tagId) const {
    const std::string id = std::to_string(tagId);
    auto rows = [&id](const std::string& columns, const std::string& table) {
      return "ifnull((SELECT group_concat(" + columns + ", ';') FROM " + table +
             " WHERE TagID=" + id + "), '')";
    };
    return Query(
        "SELECT " +
        rows("quote(TagName)||','||quote(TagDesc)||','||TagType||','||TagGroup||','||"
             "TagLevel||','||AlmLevel",
             "Tags") +
        "||'|'||" + rows("quote(PV)||','||quote(Mode)||','||quote(Unit)", "Analog") + "||'|'||" +
        rows("quote(State)", "Digital") + "||'|'||" +
        rows("quote(FieldName)||','||SCH||','||SCL||','||quote(EU)||','||Decimal", "HMIInfo"));
  }

  // Everything the catalogue holds, as text.
  static std::string Catalogue() {
    CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
    std::string text = std::to_string(catalogue->GetTagCount()) + " tags";
    CZEMATag* tags[8];
    int count = 0;
    catalogue->GetTags(0, 8, &count, tags);
    for (int i = 0; i < count; ++i) {
      CZEMATag* tag = tags[i];
      text += std::string("; ") + tag->GetName() + "," + tag->GetDesc() + "," +
              std::to_string(tag->GetGroup()) + std::to_string(tag->GetLevel()) +
              std::to_string(tag->GetAlmLevel()) + ",lib " +
              std::to_string(tag->GetType()->GetLibID()) + "/" +
              std::to_string(tag->GetType()->GetModuleID());
      TagFieldValue fields[8];
      for (auto& field : fields) VariantInit(&field.value);
      int filled = 0;
      tag->GetFields(ZEMA_KIND_ALL, 8, &filled, fields);
      for (int f = 0; f < filled; ++f) {
        VARIANT text16;
        VariantInit(&text16);
        std::string value = "?";
        if (fields[f].value.vt == VT_EMPTY || fields[f].value.vt == VT_NULL)
          value = "null";
        else if (VariantChangeType(&text16, &fields[f].value, 0, VT_BSTR) == S_OK)
          value = std::string(text16.bstrVal, text16.bstrVal + SysStringLen(text16.bstrVal));
        VariantClear(&text16);
        TagHMIInfo info{};
        const bool hmi = tag->GetHMIInfo(fields[f].name, &info) == 1;
        text += std::string(" ") + fields[f].name + "=" + value + "/" +
                std::to_string(fields[f].kind) +
                (hmi ? "[" + std::to_string(info.SCH) + "," + std::to_string(info.SCL) + "," +
                           info.EU + "," + std::to_string(info.Decimal) + "]"
                     : "");
      }
      for (auto& field : fields) VariantClear(&field.value);
    }
    return text;
  }

  TempDir dir;
  std::string path = dir.File("plant.db");
};

// What the contract promises a caller of Load when a call of its road fails:
// - the file does not open (Connection.Open, or the conversion of its name), or table TagTypes
//   does not (the first Recordset.Open): 0, catalogue unchanged;
// - the connection cannot be set up (Connection.Mode.put), or the engine fails while walking
//   rows or reading their shape (EOF, MoveNext, the column listing, closing a table): a
//   PlatformError, what was added before stays;
// - a guarded read fails (a value, a table that does not open, a file of the function block
//   library, a text conversion): 1, with that part skipped;
// - closing the connection fails: 1; the connection is gone and what was read is whole.
const std::map<std::string, unsigned> kLoadOutcomes = {
    {"Connection.Open", kReturnedZero},
    {"Connection.Mode.put", kPlatformError},
    {"Connection.State.get", kReturnedOne | kPlatformError},
    {"Connection.Close", kReturnedOne},
    {"Recordset.Open", kReturnedZero | kReturnedOne},
    {"Recordset.CursorType.put", kReturnedZero | kReturnedOne},
    {"Recordset.CursorLocation.put", kReturnedZero | kReturnedOne},
    {"Recordset.State.get", kReturnedZero | kReturnedOne | kPlatformError},
    {"Recordset.EOF.get", kPlatformError},
    {"Recordset.MoveNext", kPlatformError},
    {"Recordset.Sort.put", kPlatformError},
    {"Recordset.Close", kPlatformError},
    {"Recordset.Fields.get", kReturnedOne},
    {"Fields.Count.get", kPlatformError},
    {"Fields.Item.get", kReturnedOne},
    {"Field.Name.get", kPlatformError},
    {"Field.Type.get", kPlatformError},
    {"Field.DefinedSize.get", kPlatformError},
    {"Field.Attributes.get", kPlatformError},
    {"Field.ActualSize.get", kPlatformError},
    {"Field.Value.get", kReturnedOne},
    {"File.Open", kReturnedOne},
    {"FormatMessageA", kReturnedOne},
    {"SysAllocString", kReturnedZero | kReturnedOne | kPlatformError},
    {"MultiByteToWideChar", kReturnedZero | kReturnedOne},
    // A text value in ASCII is read without a conversion; the conversions left on the road are
    // those of other text values (a guarded read: 1) and of the column names of the listing
    // (a PlatformError).
    {"WideCharToMultiByte", kReturnedOne | kPlatformError},
    {"VariantClear", kReturnedOne},
};

TEST_F(FaultRoadsTest, LoadFailsCleanlyAtEveryPlatformCallOfItsRoad) {
  PlantDb().Write(path);
  auto load = [this] { return CZEMATagAcs::Instance()->Load(path.c_str()); };
  const std::vector<std::string> trace = Trace([&] { ASSERT_EQ(load(), 1); });
  const std::string whole = Catalogue();
  ASSERT_NE(whole.find("PV=1.5/2[100.000000,0.000000,degC,1]"), std::string::npos) << whole;
  CZEMATagAcs::Release();

  FailEachCallOfTheRoad(
      trace, 60, kLoadOutcomes, load, [] {},
      [&](Outcome outcome) {
        if (outcome == kReturnedZero) {
          EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 0);
        }
        EXPECT_LE(CZEMATagAcs::Instance()->GetTagCount(), 3);
        Catalogue();  // whatever was added is readable
        CZEMATagAcs::Release();
        EXPECT_EQ(CoInitializeCount(), 0);

        EXPECT_EQ(load(), 1) << "the same load after the fault";
        EXPECT_EQ(Catalogue(), whole);
        CZEMATagAcs::Release();
      });
  EXPECT_EQ(Integrity(), "ok");
}

TEST_F(FaultRoadsTest, ALoadWhoseConnectionFailsToCloseKeepsItsTagsInsteadOfEndingTheProcess) {
  PlantDb().Write(path);
  platform::FaultInject("Connection.Close", E_FAIL);
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 1);
  EXPECT_EQ(platform::FaultFiredCount(), 1);
  EXPECT_EQ(CZEMATagAcs::Instance()->GetTagCount(), 3);
  CZEMATagAcs::Release();
  EXPECT_EQ(CoInitializeCount(), 0);

  // The close also fails while a PlatformError is already on its way to the caller.
  platform::FaultClearAll();
  platform::FaultInject("Recordset.MoveNext", E_FAIL);
  platform::FaultInject("Connection.Close", E_FAIL);
  EXPECT_THROW(CZEMATagAcs::Instance()->Load(path.c_str()), PlatformError);
  EXPECT_EQ(platform::FaultFiredCount(), 2);
  EXPECT_EQ(CoInitializeCount(), 0);
}

// A save road: open a writer, save three tags (the third of a type without value table, so
// taken back), close. The contract for the caller:
// - the file does not open (Connection.Open): Open throws 0; setting the mode fails: Open throws
//   a PlatformError;
// - the record array is refused (AfxIsValidAddress): 0, nothing written;
// - a refused row, a value that does not convert, a table that does not open: 1 with that row or
//   value missing;
// - the engine failing outside a row (walking a lookup, closing a table, copying a value):
//   a PlatformError, rows stored before stay.
const std::map<std::string, unsigned> kSaveOutcomes = {
    {"Connection.Open", kThrewZero},
    {"Connection.Mode.put", kPlatformError},
    {"Connection.State.get", kReturnedOne | kPlatformError},
    {"Connection.Close", kReturnedOne},
    {"Connection.CursorLocation.put", kReturnedOne},
    {"Connection.Execute", kReturnedOne},
    {"AfxIsValidAddress", kReturnedZero},
    {"Recordset.Open", kReturnedOne},
    {"Recordset.CursorType.put", kReturnedOne},
    {"Recordset.CursorLocation.put", kReturnedOne},
    {"Recordset.State.get", kReturnedOne | kPlatformError},
    {"Recordset.AddNew", kPlatformError},
    {"Recordset.Update", kReturnedOne},
    {"Recordset.EOF.get", kPlatformError},
    {"Recordset.MoveNext", kPlatformError},
    {"Recordset.Sort.put", kPlatformError},
    {"Recordset.Close", kPlatformError},
    {"Recordset.Fields.get", kReturnedOne},
    {"Fields.Item.get", kReturnedOne},
    {"Field.Value.get", kReturnedOne},
    {"Field.Value.put", kReturnedOne},
    {"VariantCopy", kReturnedOne | kPlatformError},
    {"VariantChangeType", kReturnedOne},
    {"VariantClear", kReturnedOne},
    {"FormatMessageA", kReturnedOne},
    {"SysAllocString", kThrewZero | kReturnedOne},
    {"MultiByteToWideChar", kThrewZero | kReturnedOne},
    {"WideCharToMultiByte", kReturnedOne},
};

TEST_F(FaultRoadsTest, SaveTagsFailsCleanlyAtEveryPlatformCallOfItsRoadAndLosesNothing) {
  PlantDb().Write(path);
  const std::vector<std::string> before = {RowsOf(1), RowsOf(2), RowsOf(3)};
  TestTag analog("NEW-1", 1, "saved");
  analog.Levels(4, 5, 6)
      .Field("PV", DoubleValue(7.25))
      .Field("Mode", LongValue(9))
      .Field("Unit", TextValue(u"K"))
      .Hmi("PV", 10.0f, 1.0f, "K", 3)
      .Hmi("Mode", 2.0f, 0.0f, "", 0);
  TestTag digital("NEW-2", 2);
  digital.Field("State", BoolValue(true)).Hmi("State", 1.0f, 0.0f, "on", 0);
  TestTag orphan("NEW-3", 3);  // no value table: taken back
  orphan.Hmi("X", 1.0f, 0.0f, "", 0);
  const std::vector<TagRecord> records = Records({&analog, &digital, &orphan});
  auto save = [this, &records] {
    Writer writer = OpenWriter(path);
    return writer->SaveTags(records.data(), static_cast<int>(records.size()));
  };
  // The rows of the last saved NEW-1 and NEW-2, and whether NEW-3 came back after its last save.
  auto lastSaved = [this] {
    const std::string newest = Query("SELECT max(TagID) FROM Tags WHERE TagName='NEW-2'");
    const std::string analogId = Query("SELECT max(TagID) FROM Tags WHERE TagName='NEW-1'");
    return RowsOf(std::stoi(analogId)) + " " + RowsOf(std::stoi(newest)) + " " +
           Query("SELECT count(*) FROM Tags WHERE TagName='NEW-3' AND TagID > " + newest) +
           Query("SELECT count(*) FROM HMIInfo WHERE FieldName='X' AND TagID > " + newest);
  };
  const std::vector<std::string> trace = Trace([&] { ASSERT_EQ(save(), 1); });
  const std::string saved = lastSaved();
  ASSERT_EQ(saved,
            "'NEW-1','saved',1,4,5,6|7.25,9,'K'||'PV',10.0,1.0,'K',3;'Mode',2.0,0.0,NULL,0 "
            "'NEW-2',NULL,2,0,0,0||1|'State',1.0,0.0,'on',0 00");

  FailEachCallOfTheRoad(
      trace, 60, kSaveOutcomes, save, [] {},
      [&](Outcome) {
        EXPECT_EQ(Integrity(), "ok");
        EXPECT_EQ((std::vector<std::string>{RowsOf(1), RowsOf(2), RowsOf(3)}), before)
            << "a failed save touched tags it did not concern";

        EXPECT_EQ(save(), 1) << "the same save after the fault";
        EXPECT_EQ(lastSaved(), saved);
      });
}

// A delete road: open a writer, delete two tags and a name that is no tag's, close. The
// contract: 0 for a refused name array; a PlatformError when walking the type list fails; 1 or
// 0 (the last deletion from HMIInfo) otherwise. A tag not named is never touched, and the same
// deletion afterwards removes every row of the named tags.
const std::map<std::string, unsigned> kDeleteOutcomes = {
    {"Connection.Open", kThrewZero},
    {"Connection.Mode.put", kPlatformError},
    {"Connection.State.get", kReturnedOne | kPlatformError},
    {"Connection.Close", kReturnedOne},
    {"Connection.CursorLocation.put", kReturnedZero | kReturnedOne},
    {"Connection.Execute", kReturnedZero | kReturnedOne},
    {"AfxIsValidAddress", kReturnedZero},
    {"Recordset.Open", kReturnedOne},
    {"Recordset.CursorType.put", kReturnedOne},
    {"Recordset.CursorLocation.put", kReturnedOne},
    {"Recordset.State.get", kReturnedOne | kPlatformError},
    {"Recordset.EOF.get", kPlatformError},
    {"Recordset.MoveNext", kPlatformError},
    {"Recordset.Sort.put", kPlatformError},
    {"Recordset.Close", kPlatformError},
    {"Recordset.Fields.get", kReturnedOne},
    {"Fields.Item.get", kReturnedOne},
    {"Field.Value.get", kReturnedOne},
    {"VariantClear", kReturnedOne},
    {"FormatMessageA", kReturnedOne},
    {"SysAllocString", kThrewZero | kReturnedZero | kReturnedOne},
    {"MultiByteToWideChar", kThrewZero | kReturnedZero | kReturnedOne},
    {"WideCharToMultiByte", kReturnedOne},
};

TEST_F(FaultRoadsTest, DeleteTagsFailsCleanlyAtEveryPlatformCallOfItsRoadAndSparesOtherTags) {
  const char* const names[] = {"TIC-101", "XS-1", "no such tag"};
  auto remove = [this, &names] {
    Writer writer = OpenWriter(path);
    return writer->DeleteTags(names, 3);
  };
  PlantDb().Write(path);
  const std::string spared = RowsOf(2);
  ASSERT_EQ(spared, "'TIC-102','second',1,0,0,0|2.5,3,NULL||'PV',50.0,-5.0,'bar',2");
  const std::vector<std::string> trace = Trace([&] { ASSERT_EQ(remove(), 1); });
  ASSERT_EQ(RowsOf(1) + RowsOf(3), "||||||");
  ASSERT_EQ(Query("SELECT count(*) FROM Tags"), "1");

  FailEachCallOfTheRoad(
      trace, 40, kDeleteOutcomes, remove, [this] { PlantDb().Write(path); },
      [&](Outcome) {
        EXPECT_EQ(Integrity(), "ok");
        EXPECT_EQ(RowsOf(2), spared) << "a failed deletion touched a tag it did not name";

        // No transaction: a tag whose Tags row went before the fault may keep its later rows,
        // as the retry no longer finds it by name. A tag that kept its Tags row loses every row.
        const bool tagRowKept[] = {RowsOf(1)[0] != '|', RowsOf(3)[0] != '|'};
        EXPECT_EQ(remove(), 1) << "the same deletion after the fault";
        EXPECT_EQ(Query("SELECT count(*) FROM Tags WHERE TagID IN (1, 3)"), "0");
        EXPECT_TRUE(!tagRowKept[0] || RowsOf(1) == "|||") << RowsOf(1);
        EXPECT_TRUE(!tagRowKept[1] || RowsOf(3) == "|||") << RowsOf(3);
        EXPECT_EQ(RowsOf(2), spared);
      });
}

}  // namespace
