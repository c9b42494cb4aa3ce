// The Jet engine of the data-access objects, on real Jet 3, Jet 4 and ACE files written by the
// desktop database program (tests/data/jet): every value reads back through a Recordset as an
// independent reader found it (NAME.json beside each file), the file opens read-only and is never
// written, and files it cannot read fully are refused with a reason.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "dbaccess/ADODataBase.h"
#include "platform/ado/ado.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/ado/value_codec.h"
#include "platform/faults/faults.h"
#include "platform/oleaut/dates.h"
#include "platform/oleaut/decimal.h"
#include "support/AdoTestObjects.h"
#include "support/TagDbBuilder.h"
#include "support/TempDir.h"

using namespace adotest;
using nlohmann::json;
namespace jet = platform::ado::jet;

namespace {

const std::string kDataDir = ZEMA_TEST_DATA_DIR "/jet/";
const char* const kFiles[] = {"testV1997.mdb",          "testV2000.mdb",
                              "testV2007.accdb",        "oldDatesV2007.accdb",
                              "delColTestV2000.mdb",    "overflowTestV2003.mdb",
                              "fixedTextTestV2003.mdb", "fixedNumericTestV2003.mdb",
                              "numericV2003.mdb"};

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// A CY as exact decimal text with its four decimals ("3.5000").
std::string CyText(CY value) {
  const bool negative = value.int64 < 0;
  const uint64_t magnitude =
      negative ? uint64_t(0) - static_cast<uint64_t>(value.int64) : uint64_t(value.int64);
  char fraction[8];
  snprintf(fraction, sizeof fraction, "%04llu", static_cast<unsigned long long>(magnitude % 10000));
  return (negative ? "-" : "") + std::to_string(magnitude / 10000) + "." + fraction;
}

// A DECIMAL as exact decimal text with exactly its scale's decimals.
std::string DecimalText(const DECIMAL& value) {
  platform::uint128 magnitude = platform::DecimalMagnitude(value);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
    magnitude /= 10;
  } while (magnitude != 0);
  while (digits.size() <= value.scale) digits.insert(digits.begin(), '0');
  if (value.scale > 0) digits.insert(digits.end() - value.scale, '.');
  return (value.sign == DECIMAL_NEG ? "-" : "") + digits;
}

std::string Hex(const SAFEARRAY* array) {
  std::string hex;
  const unsigned char* bytes = static_cast<const unsigned char*>(array->pvData);
  for (ULONG k = 0; k < array->rgsabound[0].cElements; ++k) {
    char two[3];
    snprintf(two, sizeof two, "%02x", bytes[k]);
    hex += two;
  }
  return hex;
}

// Why a delivered value differs from the expected one of a column of that type; "" when equal.
std::string Compare(const VARIANT& actual, const json& expected, const std::string& type) {
  if (expected.is_null())
    return actual.vt == VT_NULL ? "" : "expected NULL, got vt " + std::to_string(actual.vt);
  if (type == "boolean") {
    if (actual.vt != VT_BOOL) return "expected VT_BOOL";
    return (actual.boolVal != VARIANT_FALSE) == expected.get<bool>() ? "" : "wrong truth";
  }
  if (type == "currency") {
    if (actual.vt != VT_CY) return "expected VT_CY";
    const std::string text = CyText(actual.cyVal);
    return text == expected.get<std::string>() ? "" : "got " + text;
  }
  if (type == "numeric") {
    if (actual.vt != VT_DECIMAL) return "expected VT_DECIMAL";
    const std::string text = DecimalText(actual.decVal);
    return text == expected.get<std::string>() ? "" : "got " + text;
  }
  if (type == "datetime") {
    if (actual.vt != VT_DATE) return "expected VT_DATE";
    // The OLE DATE, to the millisecond that the stored form keeps, and the same instant as text.
    const double oleDate = expected["oleDate"].get<double>();
    if (std::fabs(actual.date - oleDate) > 0.5 / 86400000.0)
      return "got DATE " + std::to_string(actual.date);
    std::string iso = expected["date"].get<std::string>();  // "YYYY-MM-DDTHH:MM:SS.fffZ"
    iso = iso.substr(0, 10) + " " + iso.substr(11, 8) +
          (iso.substr(20, 3) == "000" ? "" : "." + iso.substr(20, 3));
    const std::string text = platform::DateToText(actual.date);
    return text == iso ? "" : "got " + text;
  }
  if (type == "text" || type == "memo" || type == "repid") {
    if (actual.vt != VT_BSTR) return "expected VT_BSTR";
    const std::u16string want = platform::ado::Utf8ToUtf16(expected.get<std::string>());
    const std::u16string got(actual.bstrVal, SysStringLen(actual.bstrVal));
    return got == want ? "" : "got '" + Narrow(actual.bstrVal) + "'";
  }
  if (type == "binary" || type == "ole") {
    if (actual.vt != (VT_ARRAY | VT_UI1)) return "expected a byte array";
    const std::string hex = Hex(actual.parray);
    return hex == expected["hex"].get<std::string>() ? "" : "got " + hex;
  }
  const struct {
    const char* type;
    VARTYPE vt;
  } kNumbers[] = {{"byte", VT_UI1}, {"integer", VT_I2}, {"long", VT_I4},
                  {"float", VT_R4}, {"double", VT_R8},  {"bigint", VT_I8}};
  for (const auto& number : kNumbers) {
    if (type != number.type) continue;
    if (actual.vt != number.vt) return "expected vt " + std::to_string(number.vt);
    VARIANT asDouble;
    VariantInit(&asDouble);
    if (VariantChangeType(&asDouble, &actual, 0, VT_R8) != S_OK) return "no number";
    return asDouble.dblVal == expected.get<double>() ? ""
                                                     : "got " + std::to_string(asDouble.dblVal);
  }
  return "no comparison for type " + type;
}

// The ADO type a Jet column type is delivered as.
DataTypeEnum AdoType(const std::string& type) {
  if (type == "text") return adVarWChar;
  if (type == "memo") return adLongVarWChar;
  if (type == "byte") return adUnsignedTinyInt;
  if (type == "integer") return adSmallInt;
  if (type == "long") return adInteger;
  if (type == "double") return adDouble;
  if (type == "datetime") return adDate;
  if (type == "currency") return adCurrency;
  if (type == "boolean") return adBoolean;
  if (type == "numeric") return adNumeric;
  return adVariant;  // a GUID: by its stored text
}

class AdoJetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    setenv("HVK_NLS_DIR", dir.File("nls").c_str(), 1);  // no function block catalogue
  }
  void TearDown() override {
    platform::FaultSet("Jet.SqliteFile", "");
    CoUninitialize();
  }

  TempDir dir;
};

// Every table, column and row of `expected` (a NAME.json) read through a mode-1 connection to
// path: the Jet file itself, or what `zematag convert` made of it (`converted`).
void ExpectValuesOf(const std::string& path, const json& expected, bool jet3, bool converted) {
  HRESULT hr;
  Ref<ADOConnection> connection = Connect(ConnectionString(path), adModeRead, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;

  // The user tables and nothing else.
  Ref<ADORecordset> tables = OpenSource(
      connection.get(), u"SELECT count(*) AS n FROM sqlite_master WHERE type = 'table'", 0, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  VARIANT count = ValueOf(tables.get(), u"n");
  EXPECT_EQ(count.lVal, static_cast<LONG>(expected["tables"].size()));

  size_t values = 0;
  for (const auto& [name, table] : expected["tables"].items()) {
    SCOPED_TRACE(name);
    Ref<ADORecordset> recordset =
        OpenSource(connection.get(), std::u16string(name.begin(), name.end()), adCmdTable, &hr);
    ASSERT_EQ(hr, S_OK) << TakeError().description;
    Ref<ADOFields> fields;
    ASSERT_EQ(recordset->get_Fields(fields.Out()), S_OK);
    LONG fieldCount = 0;
    fields->get_Count(&fieldCount);
    const json& columns = table["columns"];
    ASSERT_EQ(fieldCount, static_cast<LONG>(columns.size()));
    for (LONG k = 0; k < fieldCount; ++k) {
      Ref<ADOField> field;
      ASSERT_EQ(fields->get_Item(I4(k), field.Out()), S_OK);
      BSTR fieldName = nullptr;
      field->get_Name(&fieldName);
      EXPECT_EQ(Narrow(fieldName), columns[k]["name"].get<std::string>());
      SysFreeString(fieldName);
      DataTypeEnum type;
      field->get_Type(&type);
      const std::string jetType = columns[k]["type"];
      EXPECT_EQ(type, converted && jetType == "repid" ? adVarWChar : AdoType(jetType))
          << columns[k]["name"];
      if (jetType == "text") {
        LONG size = 0;
        field->get_DefinedSize(&size);
        EXPECT_EQ(size, columns[k]["size"].get<LONG>() / (jet3 ? 1 : 2));
      }
    }
    size_t row = 0;
    for (; !AtEof(recordset.get()); ++row) {
      ASSERT_LT(row, table["rows"].size()) << "more rows than expected";
      for (size_t k = 0; k < columns.size(); ++k) {
        const std::string column = columns[k]["name"];
        VARIANT value = ValueOf(recordset.get(), std::u16string(column.begin(), column.end()));
        EXPECT_EQ(Compare(value, table["rows"][row][k], columns[k]["type"]), "")
            << "row " << row << " column " << column;
        VariantClear(&value);
        ++values;
      }
      ASSERT_EQ(recordset->MoveNext(), S_OK);
    }
    EXPECT_EQ(row, table["rows"].size());
  }
  EXPECT_GT(values, 0u);
}

TEST_F(AdoJetTest, EveryValueOfEveryFileReadsBackAsTheIndependentReaderFoundIt) {
  for (const char* file : kFiles) {
    SCOPED_TRACE(file);
    const std::string path = kDataDir + file;
    ExpectValuesOf(path, json::parse(ReadBytes(path + ".json")),
                   std::string(file) == "testV1997.mdb", false);
  }
}

// `zematag convert` on every file: the new SQLite file reads back the same values.
TEST_F(AdoJetTest, ConvertedFilesHoldEveryValueExactly) {
  const char* binaryDir = getenv("ZEMA_TEST_BINARY_DIR");
  const std::string tool =
      std::string(binaryDir != nullptr ? binaryDir : ".") + "/tools/zematag/zematag";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "no zematag at " << tool;
  for (const char* file : kFiles) {
    SCOPED_TRACE(file);
    const std::string path = kDataDir + file;
    const std::string target = dir.File(std::string(file) + ".db");
    const std::string command =
        "'" + tool + "' convert --quiet '" + path + "' '" + target + "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    ExpectValuesOf(target, json::parse(ReadBytes(path + ".json")),
                   std::string(file) == "testV1997.mdb", true);
    // Text is declared with a type whose affinity keeps it text.
    EXPECT_EQ(QueryText(target,
                        "SELECT count(*) FROM sqlite_master WHERE sql LIKE '%MEMO%' "
                        "OR sql LIKE '%TEXT(%'"),
              "0");
  }
}

TEST_F(AdoJetTest, JetFilesOpenReadOnlyAndAreNeverWritten) {
  const std::string path = dir.File("test.mdb");
  const std::string original = ReadBytes(kDataDir + "testV2000.mdb");
  std::ofstream(path, std::ios::binary) << original;
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);

  // Mode 2 fails at Open and says how to convert the file.
  HRESULT hr;
  Ref<ADOConnection> writer = Connect(ConnectionString(path), adModeReadWrite, &hr);
  EXPECT_EQ(hr, E_FAIL);
  ErrorText error = TakeError();
  EXPECT_NE(error.description.find("read-only"), std::string::npos) << error.description;
  EXPECT_NE(error.description.find("zematag convert"), std::string::npos) << error.description;
  LONG state = -1;
  writer->get_State(&state);
  EXPECT_EQ(state, adStateClosed);

  // The writer refuses it the same way.
  bool threw = false;
  try {
    CZEMAConfigAcs* config = CZEMAConfigAcs::Open(path.c_str());
    config->Close();
  } catch (int code) {
    threw = code == 0;
  }
  EXPECT_TRUE(threw);
  // The access layer's report of that Open carries the reason.
  {
    CADODataBase database;
    database.SetConnectionMode(adModeWrite);
    EXPECT_FALSE(database.OpenConnection(ConnectionString(path).c_str(), "", ""));
    EXPECT_NE(database.LastErrorDescription().find("zematag convert"), std::string::npos)
        << database.LastErrorDescription();
  }

  // A read-only connection refuses every change; the in-memory copy is what would change.
  Ref<ADOConnection> reader = Connect(ConnectionString(path), adModeRead, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  VARIANT affected;
  VariantInit(&affected);
  Ref<ADORecordset> result;
  EXPECT_NE(reader->Execute(Bstr(std::string("DELETE FROM Table1")).get(), &affected,
                            adExecuteNoRecords, result.Out()),
            S_OK);
  TakeError();
  Ref<ADORecordset> table = OpenSource(reader.get(), u"Table1", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(table->AddNew(Missing(), Missing()), S_OK);
  EXPECT_EQ(PutValue(table.get(), u"A", I4(1)), S_OK);
  EXPECT_NE(table->Update(Missing(), Missing()), S_OK);
  TakeError();
  table.Reset();
  reader.Reset();

  // Loading it (it holds no tag tables) fails without touching it either.
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 0);
  CZEMATagAcs::Release();

  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  EXPECT_EQ(ReadBytes(path), original);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// What each kind of bad file is refused with, through the reader and through Open and Load.
TEST_F(AdoJetTest, BadFilesAreRefusedWithTheReason) {
  const std::string good = ReadBytes(kDataDir + "testV2000.mdb");
  const std::string jet3 = ReadBytes(kDataDir + "testV1997.mdb");
  auto withBytes = [](std::string bytes, size_t at, const std::string& patch) {
    bytes.replace(at, patch.size(), patch);
    return bytes;
  };
  std::string garbage = good.substr(0, 4096);  // the header page, then garbage
  for (size_t k = garbage.size(); k < 64 * 4096; ++k)
    garbage.push_back(static_cast<char>((k * 2654435761u) >> 13));
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  } cases[] = {
      {"truncated", good.substr(0, good.size() / 2 + 100), "truncated"},
      {"cut to two pages", good.substr(0, 2 * 4096), "truncated"},
      {"header and garbage", garbage, "damaged"},
      {"encrypted", withBytes(good, 0x3e, "\x01\x02\x03\x04"), "encrypted"},
      {"password", withBytes(good, 0x42, "\x11"), "password"},
      {"Jet 3 password", withBytes(jet3, 0x42, "\x11"), "password"},
      {"unknown version", withBytes(good, 0x14, "\x09"), "version"},
      {"catalogue page overwritten", withBytes(good, 2 * 4096, std::string(4096, '\xA5')),
       "damaged"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.Write(std::string(c.name) + ".mdb", c.bytes);
    EXPECT_TRUE(jet::IsJetFile(path));
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    std::string error;
    EXPECT_FALSE(jet::ReadJetFile(path, db, &error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    sqlite3_stmt* tables = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &tables, nullptr);
    ASSERT_EQ(sqlite3_step(tables), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(tables, 0), 0) << "nothing of a refused file stays";
    sqlite3_finalize(tables);
    sqlite3_close(db);

    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(path), adModeRead, &hr);
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_NE(TakeError().description.find(c.reason), std::string::npos);
    EXPECT_EQ(CZEMATagAcs::Instance()->Load(path.c_str()), 0);
    CZEMATagAcs::Release();
    EXPECT_EQ(ReadBytes(path), c.bytes);
  }
  // Not a Jet file at all: the SQLite engine's own refusal.
  const std::string text = dir.Write("notes.mdb", "Standard Jet DB, said nobody");
  EXPECT_FALSE(jet::IsJetFile(text));
  HRESULT hr;
  Connect(ConnectionString(text), adModeRead, &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(TakeError().source, "SQLite");
}

// A memo value kept on another page, in one row or in a chain of rows: the real files keep all
// theirs inline, so one of them is rewritten to point to a page added at its end.
TEST_F(AdoJetTest, MemoValuesOnOtherPagesReadWhole) {
  const std::string original = ReadBytes(kDataDir + "fixedNumericTestV2003.mdb");
  const std::string compressed = "\xFF\xFEsome data";  // "some data", compressed
  const size_t data = original.find(compressed);
  ASSERT_NE(data, std::string::npos);
  const size_t header = data - 12;  // length and flags, then the page and row of the value
  const uint32_t newPage = static_cast<uint32_t>(original.size() / 4096);
  auto put32 = [](std::string* bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k) (*bytes)[at + k] = static_cast<char>(value >> (8 * k));
  };
  // A data page holding the given rows, row 0 at the page's end.
  auto dataPage = [](const std::vector<std::string>& rows) {
    std::string page(4096, '\0');
    page[0] = 0x01;
    page[1] = 0x01;
    page[0x0C] = static_cast<char>(rows.size());
    size_t end = 4096;
    for (size_t k = 0; k < rows.size(); ++k) {
      const size_t start = end - rows[k].size();
      page.replace(start, rows[k].size(), rows[k]);
      page[0x0E + 2 * k] = static_cast<char>(start & 0xFF);
      page[0x0F + 2 * k] = static_cast<char>(start >> 8);
      end = start;
    }
    return page;
  };
  std::string onePage = original + dataPage({compressed});
  put32(&onePage, header, 0x40000000u | static_cast<uint32_t>(compressed.size()));
  put32(&onePage, header + 4, newPage << 8);
  // Two rows: each begins with the pointer to the next (0 ends the chain).
  std::string second(4, '\0');
  second += compressed.substr(6);
  std::string first(4, '\0');
  first += compressed.substr(0, 6);
  std::string chained = original;
  chained += dataPage({first, second});
  chained[original.size() + 4096 - first.size()] = 0x01;  // row 1 of the new page
  put32(&chained, original.size() + 4096 - first.size(), newPage << 8 | 1);
  put32(&chained, header, static_cast<uint32_t>(compressed.size()));
  put32(&chained, header + 4, newPage << 8);
  // A chain that comes back to a row it passed is damaged.
  std::string looping = chained;
  put32(&looping, original.size() + 4096 - first.size() - second.size(), newPage << 8);
  put32(&looping, header, 4096);

  for (const auto& [name, bytes] :
       {std::pair<std::string, std::string>{"one page", onePage}, {"chained", chained}}) {
    SCOPED_TRACE(name);
    const std::string path = dir.Write(name + ".mdb", bytes);
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(path), adModeRead, &hr);
    ASSERT_EQ(hr, S_OK) << TakeError().description;
    Ref<ADORecordset> recordset = OpenSource(connection.get(), u"test", adCmdTable, &hr);
    ASSERT_EQ(hr, S_OK);
    VARIANT value = ValueOf(recordset.get(), u"col1");
    EXPECT_EQ(Compare(value, "some data", "memo"), "");
    VariantClear(&value);
    value = ValueOf(recordset.get(), u"col5");
    EXPECT_EQ(Compare(value, "4", "numeric"), "");
  }
  const std::string path = dir.Write("looping.mdb", looping);
  HRESULT hr;
  Connect(ConnectionString(path), adModeRead, &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_NE(TakeError().description.find("damaged (a memo or OLE value)"), std::string::npos);
}

// Load end to end through the in-memory path, fed from an SQLite tag database.
TEST_F(AdoJetTest, LoadWorksThroughTheInMemoryPath) {
  const std::string path = dir.File("plant.mdb");
  TagDbBuilder()
      .Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Unit", "MEMO"}, {"Cost", "CURRENCY"}})
      .Tag(1, "TIC-101", "Reactor temperature", 1)
      .Tag(2, "TIC-102", "Jacket temperature", 1)
      .Values("Analog", 1, {"21.5", "'00123'", "'922337203685477.5807'"})
      .Values("Analog", 2, {"NULL", "NULL", "NULL"})
      .Hmi(1, "PV", 150, 0, "degC", 1)
      .Write(path);
  const std::string before = ReadBytes(path);
  platform::FaultSet("Jet.SqliteFile", path);

  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  ASSERT_EQ(catalogue->Load(path.c_str()), 1);
  EXPECT_EQ(catalogue->GetTagCount(), 2);
  CZEMATag* tags[4];
  int count = 0;
  catalogue->GetTags(1, 4, &count, tags);
  ASSERT_EQ(count, 2);
  EXPECT_STREQ(tags[0]->GetName(), "TIC-101");
  TagHMIInfo info;
  EXPECT_EQ(tags[0]->GetHMIInfo("PV", &info), 1);
  EXPECT_STREQ(info.EU, "degC");
  CZEMATagAcs::Release();

  // The writer treats it as the Jet file it stands for.
  EXPECT_THROW(CZEMAConfigAcs::Open(path.c_str()), int);
  TakeError();
  EXPECT_EQ(ReadBytes(path), before);
}

}  // namespace
