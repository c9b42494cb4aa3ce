// The data-access objects on a PostgreSQL server: what only a server has (logins, URIs, the
// statement translation, snapshots between two connections, the Jet domains) and its errors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dbaccess/ADODataBase.h"
#include "platform/ado/ado.h"
#include "platform/ado/engine.h"
#include "platform/ado/pg/pg_internal.h"
#include "support/AdoTestObjects.h"
#include "support/SqliteFile.h"
#include "support/TestEngine.h"

using namespace adotest;

namespace {

class AdoPostgresTest : public ::testing::Test {
 protected:
  void SetUp() override { CoInitialize(nullptr); }
  void TearDown() override { CoUninitialize(); }

  Ref<ADOConnection> Open(ConnectModeEnum mode) {
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(db.Location()), mode, &hr);
    EXPECT_EQ(hr, S_OK) << TakeError().description;
    return connection;
  }

  HRESULT Execute(ADOConnection* connection, const std::string& sql) {
    VARIANT count;
    VariantInit(&count);
    Ref<ADORecordset> result;
    return connection->Execute(Bstr(sql).get(), &count, adExecuteNoRecords, result.Out());
  }

  // The names of the rows of a table opened whole, in the order read.
  std::string Names(ADOConnection* connection, const std::u16string& table,
                    const std::u16string& column) {
    HRESULT hr;
    Ref<ADORecordset> rs = OpenSource(connection, table, adCmdTable, &hr);
    if (hr != S_OK) return "open failed: " + TakeError().description;
    std::string names;
    while (!AtEof(rs.get())) {
      VARIANT value = ValueOf(rs.get(), column);
      names += (names.empty() ? "" : ",") +
               (value.vt == VT_BSTR ? Narrow(value.bstrVal) : std::to_string(value.lVal));
      VariantClear(&value);
      rs->MoveNext();
    }
    return names;
  }

  TestDatabase db{DbEngine::kPostgres};
};

TEST_F(AdoPostgresTest, AConnectionThatFailsNamesServerAndDatabaseAndNeverThePassword) {
  struct Case {
    std::string uri;
    std::string mentions;
  };
  const std::string secret = "zema-secret";
  const Case cases[] = {
      // No server listens on this socket folder.
      {"postgresql://postgres@%2Fnonexistent%2Fzema:5432/plant", "/nonexistent/zema"},
      // The right user with a wrong password, and the right password in another spelling.
      {TestServerUriWith("zema_pw", "wrong-" + secret, ""), "zema_pw"},
      {TestServerUriWith("zema_pw", "", "") + "?password=wrong" + secret, "zema_pw"},
      // A database that does not exist.
      {TestServerUriWith("", "", "no_such_database"), "no_such_database"},
      // URIs that do not parse.
      {"postgresql://postgres:" + secret + "@host:notaport/plant", "notaport"},
      {"postgres://u:" + secret + "@[::1/plant?x=%zz", "URI"},
  };
  for (const Case& c : cases) {
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(c.uri), adModeRead, &hr);
    const ErrorText error = TakeError();
    EXPECT_EQ(hr, E_FAIL) << c.uri;
    EXPECT_EQ(error.source, "PostgreSQL") << c.uri;
    EXPECT_NE(error.description.find(c.mentions), std::string::npos) << error.description;
    EXPECT_EQ(error.description.find(secret), std::string::npos) << error.description;
    LONG state = -1;
    ASSERT_EQ(connection->get_State(&state), S_OK);
    EXPECT_EQ(state, adStateClosed);
  }
  // The right password logs in.
  HRESULT hr;
  Ref<ADOConnection> connection =
      Connect(ConnectionString(TestServerUriWith("zema_pw", secret, "")), adModeRead, &hr);
  EXPECT_EQ(hr, S_OK) << TakeError().description;
}

TEST_F(AdoPostgresTest, TheConnectionReportShowsTheConnectionStringWithoutThePassword) {
  const std::string uri = TestServerUriWith("zema_pw", "wrong-zema-secret", "");
  CADODataBase database;
  database.SetConnectionString(ConnectionString(uri).c_str());
  EXPECT_FALSE(database.OpenConnection("", "", ""));
  const std::string report = database.LastErrorText();
  EXPECT_NE(report.find("Connection String = Provider=Microsoft.Jet.OLEDB.4.0;Data Source="),
            std::string::npos)
      << report;
  EXPECT_NE(report.find("zema_pw:***@"), std::string::npos) << report;
  EXPECT_EQ(report.find("zema-secret"), std::string::npos) << report;
  EXPECT_EQ(
      MaskConnectionPassword("Data Source=postgres://u:p%40ss@h/db?password=x&sslmode=require"),
      "Data Source=postgres://u:***@h/db?password=***&sslmode=require");
  EXPECT_EQ(MaskConnectionPassword("Data Source=/plant/tags.db"), "Data Source=/plant/tags.db");
}

TEST_F(AdoPostgresTest, ServerErrorsGiveTheHresultsOfTheSameSituationOnSqlite) {
  CreateDatabase(db.Location(), "CREATE TABLE Tags (TagID LONG, TagName VARCHAR(31))");
  for (ConnectModeEnum mode : {adModeRead, adModeReadWrite}) {
    Ref<ADOConnection> connection = Open(mode);
    HRESULT hr;
    struct Case {
      std::u16string source;
      LONG options;
      HRESULT code;
      std::string message;
    };
    const Case cases[] = {
        {u"Missing", adCmdTable, DB_E_NOTABLE, "relation \"Missing\" does not exist"},
        {u"SELECT * FROM Missing", adCmdUnknown, DB_E_NOTABLE, "does not exist"},
        {u"SELEC * FROM Tags", adCmdUnknown, DB_E_ERRORSINCOMMAND, "syntax error"},
        {u"SELECT NoSuchColumn FROM Tags", adCmdUnknown, adErrItemNotFound, "does not exist"},
        {u"SELECT 1; SELECT 2", adCmdUnknown, DB_E_ERRORSINCOMMAND, "more than one statement"},
    };
    for (const Case& c : cases) {
      Ref<ADORecordset> rs = OpenSource(connection.get(), c.source, c.options, &hr);
      const ErrorText error = TakeError();
      EXPECT_EQ(hr, c.code) << Narrow(c.source.c_str(), c.source.size());
      EXPECT_EQ(error.source, "PostgreSQL");
      EXPECT_NE(error.description.find(c.message), std::string::npos) << error.description;
    }
    // A failed statement leaves the connection as it was: the snapshot of mode 1 and the
    // connection of mode 2 go on reading.
    EXPECT_EQ(Names(connection.get(), u"Tags", u"TagName"), "");
  }
}

TEST_F(AdoPostgresTest, JetStatementsRunWithTheirNamesInAnyCase) {
  CreateDatabase(
      db.Location(),
      "CREATE TABLE [Tag Types] (TypeID LONG, TypeName VARCHAR(64));"
      "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31))");
  Ref<ADOConnection> connection = Open(adModeReadWrite);
  EXPECT_EQ(Execute(connection.get(), "INSERT INTO [Tag Types] VALUES (1, 'Analog')"), S_OK)
      << TakeError().description;
  EXPECT_EQ(Execute(connection.get(), "INSERT INTO TAGS (tagname) VALUES ('it''s'), ('b'), ('c')"),
            S_OK)
      << TakeError().description;
  EXPECT_EQ(Execute(connection.get(), "DELETE * FROM tags WHERE TagName = 'b'"), S_OK)
      << TakeError().description;
  EXPECT_EQ(Names(connection.get(), u"Tags", u"TagName"), "it's,c");
  EXPECT_EQ(Names(connection.get(), u"tag types", u"typename"), "Analog");
  HRESULT hr;
  Ref<ADORecordset> rs =
      OpenSource(connection.get(), u"SELECT TagID FROM Tags WHERE TagName='it''s' OR TagID = -1",
                 adCmdUnknown, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  VARIANT id = ValueOf(rs.get(), u"tagid");
  EXPECT_EQ(id.vt, VT_I4);
  EXPECT_EQ(id.lVal, 1);

  platform::ado::pg::Translation t = platform::ado::pg::TranslateStatement(
      "delete * from [My Table] where x = 5 and y = 'a''b'",
      [](std::string_view word) { return word == "x" ? std::string("X") : std::string(); });
  EXPECT_EQ(t.literal, "delete from \"My Table\" where \"X\" = 5 and y = 'a''b'");
  EXPECT_EQ(t.parameterized, "delete from \"My Table\" where \"X\" = $1 and y = $2");
  ASSERT_EQ(t.literals.size(), 2u);
  EXPECT_EQ(t.literals[1], "a'b");
}

TEST_F(AdoPostgresTest, ReadOnlyConnectionsReadTheSnapshotOfTheirOpenAndWritersCommitAtOnce) {
  CreateDatabase(db.Location(),
                 "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31));"
                 "CREATE TABLE Other (TagID LONG);"
                 "INSERT INTO Tags (TagName) VALUES ('a')");
  Ref<ADOConnection> reader = Open(adModeRead);
  EXPECT_EQ(Names(reader.get(), u"Other", u"TagID"), "");  // the snapshot begins here
  Ref<ADOConnection> writer = Open(adModeReadWrite);
  HRESULT hr;
  Ref<ADORecordset> rs = OpenSource(writer.get(), u"Tags", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(rs->AddNew(Missing(), Missing()), S_OK);
  VARIANT name = Text(u"b");
  ASSERT_EQ(PutValue(rs.get(), u"TagName", name), S_OK);
  VariantClear(&name);
  ASSERT_EQ(rs->Update(Missing(), Missing()), S_OK) << TakeError().description;
  VARIANT id = ValueOf(rs.get(), u"TagID");
  EXPECT_EQ(id.vt, VT_I4);
  EXPECT_EQ(id.lVal, 2) << "the server's number reads back";
  // Committed at once: a new reader sees it, the reader opened before does not.
  EXPECT_EQ(QueryValue(db.Location(), "SELECT count(*) FROM Tags"), "2");
  EXPECT_EQ(Names(reader.get(), u"Tags", u"TagName"), "a");
  Ref<ADOConnection> later = Open(adModeRead);
  EXPECT_EQ(Names(later.get(), u"Tags", u"TagName"), "a,b");
  // A read-only connection refuses to write and keeps its snapshot.
  EXPECT_EQ(Execute(reader.get(), "DELETE FROM Tags"), E_FAIL);
  EXPECT_NE(TakeError().description.find("read-only"), std::string::npos);
  EXPECT_EQ(Names(reader.get(), u"Tags", u"TagName"), "a");
}

TEST_F(AdoPostgresTest, TablesReadInKeyOrderElseInStorageOrder) {
  CreateDatabase(db.Location(),
                 "CREATE TABLE Keyed (Name VARCHAR(8), Id LONG, PRIMARY KEY (Id));"
                 "INSERT INTO Keyed VALUES ('c', 3), ('a', 1), ('b', 2);"
                 "CREATE TABLE Heap (Name VARCHAR(8));"
                 "INSERT INTO Heap VALUES ('z'), ('x'), ('y')");
  Ref<ADOConnection> connection = Open(adModeRead);
  EXPECT_EQ(Names(connection.get(), u"Keyed", u"Name"), "a,b,c");
  EXPECT_EQ(Names(connection.get(), u"Heap", u"Name"), "z,x,y");
}

TEST_F(AdoPostgresTest, ServerTypesMapToTheNearestAdoType) {
  CreateDatabase(db.Location(),
                 "CREATE TABLE T (i integer, s smallint, b bigint, f boolean, r real, "
                 "d double precision, n numeric(12,3), t timestamp, v varchar(9), x text, "
                 "u uuid, m money)");
  ExecServerSql(db.Location(),
                "INSERT INTO T VALUES (1, 2, 3, true, 0.5, 0.1, 12.345, '2020-02-03 04:05:06.7', "
                "'v', 'x', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', 12.5)");
  Ref<ADOConnection> connection = Open(adModeRead);
  HRESULT hr;
  Ref<ADORecordset> rs = OpenSource(connection.get(), u"T", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  const struct {
    const char16_t* name;
    DataTypeEnum type;
    VARTYPE vt;
  } expected[] = {
      {u"i", adInteger, VT_I4},        {u"s", adSmallInt, VT_I2},       {u"b", adBigInt, VT_I8},
      {u"f", adBoolean, VT_BOOL},      {u"r", adSingle, VT_R4},         {u"d", adDouble, VT_R8},
      {u"n", adNumeric, VT_DECIMAL},   {u"t", adDate, VT_DATE},         {u"v", adVarWChar, VT_BSTR},
      {u"x", adLongVarWChar, VT_BSTR}, {u"u", adLongVarWChar, VT_BSTR}, {u"m", adCurrency, VT_CY}};
  for (const auto& e : expected) {
    VARIANT key = Text(e.name);
    Ref<ADOField> field = FieldOf(rs.get(), key, &hr);
    VariantClear(&key);
    ASSERT_EQ(hr, S_OK);
    DataTypeEnum type;
    ASSERT_EQ(field->get_Type(&type), S_OK);
    EXPECT_EQ(type, e.type) << Narrow(e.name, 1);
    VARIANT value = ValueOf(rs.get(), e.name);
    EXPECT_EQ(value.vt, e.vt) << Narrow(e.name, 1);
    if (value.vt == VT_R4) {
      EXPECT_EQ(value.fltVal, 0.5f);
    }
    if (value.vt == VT_R8) {
      EXPECT_EQ(value.dblVal, 0.1);
    }
    if (value.vt == VT_CY) {
      EXPECT_EQ(value.cyVal.int64, 125000);
    }
    if (value.vt == VT_DATE) {
      EXPECT_NEAR(value.date, 43864.0 + (4 * 3600 + 5 * 60 + 6.7) / 86400, 1e-8);
    }
    VariantClear(&value);
  }
}

// Every value of a row as text that tells the VARIANT apart bit for bit ("" when equal).
std::string Describe(const VARIANT& value) {
  std::string text = std::to_string(value.vt) + ":";
  char bytes[3];
  auto hex = [&](const void* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      snprintf(bytes, sizeof bytes, "%02x", static_cast<const unsigned char*>(data)[i]);
      text += bytes;
    }
  };
  switch (value.vt) {
    case VT_BSTR:
      return text + Narrow(value.bstrVal);
    case VT_DECIMAL:
      hex(&value.decVal, sizeof value.decVal);
      return text;
    case VT_ARRAY | VT_UI1:
      hex(value.parray->pvData, value.parray->rgsabound[0].cElements);
      return text;
    case VT_EMPTY:
    case VT_NULL:
      return text;
    case VT_UI1:
      hex(&value.bVal, 1);
      return text;
    case VT_I2:
    case VT_BOOL:
      hex(&value.iVal, 2);
      return text;
    case VT_I4:
    case VT_R4:
      hex(&value.lVal, 4);
      return text;
    default:
      hex(&value.llVal, 8);  // the 8-byte scalars: I8, R8, CY, DATE
      return text;
  }
}

// The rows of a recordset, each column described; at most limit rows.
std::vector<std::string> Rows(ADORecordset* rs, size_t limit = 1000) {
  std::vector<std::string> rows;
  Ref<ADOFields> fields;
  LONG count = 0;
  if (FAILED(rs->get_Fields(fields.Out())) || FAILED(fields->get_Count(&count))) return rows;
  while (rows.size() < limit && !AtEof(rs)) {
    std::string row;
    for (LONG c = 0; c < count; ++c) {
      VARIANT key;
      key.vt = VT_I4;
      key.lVal = c;
      Ref<ADOField> field;
      VARIANT value;
      VariantInit(&value);
      if (FAILED(fields->get_Item(key, field.Out())) || FAILED(field->get_Value(&value)))
        row += "<failed " + TakeError().description + ">";
      row += Describe(value) + " | ";
      VariantClear(&value);
    }
    rows.push_back(row);
    if (FAILED(rs->MoveNext())) break;
  }
  return rows;
}

TEST_F(AdoPostgresTest, TablesReadWholeDeliverExactlyWhatTheServersTextGives) {
  // A table read whole comes in binary form where every column has a type read so; a statement's
  // rows come as text. Both must deliver the same VARIANTs, to the bit, at the edges of every
  // type. The first open of a table on a read-only connection reads its first row alone.
  CreateDatabase(db.Location(),
                 "CREATE TABLE T (k integer PRIMARY KEY, s smallint, i integer, b bigint, "
                 "f boolean, r real, d double precision, n numeric(19,4), n2 numeric, "
                 "t timestamp, tz timestamp with time zone, v varchar(12), c char(3), x text, "
                 "y bytea, cur currency, dt datetime, by byte, l long, sg single, yn yesno)");
  ExecServerSql(
      db.Location(),
      "INSERT INTO T (k) VALUES (1);"
      "INSERT INTO T VALUES (2, -32768, -2147483648, -9223372036854775808, true, 3.4028235e38, "
      "1.7976931348623157e308, -999999999999999.9999, 0.000000000000000000123, "
      "'0100-01-01 00:00:00', '2000-01-01 00:00:00+00', 'äöü€ x', 'ab', '', '\\x00ff10', "
      "0.0001, '1899-12-30 00:00:00', 255, 2147483647, 0.1, true);"
      "INSERT INTO T VALUES (3, 32767, 2147483647, 9223372036854775807, false, 1e-45, 5e-324, "
      "0, 'NaN', '9999-12-31 23:59:59.999999', '1970-01-01 00:00:00.5+00', 'line\nbreak', "
      "'abc', 'long text', '\\x', -922337203685477.5808, '2024-02-29 12:34:56.789', 0, "
      "-2147483648, -0.0, false);"
      "INSERT INTO T VALUES (4, 0, 0, 0, true, 'NaN', '-Infinity', 12.34, "
      "12345678901234567890.123456789, '1999-12-31 23:59:59.0015', '-infinity', '0', '', "
      "'x', '\\xdeadbeef', 922337203685477.5807, '1999-12-31 23:59:59.999', 1, 0, 'Infinity', "
      "true);"
      "INSERT INTO T VALUES (5, 1, 1, 1, false, -0.0, -0.0, -0.0001, 'Infinity', "
      "'0044-03-15 12:00:00.25 BC', '10000-01-01 00:00:00+00', 'z', 'y', 'w', NULL, 1, "
      "'2000-02-29 00:00:00.1', 2, 3, 1.5, NULL);"
      "INSERT INTO T VALUES (6, 2, 3, 4, true, 0.5, 0.1, 99.9, -1e-20, 'infinity', "
      "'1999-12-31 23:59:59.999999+00', 'v', 'c', 'x', '\\x01', 2, '1753-01-01 00:00:00', 3, 4, "
      "2.5, false)");
  Ref<ADOConnection> writer = Open(adModeReadWrite);
  HRESULT hr;
  Ref<ADORecordset> text =
      OpenSource(writer.get(), u"SELECT * FROM T ORDER BY k", adCmdUnknown, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  const std::vector<std::string> expected = Rows(text.get());
  ASSERT_EQ(expected.size(), 6u);

  auto whole = [&](ADOConnection* connection, size_t limit) {
    HRESULT opened;
    Ref<ADORecordset> rs = OpenSource(connection, u"T", adCmdTable, &opened);
    EXPECT_EQ(opened, S_OK) << TakeError().description;
    return opened == S_OK ? Rows(rs.get(), limit) : std::vector<std::string>();
  };
  Ref<ADOConnection> reader = Open(adModeRead);
  const std::vector<std::string> first = whole(reader.get(), 1);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0], expected[0]);
  EXPECT_EQ(whole(reader.get(), 1000), expected) << "the second open reads the table whole";
  Ref<ADOConnection> another = Open(adModeRead);
  EXPECT_EQ(whole(another.get(), 1000), expected) << "the first row alone, then the rest";
  EXPECT_EQ(whole(writer.get(), 1000), expected) << "a writer reads the table whole at once";

  // A row stored through the objects reads back (RETURNING) as the server's text gives it.
  Ref<ADORecordset> rs = OpenSource(writer.get(), u"T", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(rs->AddNew(Missing(), Missing()), S_OK);
  const std::u16string columns[] = {u"k", u"n", u"t", u"r", u"x"};
  VARIANT values[5];
  for (VARIANT& value : values) VariantInit(&value);
  values[0].vt = VT_I4;
  values[0].lVal = 7;
  values[1] = Text(u"-12.5");
  values[2] = Text(u"2020-02-03 04:05:06.7");
  values[3].vt = VT_R8;
  values[3].dblVal = 0.1;
  values[4] = Text(u"stored");
  for (size_t c = 0; c < 5; ++c) {
    EXPECT_EQ(PutValue(rs.get(), columns[c], values[c]), S_OK) << TakeError().description;
    VariantClear(&values[c]);
  }
  ASSERT_EQ(rs->Update(Missing(), Missing()), S_OK) << TakeError().description;
  const std::vector<std::string> stored = Rows(rs.get(), 1);
  Ref<ADORecordset> again =
      OpenSource(writer.get(), u"SELECT * FROM T WHERE k = 7", adCmdUnknown, &hr);
  ASSERT_EQ(hr, S_OK) << TakeError().description;
  EXPECT_EQ(stored, Rows(again.get()));
}

}  // namespace
