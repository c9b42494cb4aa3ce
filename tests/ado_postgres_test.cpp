// The data-access objects on a PostgreSQL server: what only a server has (logins, URIs, the
// statement translation, snapshots between two connections, the Jet domains) and its errors.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
