// Column types of the data-access objects: every declared type written through
// AddNew/Field.Value/Update reads back as written, is stored the way the stock sqlite3 tool shows
// it, and values that do not fit are refused.
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/ado/column_type.h"
#include "platform/ado/value_codec.h"
#include "platform/oleaut/numbers.h"
#include "support/AdoTestObjects.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"
#include "support/TestEngine.h"

using namespace adotest;

namespace {

constexpr char kAllTypes[] =
    "CREATE TABLE T (ID INTEGER PRIMARY KEY AUTOINCREMENT, I INTEGER, L LONG, BI BIGINT,"
    " SI SMALLINT, BY BYTE, B BIT, SG SINGLE, D DOUBLE, R REAL, C CURRENCY, DT DATETIME,"
    " DC DECIMAL(28,4), BD DECIMAL(28,0), VC VARCHAR(10), TN TEXT(5), T TEXT, M MEMO,"
    " LT LONGTEXT, BL BLOB, U);";
// The same columns on a server, where every column has a type: REAL is the 8-byte DOUBLE there,
// sized TEXT a VARCHAR, BLOB LONGBINARY, and the untyped column long text.
constexpr char kAllTypesOnServer[] =
    "CREATE TABLE T (ID INTEGER PRIMARY KEY AUTOINCREMENT, I INTEGER, L LONG, BI BIGINT,"
    " SI SMALLINT, BY BYTE, B BIT, SG SINGLE, D DOUBLE, R DOUBLE, C CURRENCY, DT DATETIME,"
    " DC DECIMAL(28,4), BD DECIMAL(28,0), VC VARCHAR(10), TN VARCHAR(5), T TEXT, M MEMO,"
    " LT LONGTEXT, BL LONGBINARY, U LONGTEXT);";

// Runs on every engine (TestEngine.h).
class AdoTypesTest : public ::testing::TestWithParam<DbEngine> {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    path = database.Location();
    CreateDatabase(path, GetParam() == DbEngine::kSqlite ? kAllTypes : kAllTypesOnServer);
    HRESULT hr;
    connection = Connect(ConnectionString(path), adModeWrite, &hr);
    ASSERT_EQ(hr, S_OK);
  }
  void TearDown() override {
    connection.Reset();
    CoUninitialize();
  }

  // Opens T, writes the values into one new row and stores it; the stored row stays current.
  Ref<ADORecordset> Insert(std::initializer_list<std::pair<std::u16string, VARIANT>> values) {
    HRESULT hr;
    Ref<ADORecordset> recordset = OpenSource(connection.get(), u"T", adCmdTable, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
    for (const auto& [name, value] : values)
      EXPECT_EQ(PutValue(recordset.get(), name, value), S_OK) << Narrow(name.data(), name.size());
    EXPECT_EQ(recordset->Update(Missing(), Missing()), S_OK) << TakeError().description;
    return recordset;
  }

  // The row with the given ID, read through a fresh query recordset.
  Ref<ADORecordset> Row(LONG id) {
    HRESULT hr;
    Ref<ADORecordset> recordset =
        OpenSource(connection.get(), u"SELECT * FROM T WHERE ID = " + Wide(std::to_string(id)),
                   adCmdUnknown, &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_FALSE(AtEof(recordset.get()));
    return recordset;
  }

  static std::u16string Wide(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
  }

  std::string Stored(const std::string& expression, LONG id) {
    return QueryValue(path, "SELECT " + expression + " FROM T WHERE ID = " + std::to_string(id));
  }

  TempDir dir;
  TestDatabase database{GetParam()};
  std::string path;
  Ref<ADOConnection> connection;
};

// How SQLite stores what it is given, and columns without a type.
class AdoTypesSqliteTest : public AdoTypesTest {};

INSTANTIATE_TEST_SUITE_P(Engines, AdoTypesTest, ::testing::ValuesIn(AllEngines()), EngineName);
INSTANTIATE_TEST_SUITE_P(Engines, AdoTypesSqliteTest, ::testing::Values(DbEngine::kSqlite),
                         EngineName);

VARIANT Of(VARTYPE vt) {
  VARIANT v;
  memset(&v, 0, sizeof v);
  v.vt = vt;
  return v;
}

CY Currency(const char* text) {
  CY cy;
  cy.int64 = 0;
  EXPECT_EQ(platform::CyFromText(text, &cy), S_OK) << text;
  return cy;
}

DECIMAL Decimal(const char* text) {
  DECIMAL d;
  memset(&d, 0, sizeof d);
  EXPECT_EQ(platform::DecimalFromText(text, &d), S_OK) << text;
  return d;
}

TEST_P(AdoTypesTest, EveryColumnTypeReadsBackWhatWasWrittenAndIsStoredReadably) {
  VARIANT i = I4(-123456), l = I4(7), bi = Of(VT_I8), si = Of(VT_I2), by = Of(VT_UI1),
          b = Of(VT_BOOL), sg = Of(VT_R4), d = R8(0.1), r = R8(-2.5e-300), c = Of(VT_CY),
          dt = Of(VT_DATE), dc = Of(VT_DECIMAL), bd = Of(VT_DECIMAL);
  bi.llVal = INT64_C(-9000000000000000000);
  si.iVal = -32768;
  by.bVal = 255;
  b.boolVal = VARIANT_TRUE;
  sg.fltVal = 1.1f;
  c.cyVal = Currency("922337203685477.5807");
  dt.date = 42067 + 30600.0 / 86400;  // 2015-03-04 08:30:00
  dc.decVal = Decimal("123456789012345678901234.5678");
  dc.vt = VT_DECIMAL;
  bd.decVal = Decimal("1234567890123456789012345678");
  bd.vt = VT_DECIMAL;
  VARIANT vc = Text(u"ten chars!"), tn = Text(u"\u00e9t\u00e9"), t = Text(u"plain"),
          m = Text(u"00123"), lt = Text(u"\U0001F600 smile"), u = Text(u"0042");
  VARIANT bl = Of(VT_ARRAY | VT_UI1);
  bl.parray = SafeArrayCreateVector(VT_UI1, 0, 3);
  memcpy(bl.parray->pvData, "\x00\x01\xff", 3);

  Ref<ADORecordset> inserted = Insert(
      {{u"I", i},   {u"L", l}, {u"BI", bi}, {u"SI", si}, {u"BY", by}, {u"B", b},   {u"SG", sg},
       {u"D", d},   {u"R", r}, {u"C", c},   {u"DT", dt}, {u"DC", dc}, {u"BD", bd}, {u"VC", vc},
       {u"TN", tn}, {u"T", t}, {u"M", m},   {u"LT", lt}, {u"BL", bl}, {u"U", u}});

  Ref<ADORecordset> reread = Row(1);
  for (ADORecordset* recordset : {inserted.get(), reread.get()}) {
    VARIANT v = ValueOf(recordset, u"ID");
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 1);
    v = ValueOf(recordset, u"I");
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, -123456);
    v = ValueOf(recordset, u"BI");
    EXPECT_EQ(v.vt, VT_I8);
    EXPECT_EQ(v.llVal, INT64_C(-9000000000000000000));
    v = ValueOf(recordset, u"SI");
    EXPECT_EQ(v.vt, VT_I2);
    EXPECT_EQ(v.iVal, -32768);
    v = ValueOf(recordset, u"BY");
    EXPECT_EQ(v.vt, VT_UI1);
    EXPECT_EQ(v.bVal, 255);
    v = ValueOf(recordset, u"B");
    EXPECT_EQ(v.vt, VT_BOOL);
    EXPECT_EQ(v.boolVal, VARIANT_TRUE);
    v = ValueOf(recordset, u"SG");
    EXPECT_EQ(v.vt, VT_R4);
    EXPECT_EQ(v.fltVal, 1.1f);
    v = ValueOf(recordset, u"D");
    EXPECT_EQ(v.vt, VT_R8);
    EXPECT_EQ(v.dblVal, 0.1);
    v = ValueOf(recordset, u"R");
    EXPECT_EQ(v.vt, VT_R8);
    EXPECT_EQ(v.dblVal, -2.5e-300);
    v = ValueOf(recordset, u"C");
    EXPECT_EQ(v.vt, VT_CY);
    EXPECT_EQ(v.cyVal.int64, INT64_MAX);
    v = ValueOf(recordset, u"DT");
    EXPECT_EQ(v.vt, VT_DATE);
    EXPECT_EQ(v.date, 42067 + 30600.0 / 86400);
    v = ValueOf(recordset, u"DC");
    EXPECT_EQ(v.vt, VT_DECIMAL);
    EXPECT_EQ(platform::DecimalToText(v.decVal), "123456789012345678901234.5678");
    v = ValueOf(recordset, u"BD");
    EXPECT_EQ(v.vt, VT_DECIMAL);
    EXPECT_EQ(platform::DecimalToText(v.decVal), "1234567890123456789012345678");
    struct {
      const char16_t* column;
      std::u16string text;
    } texts[] = {{u"VC", u"ten chars!"}, {u"TN", u"\u00e9t\u00e9"},    {u"T", u"plain"},
                 {u"M", u"00123"},       {u"LT", u"\U0001F600 smile"}, {u"U", u"0042"}};
    for (const auto& expected : texts) {
      v = ValueOf(recordset, expected.column);
      ASSERT_EQ(v.vt, VT_BSTR) << Narrow(expected.column, 2);
      EXPECT_EQ(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)), expected.text);
      VariantClear(&v);
    }
    v = ValueOf(recordset, u"BL");
    ASSERT_EQ(v.vt, VT_ARRAY | VT_UI1);
    ASSERT_EQ(v.parray->rgsabound[0].cElements, 3u);
    EXPECT_EQ(memcmp(v.parray->pvData, "\x00\x01\xff", 3), 0);
    VariantClear(&v);
  }

  VariantClear(&vc), VariantClear(&tn), VariantClear(&t), VariantClear(&m), VariantClear(&lt);
  VariantClear(&u), VariantClear(&bl);
  if (GetParam() != DbEngine::kSqlite) return;
  // What the stock tool sees.
  EXPECT_EQ(Stored("typeof(I) || ' ' || I", 1), "integer -123456");
  EXPECT_EQ(Stored("typeof(B) || ' ' || B", 1), "integer 1");
  EXPECT_EQ(Stored("typeof(D) || ' ' || D", 1), "real 0.1");
  EXPECT_EQ(Stored("typeof(SG)", 1), "real");
  EXPECT_EQ(Stored("typeof(DT) || ' ' || DT", 1), "text 2015-03-04 08:30:00");
  EXPECT_EQ(Stored("typeof(C) || ' ' || C", 1), "text 922337203685477.5807");
  EXPECT_EQ(Stored("typeof(BD) || ' ' || BD", 1), "text 1234567890123456789012345678");
  EXPECT_EQ(Stored("typeof(M) || ' ' || length(M) || ' ' || M", 1), "text 5 00123");
  EXPECT_EQ(Stored("typeof(LT) || ' ' || hex(LT)", 1), "text F09F988020736D696C65");
  EXPECT_EQ(Stored("typeof(U) || ' ' || U", 1), "text 0042");
  EXPECT_EQ(Stored("typeof(BL) || ' ' || hex(BL)", 1), "blob 0001FF");
}

TEST_P(AdoTypesSqliteTest, CurrencyAndDecimalChooseTheSimplestLosslessForm) {
  const char* currencies[] = {"-922337203685477.5808", "0.0001", "12", "12.5", "-0.1"};
  const char* stored[] = {"text -922337203685477.5808", "real 0.0001", "integer 12", "real 12.5",
                          "real -0.1"};
  for (int k = 0; k < 5; ++k) {
    VARIANT c = Of(VT_CY);
    c.cyVal = Currency(currencies[k]);
    Insert({{u"C", c}});
    Ref<ADORecordset> row = Row(k + 1);
    VARIANT v = ValueOf(row.get(), u"C");
    EXPECT_EQ(v.vt, VT_CY);
    EXPECT_EQ(platform::CyToText(v.cyVal), platform::CyToText(c.cyVal)) << currencies[k];
    EXPECT_EQ(Stored("typeof(C) || ' ' || C", k + 1), stored[k]);
  }
  // A decimal keeps the column's scale; a value written with more decimals is rounded to it.
  VARIANT dc = Of(VT_DECIMAL);
  dc.decVal = Decimal("1.5");
  dc.vt = VT_DECIMAL;
  Insert({{u"DC", dc}});
  VARIANT v = ValueOf(Row(6).get(), u"DC");
  EXPECT_EQ(platform::DecimalToText(v.decVal), "1.5000");
  EXPECT_EQ(Stored("typeof(DC) || ' ' || DC", 6), "real 1.5");
  dc.decVal = Decimal("2.00005");
  dc.vt = VT_DECIMAL;
  Insert({{u"DC", dc}});
  v = ValueOf(Row(7).get(), u"DC");
  EXPECT_EQ(platform::DecimalToText(v.decVal), "2.0000");
}

TEST_P(AdoTypesSqliteTest, DatesKeepWholeSecondsExactlyAndMillisecondsWhenPresent) {
  VARIANT dt = Of(VT_DATE);
  dt.date = -1.25;  // 29 December 1899, 06:00
  Insert({{u"DT", dt}});
  dt.date = 42067.5 + 0.123 / 86400;  // 2015-03-04 12:00:00.123
  Insert({{u"DT", dt}});
  EXPECT_EQ(Stored("DT", 1), "1899-12-29 06:00:00");
  EXPECT_EQ(Stored("DT", 2), "2015-03-04 12:00:00.123");
  VARIANT v = ValueOf(Row(1).get(), u"DT");
  EXPECT_EQ(v.vt, VT_DATE);
  EXPECT_EQ(v.date, -1.25);
  v = ValueOf(Row(2).get(), u"DT");
  EXPECT_NEAR(v.date, dt.date, 0.0005 / 86400);
}

TEST_P(AdoTypesSqliteTest, NullsAreStoredAsNullAndUnassignedColumnsTakeTheirDefault) {
  CreateDatabase(path, "CREATE TABLE N (ID INTEGER PRIMARY KEY, A INTEGER, B TEXT DEFAULT 'x');");
  HRESULT hr;
  Ref<ADORecordset> recordset = OpenSource(connection.get(), u"N", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
  EXPECT_EQ(PutValue(recordset.get(), u"A", Of(VT_NULL)), S_OK);
  ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);
  EXPECT_EQ(ValueOf(recordset.get(), u"A").vt, VT_NULL);
  VARIANT b = ValueOf(recordset.get(), u"B");
  ASSERT_EQ(b.vt, VT_BSTR);
  EXPECT_EQ(Narrow(b.bstrVal), "x");
  VariantClear(&b);
  EXPECT_EQ(QueryValue(path, "SELECT typeof(A) FROM N"), "null");

  VARIANT key = Text(u"A");
  Ref<ADOField> field = FieldOf(recordset.get(), key, &hr);
  VariantClear(&key);
  LONG size = -1;
  EXPECT_EQ(field->get_ActualSize(&size), S_OK);
  EXPECT_EQ(size, 0);
}

TEST_P(AdoTypesSqliteTest, ValuesThatDoNotFitAreRefusedWithErrorInfoAndTheRowStaysPending) {
  HRESULT hr;
  Ref<ADORecordset> recordset = OpenSource(connection.get(), u"T", adCmdTable, &hr);
  ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);

  VARIANT tooLong = Text(u"eleven char");
  EXPECT_EQ(PutValue(recordset.get(), u"VC", tooLong), DB_E_DATAOVERFLOW);
  ErrorText error = TakeError();
  EXPECT_TRUE(error.present);
  EXPECT_NE(error.description.find("10"), std::string::npos) << error.description;
  VariantClear(&tooLong);

  VARIANT notNumber = Text(u"abc");
  EXPECT_EQ(PutValue(recordset.get(), u"I", notNumber), DISP_E_TYPEMISMATCH);
  EXPECT_TRUE(TakeError().present);
  VariantClear(&notNumber);

  EXPECT_EQ(PutValue(recordset.get(), u"SI", I4(70000)), DISP_E_OVERFLOW);
  EXPECT_TRUE(TakeError().present);
  VARIANT dispatch = Of(VT_DISPATCH);
  EXPECT_EQ(PutValue(recordset.get(), u"U", dispatch), DISP_E_TYPEMISMATCH);

  // The row is still pending: a good value is accepted and stored.
  EXPECT_EQ(PutValue(recordset.get(), u"I", I4(5)), S_OK);
  ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);
  EXPECT_EQ(QueryValue(path, "SELECT count(*) || ' ' || I || ' ' || typeof(VC) FROM T"),
            "1 5 null");
}

TEST_P(AdoTypesSqliteTest, ValuesOtherProgramsStoredAreDeliveredByTheirStorageClass) {
  CreateDatabase(path,
                 "INSERT INTO T (I, BI, B, SG, C, DT, VC, M) VALUES"
                 " ('abc', 2.5, 7, 0.1, 'lots', 42, x'00ff', 12);"
                 "INSERT INTO T (I, DT, M) VALUES (5000000000, '2020-02-29', 'x');");
  Ref<ADORecordset> row = Row(1);
  VARIANT v = ValueOf(row.get(), u"I");
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(Narrow(v.bstrVal), "abc");
  VariantClear(&v);
  v = ValueOf(row.get(), u"BI");
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 2.5);
  v = ValueOf(row.get(), u"B");
  EXPECT_EQ(v.vt, VT_I4);
  EXPECT_EQ(v.lVal, 7);
  v = ValueOf(row.get(), u"SG");  // 0.1 is not a float value
  EXPECT_EQ(v.vt, VT_R8);
  EXPECT_EQ(v.dblVal, 0.1);
  v = ValueOf(row.get(), u"C");
  EXPECT_EQ(v.vt, VT_BSTR);
  VariantClear(&v);
  v = ValueOf(row.get(), u"DT");
  EXPECT_EQ(v.vt, VT_I4);
  v = ValueOf(row.get(), u"VC");
  EXPECT_EQ(v.vt, VT_ARRAY | VT_UI1);
  VariantClear(&v);
  v = ValueOf(row.get(), u"M");  // a number in a text column reads as its text
  ASSERT_EQ(v.vt, VT_BSTR);
  EXPECT_EQ(Narrow(v.bstrVal), "12");
  VariantClear(&v);

  row = Row(2);
  v = ValueOf(row.get(), u"I");
  EXPECT_EQ(v.vt, VT_I8);
  EXPECT_EQ(v.llVal, INT64_C(5000000000));
  v = ValueOf(row.get(), u"DT");
  EXPECT_EQ(v.vt, VT_DATE);
  EXPECT_EQ(v.date, 43890.0);
}

TEST_P(AdoTypesSqliteTest, FieldsDescribeTypeSizeAndAttributes) {
  HRESULT hr;
  Ref<ADORecordset> recordset = OpenSource(connection.get(), u"T", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  struct {
    const char16_t* name;
    DataTypeEnum type;
    LONG size;
    LONG attributes;
  } expected[] = {
      {u"ID", adInteger, 4, adFldUpdatable | adFldFixed | adFldKeyColumn | adFldRowID},
      {u"I", adInteger, 4, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"L", adInteger, 4, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"BI", adBigInt, 8, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"SI", adSmallInt, 2, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"BY", adUnsignedTinyInt, 1, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"B", adBoolean, 2, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"SG", adSingle, 4, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"D", adDouble, 8, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"R", adDouble, 8, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"C", adCurrency, 8, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"DT", adDate, 8, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"DC", adNumeric, 19, adFldUpdatable | adFldFixed | adFldIsNullable | adFldMayBeNull},
      {u"VC", adVarWChar, 10, adFldUpdatable | adFldIsNullable | adFldMayBeNull},
      {u"TN", adVarWChar, 5, adFldUpdatable | adFldIsNullable | adFldMayBeNull},
      {u"T", adLongVarWChar, 536870910,
       adFldUpdatable | adFldLong | adFldIsNullable | adFldMayBeNull},
      {u"M", adLongVarWChar, 536870910,
       adFldUpdatable | adFldLong | adFldIsNullable | adFldMayBeNull},
      {u"BL", adLongVarBinary, 536870910,
       adFldUpdatable | adFldLong | adFldIsNullable | adFldMayBeNull},
  };
  for (const auto& column : expected) {
    VARIANT key = Text(column.name);
    Ref<ADOField> field = FieldOf(recordset.get(), key, &hr);
    VariantClear(&key);
    ASSERT_EQ(hr, S_OK);
    DataTypeEnum type = adEmpty;
    LONG size = 0, attributes = 0;
    EXPECT_EQ(field->get_Type(&type), S_OK);
    EXPECT_EQ(field->get_DefinedSize(&size), S_OK);
    EXPECT_EQ(field->get_Attributes(&attributes), S_OK);
    const std::string name = Narrow(column.name, std::char_traits<char16_t>::length(column.name));
    EXPECT_EQ(type, column.type) << name;
    EXPECT_EQ(size, column.size) << name;
    EXPECT_EQ(attributes, column.attributes) << name;
  }
}

TEST_P(AdoTypesSqliteTest, ActualSizeCountsTheBytesOfTheCurrentValue) {
  VARIANT t = Text(u"h\u00e9llo"), i = I4(1);
  Ref<ADORecordset> row = Insert({{u"T", t}, {u"I", i}});
  VariantClear(&t);
  HRESULT hr;
  for (auto [name, expected] : {std::pair<const char16_t*, LONG>{u"T", 10}, {u"I", 4}}) {
    VARIANT key = Text(name);
    Ref<ADOField> field = FieldOf(row.get(), key, &hr);
    VariantClear(&key);
    LONG size = -1;
    EXPECT_EQ(field->get_ActualSize(&size), S_OK);
    EXPECT_EQ(size, expected);
  }
}

}  // namespace

// Currency takes a short road to its stored form (an integer when whole, else the nearest double
// while the amount has at most 15 digits): every amount lands exactly where the exact decimal
// road, which a DECIMAL of the same value takes, puts it.
TEST(AdoStoredFormTest, CurrencyIsStoredAsTheSameAmountAsADecimalWouldBe) {
  const platform::ado::ColumnType type = platform::ado::ColumnTypeFromDeclared("CURRENCY");
  auto storedForm = [&type](const VARIANT& value) {
    platform::ado::StoredValue stored;
    std::string buffer;
    platform::ado::EncodeForStorage(type, value, &stored, &buffer);
    char text[64];
    switch (stored.storage) {
      case platform::ado::StoredValue::kInteger:
        snprintf(text, sizeof text, "integer %lld", static_cast<long long>(stored.integer));
        return std::string(text);
      case platform::ado::StoredValue::kReal:
        snprintf(text, sizeof text, "real %a", stored.real);
        return std::string(text);
      case platform::ado::StoredValue::kText:
        return "text " + std::string(stored.bytes, static_cast<size_t>(stored.size));
      default:
        return std::string("other");
    }
  };
  std::vector<int64_t> amounts = {0,
                                  1,
                                  -1,
                                  5000,
                                  10000,
                                  -10000,
                                  123456,
                                  INT64_C(999999999999999),
                                  INT64_C(-999999999999999),
                                  INT64_C(1000000000000000),
                                  INT64_C(1000000000000001),
                                  INT64_C(-1000000000000001),
                                  INT64_C(9007199254740993),
                                  INT64_MAX,
                                  INT64_MIN,
                                  INT64_MIN + 1};
  uint64_t state = 88172645463325252ull;  // xorshift: amounts of 1 to 18 digits
  for (int i = 0; i < 200000; ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    const int digits = static_cast<int>(state % 18) + 1;
    uint64_t limit = 1;
    for (int d = 0; d < digits; ++d) limit *= 10;
    const int64_t amount = static_cast<int64_t>((state >> 8) % limit);
    amounts.push_back((state & 1) != 0 ? -amount : amount);
  }
  for (const int64_t amount : amounts) {
    VARIANT currency;
    VariantInit(&currency);
    currency.vt = VT_CY;
    currency.cyVal.int64 = amount;
    VARIANT decimal;
    VariantInit(&decimal);
    decimal.decVal.scale = 4;
    decimal.decVal.sign = amount < 0 ? DECIMAL_NEG : 0;
    decimal.decVal.Hi32 = 0;
    decimal.decVal.Lo64 =
        amount < 0 ? 0 - static_cast<uint64_t>(amount) : static_cast<uint64_t>(amount);
    decimal.vt = VT_DECIMAL;
    const std::string expected = storedForm(decimal);
    const std::string got = storedForm(currency);
    // As text, currency and decimal are written each in its own way (a decimal keeps its
    // trailing zeros); the form, text, is the same.
    if (expected.rfind("text ", 0) == 0) {
      ASSERT_EQ(got.substr(0, 5), "text ") << amount;
    } else {
      ASSERT_EQ(got, expected) << amount;
    }
  }
}
