// CADORecordset field access: the conversions of each read on values that come out of real
// columns of every declared type, column descriptions, and the writes into a pending row.
#include <gtest/gtest.h>
#include <string.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "dbaccess/ADORecordset.h"
#include "platform/faults/faults.h"
#include "platform/win32/win32.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

namespace {

const char kProvider[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

// Sixteen two-byte characters: 32 bytes, of which 14 whole characters fit in 29.
std::string LongName() {
  std::string name;
  for (int i = 0; i < 16; ++i) name += "\xc3\x84";
  return name;
}

// Column positions of table V.
enum { kId, kL, kS, kB, kFlag, kF, kD, kC, kT, kN, kV, kM, kG, kX };

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.File("values.db");
    CreateDatabase(
        path,
        "CREATE TABLE V (Id INTEGER PRIMARY KEY, L LONG, S SHORT, B BYTE, Flag BIT, F SINGLE,"
        " D DOUBLE, C CURRENCY, T DATETIME, N DECIMAL(10,2), V VARCHAR(20), M LONGTEXT,"
        " G BIGINT, X);"
        "INSERT INTO V VALUES (1, 70000, -5, 200, 1, 0.10000000149011612, 0.1, 1234.5,"
        " '2015-03-04 08:30:00', -123.45, 'abc', 'long text \xc3\xa4', 5000000000, 'free');"
        "INSERT INTO V (Id) VALUES (2);"
        "INSERT INTO V (Id, L, Flag, D, T) VALUES (3, -1, 0, 12.0, '1899-12-29 06:00:00');"
        "CREATE TABLE W (Id INTEGER PRIMARY KEY AUTOINCREMENT, Name VARCHAR(20), Code VARCHAR(3),"
        " Small SHORT, Big LONG, Real DOUBLE, Any);"
        "CREATE TABLE Wide (\"" +
            LongName() + "\" LONG);");
    database.reset(new CADODataBase);
    database->SetConnectionMode(adModeWrite);
    ASSERT_TRUE(database->OpenConnection((kProvider + path).c_str(), "", ""));
    recordset.reset(new CADORecordset(database.get()));
  }
  void TearDown() override {
    platform::FaultClearAll();
    recordset.reset();
    database.reset();
  }

  // Opens table V on the row with the given Id.
  void OpenRow(int id) {
    ASSERT_TRUE(recordset->OpenRecordset(
        ("SELECT * FROM V WHERE Id = " + std::to_string(id)).c_str(), SourceQuery))
        << recordset->LastErrorText();
    ASSERT_FALSE(recordset->AtEndOfRecords());
  }

  std::string Text(const char* column, const char* dateFormat = "") {
    std::string text = "untouched";
    EXPECT_TRUE(recordset->ReadFieldText(column, text, dateFormat)) << column;
    return text;
  }
  double Double(const char* column) {
    double value = -99.0;
    EXPECT_TRUE(recordset->ReadFieldDouble(column, value)) << column;
    return value;
  }
  int Int(const char* column) {
    int value = -99;
    EXPECT_TRUE(recordset->ReadFieldInt(column, value)) << column;
    return value;
  }

  TempDir dir;
  std::string path;
  std::unique_ptr<CADODataBase> database;
  std::unique_ptr<CADORecordset> recordset;
};

TEST_F(FieldsTest, EachDeclaredTypeArrivesAsItsVariant) {
  OpenRow(1);
  const VARTYPE expected[] = {VT_I4, VT_I4,   VT_I2,      VT_UI1,  VT_BOOL, VT_R4, VT_R8,
                              VT_CY, VT_DATE, VT_DECIMAL, VT_BSTR, VT_BSTR, VT_I8, VT_BSTR};
  for (int column = kId; column <= kX; ++column) {
    VARIANT value;
    VariantInit(&value);
    ASSERT_TRUE(recordset->ReadFieldVariant(column, value)) << column;
    EXPECT_EQ(value.vt, expected[column]) << column;
    VariantClear(&value);
  }

  VARIANT value;
  VariantInit(&value);
  value.bstrVal = SysAllocString(u"replaced");  // the destination is cleared first
  value.vt = VT_BSTR;
  ASSERT_TRUE(recordset->ReadFieldVariant(kN, value));
  EXPECT_EQ(value.decVal.scale, 2);
  EXPECT_EQ(value.decVal.sign, DECIMAL_NEG);
  EXPECT_EQ(value.decVal.Lo64, 12345u);
  ASSERT_TRUE(recordset->ReadFieldVariant(kC, value));
  EXPECT_EQ(value.cyVal.int64, 12345000);
  ASSERT_TRUE(recordset->ReadFieldVariant(kG, value));
  EXPECT_EQ(value.llVal, 5000000000LL);
  ASSERT_TRUE(recordset->ReadFieldVariant(kM, value));
  EXPECT_EQ(std::u16string(value.bstrVal), u"long text \u00e4");
  VariantClear(&value);
}

TEST_F(FieldsTest, IntegerReadsFollowTheValueType) {
  OpenRow(1);
  LONG value = 0;
  EXPECT_TRUE(recordset->ReadFieldLong("L", value));
  EXPECT_EQ(value, 70000);
  EXPECT_TRUE(recordset->ReadFieldLong(kId, value));
  EXPECT_EQ(value, 1);
  EXPECT_TRUE(recordset->ReadFieldLong(kL, value));
  EXPECT_EQ(value, 70000);

  EXPECT_EQ(Int("L"), 4464);  // the low 16 bits of 70000
  EXPECT_EQ(Int("S"), -5);
  EXPECT_EQ(Int("B"), 200);
  EXPECT_EQ(Int("Flag"), -1);

  OpenRow(3);
  EXPECT_EQ(Int("L"), -1);
  EXPECT_EQ(Int("Flag"), 0);
}

TEST_F(FieldsTest, DoubleReadsConvertEveryNumericType) {
  OpenRow(1);
  EXPECT_EQ(Double("L"), 70000.0);
  EXPECT_EQ(Double("S"), -5.0);
  EXPECT_EQ(Double("B"), 200.0);
  EXPECT_EQ(Double("F"), static_cast<double>(0.1f));
  EXPECT_EQ(Double("D"), 0.1);
  EXPECT_EQ(Double("C"), 1234.5);
  EXPECT_DOUBLE_EQ(Double("N"), -123.45);
  EXPECT_NEAR(Double("T"), 42067.0 + 8.5 / 24.0, 1e-9);  // the day number
  OpenRow(3);
  EXPECT_NEAR(Double("T"), -1.25, 1e-9);
}

TEST_F(FieldsTest, TextReadsFormatEveryTypeThatHasAText) {
  OpenRow(1);
  EXPECT_EQ(Text("Id"), "1");
  EXPECT_EQ(Text("L"), "70000");
  EXPECT_EQ(Text("S"), "-5");
  EXPECT_EQ(Text("B"), "200");
  EXPECT_EQ(Text("Flag"), "T");
  EXPECT_EQ(Text("F"), "0.1000000015");            // a float shows 10 digits
  EXPECT_EQ(Text("D"), "0.10000000000000000555");  // a double 20
  EXPECT_EQ(Text("N"), "-123.45000000000000284");
  EXPECT_EQ(Text("V"), "abc");
  EXPECT_EQ(Text("M"), "long text \xc3\xa4");
  EXPECT_EQ(Text("X"), "free");
  EXPECT_EQ(Text("T"), "2015-03-04 08:30:00");
  EXPECT_EQ(Text("T", "%d.%m.%Y %H:%M"), "04.03.2015 08:30");
  EXPECT_EQ(Text("T", "%A %j"), "Wednesday 063");

  char currency[63];
  const std::string expected =
      GetCurrencyFormatA(LOCALE_USER_DEFAULT, 0, "1234.500000", nullptr, currency, 63) != 0
          ? currency
          : "1234.500000";
  EXPECT_EQ(Text("C"), expected);
  platform::FaultInject("GetCurrencyFormatA", E_FAIL);
  EXPECT_EQ(Text("C"), "1234.500000");

  OpenRow(3);
  EXPECT_EQ(Text("Flag"), "F");
  EXPECT_EQ(Text("D"), "12.");
  EXPECT_EQ(Text("T"), "1899-12-29 06:00:00");
}

TEST_F(FieldsTest, TypesWithoutATextLeaveTheTextAlone) {
  OpenRow(1);
  std::string text = "kept";
  EXPECT_FALSE(recordset->ReadFieldText("G", text));
  EXPECT_EQ(text, "kept");
  EXPECT_EQ(recordset->LastErrorText(), "");
  EXPECT_EQ(recordset->LastErrorCode(), S_OK);
}

TEST_F(FieldsTest, NullReadsAsZeroEmptyAndNull) {
  OpenRow(2);
  for (const char* column : {"L", "S", "B", "Flag", "F", "D", "C", "T", "N", "V", "M", "G", "X"}) {
    LONG number = 7;
    EXPECT_TRUE(recordset->ReadFieldLong(column, number));
    EXPECT_EQ(number, 0) << column;
    EXPECT_EQ(Int(column), 0) << column;
    EXPECT_EQ(Double(column), 0.0) << column;
    EXPECT_EQ(Text(column), "") << column;
  }
  VARIANT value;
  VariantInit(&value);
  ASSERT_TRUE(recordset->ReadFieldVariant(kV, value));
  EXPECT_EQ(value.vt, VT_NULL);
}

TEST_F(FieldsTest, FailedReadsAreRecordedAndLeaveTheOutArgument) {
  OpenRow(1);
  LONG number = 77;
  EXPECT_FALSE(recordset->ReadFieldLong("Nope", number));
  EXPECT_EQ(number, 77);
  EXPECT_EQ(recordset->LastErrorCode(), adErrItemNotFound);
  EXPECT_EQ(
      recordset->LastErrorText().rfind(
          "Query = SELECT * FROM V WHERE Id = 1\nCADORecordset Error\n\tCode = 800a0cc1\n", 0),
      0u)
      << recordset->LastErrorText();

  VARIANT value;
  VariantInit(&value);
  value.vt = VT_I4;
  value.lVal = 5;
  EXPECT_FALSE(recordset->ReadFieldVariant(99, value));
  EXPECT_EQ(value.vt, VT_I4);
  EXPECT_EQ(value.lVal, 5);

  std::string text = "kept";
  EXPECT_FALSE(recordset->ReadFieldText(nullptr, text));
  EXPECT_EQ(text, "kept");

  recordset->MoveToNextRecord();
  ASSERT_TRUE(recordset->AtEndOfRecords());
  EXPECT_FALSE(recordset->ReadFieldLong(kL, number));
  EXPECT_EQ(recordset->LastErrorCode(), adErrNoCurrentRecord);

  platform::FaultInject("VariantChangeType", DISP_E_OVERFLOW);
  OpenRow(1);
  double real = 3.0;
  EXPECT_FALSE(recordset->ReadFieldDouble("C", real));
  EXPECT_EQ(real, 3.0);
  EXPECT_EQ(recordset->LastErrorCode(), DISP_E_OVERFLOW);
  EXPECT_EQ(Double("C"), 1234.5);  // usable again
}

// A column is looked up once per open source; every read after that, by name or by position,
// still gives the current row of the source open now, and a closed one fails as it always has.
TEST_F(FieldsTest, ReadsFollowTheCurrentRowAndTheSourceOpenNow) {
  const char* query = "SELECT Id, V, L FROM V ORDER BY Id";
  ASSERT_TRUE(recordset->OpenRecordset(query, SourceQuery));
  LONG id = 0;
  VARIANT value;
  VariantInit(&value);
  for (LONG expected : {1, 2}) {
    EXPECT_TRUE(recordset->ReadFieldLong("Id", id));
    EXPECT_EQ(id, expected);
    EXPECT_EQ(Text("V"), expected == 1 ? "abc" : "");
    ASSERT_TRUE(recordset->ReadFieldVariant(2, value));
    EXPECT_EQ(value.vt, expected == 1 ? VT_I4 : VT_NULL);
    recordset->MoveToNextRecord();
  }

  // The same names at other positions, and fewer columns.
  ASSERT_TRUE(recordset->OpenRecordset("SELECT L AS Id, Id AS V FROM V WHERE Id = 3", SourceQuery));
  EXPECT_TRUE(recordset->ReadFieldLong("Id", id));
  EXPECT_EQ(id, -1);
  EXPECT_EQ(Text("V"), "3");
  ASSERT_TRUE(recordset->ReadFieldVariant(0, value));
  EXPECT_EQ(value.lVal, -1);
  EXPECT_FALSE(recordset->ReadFieldVariant(2, value));
  EXPECT_EQ(recordset->LastErrorCode(), adErrItemNotFound);

  // Closed by CloseRecordset, or with the connection: the report of a recordset that never read.
  CADORecordset fresh(database.get());
  ASSERT_TRUE(recordset->OpenRecordset(query, SourceQuery));
  ASSERT_TRUE(fresh.OpenRecordset(query, SourceQuery));
  EXPECT_TRUE(recordset->ReadFieldLong("Id", id));
  ASSERT_TRUE(recordset->ReadFieldVariant(1, value));
  recordset->CloseRecordset();
  fresh.CloseRecordset();
  id = 77;
  EXPECT_FALSE(recordset->ReadFieldLong("Id", id));
  EXPECT_FALSE(fresh.ReadFieldLong("Id", id));
  EXPECT_EQ(id, 77);
  EXPECT_EQ(recordset->LastErrorCode(), adErrObjectClosed);
  EXPECT_EQ(recordset->LastErrorText(), fresh.LastErrorText());

  ASSERT_TRUE(recordset->OpenRecordset(query, SourceQuery));
  ASSERT_TRUE(fresh.OpenRecordset(query, SourceQuery));
  EXPECT_TRUE(recordset->ReadFieldLong("Id", id));
  ASSERT_TRUE(recordset->ReadFieldVariant(1, value));
  database->CloseConnection();
  EXPECT_FALSE(recordset->ReadFieldLong("Id", id));
  EXPECT_FALSE(fresh.ReadFieldLong("Id", id));
  EXPECT_EQ(recordset->LastErrorCode(), adErrObjectClosed);
  EXPECT_EQ(recordset->LastErrorText(), fresh.LastErrorText());
  EXPECT_FALSE(recordset->ReadFieldVariant(1, value));
  EXPECT_FALSE(fresh.ReadFieldVariant(1, value));
  EXPECT_EQ(recordset->LastErrorText(), fresh.LastErrorText());
  VariantClear(&value);
}

// Whether two values read from columns are the same: type and payload.
bool SameValue(const VARIANT& a, const VARIANT& b) {
  if (a.vt != b.vt) return false;
  switch (a.vt) {
    case VT_NULL:
      return true;
    case VT_I2:
      return a.iVal == b.iVal;
    case VT_UI1:
      return a.bVal == b.bVal;
    case VT_BOOL:
      return a.boolVal == b.boolVal;
    case VT_R4:
      return a.fltVal == b.fltVal;
    case VT_BSTR:
      return std::u16string(a.bstrVal) == std::u16string(b.bstrVal);
    case VT_DECIMAL:
      return memcmp(&a.decVal, &b.decVal, sizeof a.decVal) == 0;
    default:  // the 32- and 64-bit integers, reals, currency and dates
      return a.vt == VT_I4 ? a.lVal == b.lVal : a.llVal == b.llVal;
  }
}

// A row read in one call gives what reading its columns one by one gives; a value that cannot be
// read ends the call there with the same report, and a closed source fails as it always has.
TEST_F(FieldsTest, RowReadsGiveTheValuesAndFailuresOfSingleReads) {
  OpenRow(1);
  const int count = kX + 1;
  std::vector<VARIANT> row(count), single(count);
  ASSERT_EQ(recordset->ReadFieldVariants(kId, count, row.data()), count);
  for (int column = kId; column <= kX; ++column) {
    VariantInit(&single[column]);
    ASSERT_TRUE(recordset->ReadFieldVariant(column, single[column])) << column;
    EXPECT_TRUE(SameValue(row[column], single[column])) << column;
  }
  for (VARIANT& value : row) VariantClear(&value);

  // The third value fails: two are read, the third stays empty, the rest are not touched.
  LONG number = 0;
  EXPECT_FALSE(recordset->ReadFieldLong("Nope", number));
  const std::string notFound = recordset->LastErrorText();
  for (VARIANT& value : row) {
    VariantInit(&value);
    value.vt = VT_ERROR;
  }
  row[0].vt = row[1].vt = row[2].vt = VT_EMPTY;
  platform::FaultInject("Field.Value.get", E_OUTOFMEMORY, 2);
  EXPECT_EQ(recordset->ReadFieldVariants(kL, 5, row.data()), 2);
  EXPECT_EQ(recordset->LastErrorCode(), E_OUTOFMEMORY);
  EXPECT_NE(recordset->LastErrorText(), notFound);
  EXPECT_EQ(row[0].lVal, 70000);
  EXPECT_EQ(row[1].iVal, -5);
  EXPECT_EQ(row[2].vt, VT_EMPTY);
  EXPECT_EQ(row[3].vt, VT_ERROR);
  EXPECT_EQ(recordset->ReadFieldVariants(kB, 3, row.data() + 2), 3);  // usable again
  EXPECT_EQ(row[2].bVal, 200);
  EXPECT_EQ(row[4].fltVal, 0.10000000149011612f);

  // Columns outside the row, and a source closed underneath.
  VARIANT spare;
  VariantInit(&spare);
  EXPECT_EQ(recordset->ReadFieldVariants(kX, 2, row.data()), 0);
  EXPECT_EQ(recordset->LastErrorCode(), E_INVALIDARG);
  CADORecordset fresh(database.get());
  ASSERT_TRUE(fresh.OpenRecordset("SELECT * FROM V WHERE Id = 1", SourceQuery));
  database->CloseConnection();
  EXPECT_EQ(recordset->ReadFieldVariants(kId, 1, &spare), 0);
  EXPECT_EQ(recordset->LastErrorCode(), adErrObjectClosed);
  EXPECT_FALSE(fresh.ReadFieldVariant(kId, spare));
  EXPECT_EQ(recordset->LastErrorText(), fresh.LastErrorText());
  EXPECT_EQ(spare.vt, VT_EMPTY);
  for (VARIANT& value : single) VariantClear(&value);
}

// Each pending row gets the values written into it, column by column, and nothing of the row
// before it.
TEST_F(FieldsTest, WritesGoToTheRowPendingNow) {
  ASSERT_TRUE(recordset->OpenRecordset("W", SourceTable));
  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_TRUE(recordset->WriteFieldText("Name", "one"));
  EXPECT_TRUE(recordset->WriteFieldLong("Big", 1));
  ASSERT_TRUE(recordset->SaveRecord());
  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_TRUE(recordset->WriteFieldText("Name", "two"));
  ASSERT_TRUE(recordset->SaveRecord());
  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_TRUE(recordset->WriteFieldLong("Big", 3));
  recordset->CancelRecordChanges();
  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_TRUE(recordset->WriteFieldDouble("Real", 4.5));
  ASSERT_TRUE(recordset->SaveRecord());
  EXPECT_EQ(QueryValue(path,
                       "SELECT group_concat(quote(Name) || '/' || quote(Big) || '/' ||"
                       " quote(Real), ' ') FROM W"),
            "'one'/1/NULL 'two'/NULL/NULL NULL/NULL/4.5");
}

TEST_F(FieldsTest, FieldInfoDescribesTheColumn) {
  OpenRow(1);
  FieldInfo info;
  memset(&info, 0x5A, sizeof info);
  ASSERT_TRUE(recordset->ReadFieldInfo(kV, info));
  EXPECT_STREQ(info.name, "V");
  EXPECT_EQ(info.name[29], '\0');
  EXPECT_EQ(info.type, adVarWChar);
  EXPECT_EQ(info.definedSize, 20);
  EXPECT_GT(info.actualSize, 0);

  recordset->MoveToNextRecord();
  ASSERT_TRUE(recordset->AtEndOfRecords());
  ASSERT_TRUE(recordset->ReadFieldInfo(kD, info));
  EXPECT_STREQ(info.name, "D");
  EXPECT_EQ(info.type, adDouble);
  EXPECT_EQ(info.actualSize, 0);  // no current row

  try {
    recordset->ReadFieldInfo(99, info);
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), adErrItemNotFound);
  }
  EXPECT_EQ(recordset->LastErrorText(), "");  // unguarded: nothing recorded
}

TEST_F(FieldsTest, LongColumnNamesAreCutAtACharacterBoundary) {
  const std::string longName = LongName();
  ASSERT_TRUE(recordset->OpenRecordset("Wide", SourceTable));
  FieldInfo info;
  ASSERT_TRUE(recordset->ReadFieldInfo(0, info));
  EXPECT_EQ(std::string(info.name), longName.substr(0, 28));
  EXPECT_EQ(info.name[28], '\0');
  EXPECT_EQ(info.name[29], '\0');
}

TEST_F(FieldsTest, WritesFillThePendingRowWithTheirVariants) {
  ASSERT_TRUE(recordset->OpenRecordset("W", SourceTable));
  ASSERT_TRUE(recordset->BeginNewRecord());
  VARIANT any;
  VariantInit(&any);
  any.bstrVal = SysAllocString(u"free text");
  any.vt = VT_BSTR;
  EXPECT_TRUE(recordset->WriteFieldText("Name", ""));
  EXPECT_TRUE(recordset->WriteFieldText("Code", "x"));
  EXPECT_TRUE(recordset->WriteFieldShort("Small", 70000));
  EXPECT_TRUE(recordset->WriteFieldLong("Big", -70000));
  EXPECT_TRUE(recordset->WriteFieldDouble("Real", 2.5));
  EXPECT_TRUE(recordset->WriteFieldVariant("Any", any));
  EXPECT_EQ(any.vt, VT_BSTR);  // the caller's value is untouched
  ASSERT_TRUE(recordset->SaveRecord()) << recordset->LastErrorText();
  VariantClear(&any);

  EXPECT_EQ(QueryValue(path, "SELECT typeof(Name) FROM W"), "null");
  EXPECT_EQ(QueryValue(path, "SELECT Code FROM W"), "x");
  EXPECT_EQ(QueryValue(path, "SELECT Small FROM W"), "4464");
  EXPECT_EQ(QueryValue(path, "SELECT Big FROM W"), "-70000");
  EXPECT_EQ(QueryValue(path, "SELECT Real FROM W"), "2.5");
  EXPECT_EQ(QueryValue(path, "SELECT Any FROM W"), "free text");

  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_TRUE(recordset->WriteFieldShort("Small", 98304));  // 0x18000
  ASSERT_TRUE(recordset->SaveRecord());
  EXPECT_EQ(QueryValue(path, "SELECT Small FROM W WHERE Id = 2"), "-32768");
}

TEST_F(FieldsTest, WritesOutsideAPendingRowDoNothing) {
  ASSERT_TRUE(recordset->OpenRecordset("W", SourceTable));
  VARIANT any;
  VariantInit(&any);
  platform::FaultTraceStart();
  EXPECT_FALSE(recordset->WriteFieldText("Name", "x"));
  EXPECT_FALSE(recordset->WriteFieldShort("Small", 1));
  EXPECT_FALSE(recordset->WriteFieldLong("Big", 1));
  EXPECT_FALSE(recordset->WriteFieldDouble("Real", 1.0));
  EXPECT_FALSE(recordset->WriteFieldVariant("Any", any));
  EXPECT_TRUE(platform::FaultTraceStop().empty());  // no platform call at all

  ASSERT_TRUE(recordset->BeginNewRecord());
  ASSERT_TRUE(recordset->WriteFieldText("Name", "y"));
  ASSERT_TRUE(recordset->SaveRecord());
  EXPECT_FALSE(recordset->WriteFieldText("Name", "z"));  // after SaveRecord
  EXPECT_EQ(recordset->LastErrorText(), "");
  EXPECT_EQ(QueryValue(path, "SELECT COUNT(*) FROM W"), "1");
}

TEST_F(FieldsTest, RefusedWritesAreRecordedAndTheRowStaysPending) {
  ASSERT_TRUE(recordset->OpenRecordset("W", SourceTable));
  ASSERT_TRUE(recordset->BeginNewRecord());
  EXPECT_FALSE(recordset->WriteFieldText("Code", "too long"));
  EXPECT_LT(recordset->LastErrorCode(), 0);
  EXPECT_TRUE(recordset->NewRecordPending());
  EXPECT_FALSE(recordset->WriteFieldLong("Nope", 1));
  EXPECT_EQ(recordset->LastErrorCode(), adErrItemNotFound);
  VARIANT invalid;
  VariantInit(&invalid);
  invalid.vt = 0x7FFF;
  EXPECT_FALSE(recordset->WriteFieldVariant("Any", invalid));
  EXPECT_EQ(recordset->LastErrorCode(), DISP_E_BADVARTYPE);
  EXPECT_TRUE(recordset->NewRecordPending());

  EXPECT_TRUE(recordset->WriteFieldText("Code", "abc"));
  EXPECT_TRUE(recordset->SaveRecord());
  EXPECT_EQ(QueryValue(path, "SELECT Code FROM W"), "abc");
}

}  // namespace

// Text that comes as the stored bytes (ASCII, NULL) reads exactly as text converted from its
// BSTR does: it ends at a zero character, a numeric-looking text of a MEMO column loses its
// guard, text stored in a number column stays text, and non-ASCII text is converted to the
// process code page.
TEST_F(FieldsTest, TextReadsGiveTheConvertedTextWhetherOrNotItComesAsBytes) {
  CreateDatabase(path,
                 "CREATE TABLE Y (Id INTEGER PRIMARY KEY, V VARCHAR(20), M MEMO, L LONG);"
                 "INSERT INTO Y VALUES (1, 'ab' || char(0) || 'cd', '00123' || char(0), 'x7');"
                 "INSERT INTO Y VALUES (2, 'caf' || char(233), NULL, 42);");
  ASSERT_TRUE(recordset->OpenRecordset("SELECT * FROM Y ORDER BY Id", SourceQuery));
  EXPECT_EQ(Text("V"), "ab");
  EXPECT_EQ(Text("M"), "00123");
  EXPECT_EQ(Text("L"), "x7");
  recordset->MoveToNextRecord();
  EXPECT_EQ(Text("V"), "caf\xc3\xa9");
  EXPECT_EQ(Text("M"), "");
  EXPECT_EQ(Text("L"), "42");
  platform::FaultSet("ProcessCodePage", "1252");
  EXPECT_EQ(Text("V"), "caf\xe9");
  platform::FaultSet("ProcessCodePage",
                     "932");  // Shift-JIS: ASCII text goes through the conversion too
  EXPECT_EQ(Text("L"), "42");
  platform::FaultSet("ProcessCodePage", "65001");
}

// A real in a CURRENCY column reads as the currency of its shortest decimal form when that has
// at most four decimals, and as the real otherwise.
TEST_F(FieldsTest, RealsInACurrencyColumnReadAsTheirShortestDecimalForm) {
  std::vector<double> reals = {0.0,
                               -0.0,
                               1234.5,
                               0.1,
                               0.0001,
                               -0.0001,
                               0.00005,
                               0.30000000000000004,
                               399999999999.9999,
                               400000000000.0001,
                               922337203685477.0,
                               1e-300,
                               12345678.1234,
                               -98765.4321};
  uint64_t state = 12345;
  for (int i = 0; i < 3000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const int64_t units =
        static_cast<int64_t>((state >> 8) % 1800000000000000ULL) - 900000000000000LL;
    const int scale = static_cast<int>(state % 7);
    double real = static_cast<double>(units) / std::pow(10.0, scale);
    if (i % 3 == 1) real = std::nextafter(real, 1e300);
    reals.push_back(real);
  }
  std::string sql = "BEGIN; CREATE TABLE Z (Id INTEGER PRIMARY KEY, C CURRENCY);";
  char literal[64];
  for (size_t i = 0; i < reals.size(); ++i) {
    snprintf(literal, sizeof literal, "%.17g", reals[i]);
    sql += "INSERT INTO Z VALUES (" + std::to_string(i) + ", " + literal + ");";
  }
  CreateDatabase(path, sql + "COMMIT;");
  ASSERT_TRUE(recordset->OpenRecordset("SELECT C FROM Z ORDER BY Id", SourceQuery));
  for (const double real : reals) {
    ASSERT_FALSE(recordset->AtEndOfRecords());
    VARIANT value;
    VariantInit(&value);
    ASSERT_TRUE(recordset->ReadFieldVariant(0, value));
    // The shortest decimal form that reads as the real, in fixed notation; it gives a
    // currency when it has four decimals at most and lies in the currency's range.
    char shortest[400];
    *std::to_chars(shortest, shortest + sizeof shortest - 1, real, std::chars_format::fixed).ptr =
        '\0';
    std::string whole(shortest), decimals;
    if (whole.find('.') != std::string::npos) {
      decimals = whole.substr(whole.find('.') + 1);
      whole.erase(whole.find('.'));
    }
    if (decimals.size() <= 4 && std::fabs(real) < 922337203685477.5) {
      ASSERT_EQ(value.vt, VT_CY) << shortest;
      EXPECT_EQ(value.cyVal.int64,
                std::stoll(whole + decimals + std::string(4 - decimals.size(), '0')))
          << shortest;
    } else {
      ASSERT_EQ(value.vt, VT_R8) << shortest;
      EXPECT_EQ(value.dblVal, real) << shortest;
    }
    recordset->MoveToNextRecord();
  }
}
