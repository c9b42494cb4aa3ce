// Connection of the data-access objects: object creation, opening files in each mode, the
// connection string, statements, read-only snapshots and several writers on one file.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/ado/ado.h"
#include "support/AdoTestObjects.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

using namespace adotest;

namespace {

constexpr char kSchema[] =
    "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31));"
    "INSERT INTO Tags (TagName) VALUES ('a'), ('b'), ('c');";

class AdoConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    path = dir.File("tags.db");
    CreateDatabase(path, kSchema);
  }
  void TearDown() override { CoUninitialize(); }

  Ref<ADOConnection> Open(ConnectModeEnum mode) {
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(path), mode, &hr);
    EXPECT_EQ(hr, S_OK) << TakeError().description;
    return connection;
  }

  HRESULT Execute(ADOConnection* connection, const std::string& sql, LONG* affected = nullptr) {
    VARIANT count;
    VariantInit(&count);
    Ref<ADORecordset> result;
    const HRESULT hr =
        connection->Execute(Bstr(sql).get(), &count, adExecuteNoRecords, result.Out());
    if (affected != nullptr) *affected = count.vt == VT_I4 ? count.lVal : -99;
    return hr;
  }

  std::string Count() { return QueryValue(path, "SELECT count(*) FROM Tags"); }

  TempDir dir;
  std::string path;
};

// Adds `rows` tags named prefix0, prefix1, ... through AddNew/Update; the number of failures.
int AddTags(const std::string& file, const std::string& prefix, int rows) {
  CoInitialize(nullptr);
  int failures = 0;
  {
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(ConnectionString(file), adModeWrite, &hr);
    if (FAILED(hr)) return rows;
    Ref<ADORecordset> recordset = OpenSource(connection.get(), u"Tags", adCmdTable, &hr);
    if (FAILED(hr)) return rows;
    for (int i = 0; i < rows; ++i) {
      const std::string name = prefix + std::to_string(i);
      VARIANT text = Text(std::u16string(name.begin(), name.end()));
      if (recordset->AddNew(Missing(), Missing()) != S_OK ||
          PutValue(recordset.get(), u"TagName", text) != S_OK ||
          recordset->Update(Missing(), Missing()) != S_OK)
        ++failures;
      VariantClear(&text);
    }
  }
  CoUninitialize();
  return failures;
}

TEST_F(AdoConnectionTest, ObjectsAreCreatedThroughTheRegistryAndAnswerTheirInterfaces) {
  struct {
    const CLSID* clsid;
    const IID* own;
    const IID* errorInfo;
  } classes[] = {{&CLSID_Connection, &IID_Connection, &IID_Connection15},
                 {&CLSID_Recordset, &IID_Recordset, &IID_Recordset15},
                 {&CLSID_Command, &IID_Command, &IID_Command15}};
  RegisterAdoClasses();
  for (const auto& c : classes) {
    Ref<IUnknown> unknown;
    ASSERT_EQ(CoCreateInstance(*c.clsid, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                               reinterpret_cast<void**>(unknown.Out())),
              S_OK);
    EXPECT_EQ(OleRun(unknown.get()), S_OK);
    Ref<IUnknown> own, dispatch;
    EXPECT_EQ(unknown->QueryInterface(*c.own, reinterpret_cast<void**>(own.Out())), S_OK);
    EXPECT_EQ(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Out())),
              S_OK);
    Ref<ISupportErrorInfo> support;
    ASSERT_EQ(
        unknown->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.Out())),
        S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.errorInfo), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(*c.own), S_OK);
    EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_IUnknown), S_FALSE);
    Ref<IUnknown> none;
    EXPECT_EQ(unknown->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(none.Out())),
              E_NOINTERFACE);
    EXPECT_FALSE(none);
  }

  // Fields and Field answer for their own identifiers.
  Ref<ADOConnection> connection = Open(adModeRead);
  HRESULT hr;
  Ref<ADORecordset> recordset = OpenSource(connection.get(), u"Tags", adCmdTable, &hr);
  Ref<ADOFields> fields;
  ASSERT_EQ(recordset->get_Fields(fields.Out()), S_OK);
  Ref<ISupportErrorInfo> support;
  ASSERT_EQ(fields->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.Out())),
            S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_Fields15), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_ADOCollection), S_OK);
  Ref<ADOField> field = FieldOf(recordset.get(), I4(0), &hr);
  ASSERT_EQ(field->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.Out())),
            S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_Field20), S_OK);
  EXPECT_EQ(support->InterfaceSupportsErrorInfo(IID_Recordset15), S_FALSE);
}

TEST_F(AdoConnectionTest, OpensInEachModeAndReportsItsState) {
  for (ConnectModeEnum mode : {adModeRead, adModeWrite, adModeReadWrite}) {
    Ref<ADOConnection> connection = Open(mode);
    LONG state = -1;
    ASSERT_EQ(connection->get_State(&state), S_OK);
    EXPECT_EQ(state, adStateOpen);
    EXPECT_EQ(connection->put_Mode(adModeRead), adErrObjectOpen);
    EXPECT_TRUE(TakeError().present);
    ASSERT_EQ(connection->Close(), S_OK);
    ASSERT_EQ(connection->get_State(&state), S_OK);
    EXPECT_EQ(state, adStateClosed);
    EXPECT_EQ(connection->Close(), adErrObjectClosed);
    ErrorText error = TakeError();
    EXPECT_EQ(error.source, "ADODB.Connection");
    EXPECT_FALSE(error.description.empty());
  }
}

TEST_F(AdoConnectionTest, ConnectionStringKeysIgnoreCaseAndSpacing) {
  const std::string strings[] = {
      "provider=MICROSOFT.JET.OLEDB.4.0;data source=" + path,
      "  Provider = Microsoft.Jet.OLEDB.4.0 ;  Data   Source = " + path + " ;",
      "Data Source=\"" + path + "\";Provider=Microsoft.Jet.OLEDB.4.0;Persist Security Info=False",
      "DataSource=" + path + ";User ID=Admin;Provider=Microsoft.Jet.OLEDB.4.0",
  };
  for (const std::string& text : strings) {
    HRESULT hr;
    Ref<ADOConnection> connection = Connect(text, adModeRead, &hr);
    EXPECT_EQ(hr, S_OK) << text << ": " << TakeError().description;
  }
  for (const std::string& text : {"Provider=SQLOLEDB;Data Source=" + path, "Data Source=" + path}) {
    HRESULT hr;
    Connect(text, adModeRead, &hr);
    EXPECT_EQ(hr, adErrProviderNotFound) << text;
    EXPECT_FALSE(TakeError().description.empty());
  }
  HRESULT hr;
  Connect("Provider=Microsoft.Jet.OLEDB.4.0", adModeRead, &hr);
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_TRUE(TakeError().present);
}

TEST_F(AdoConnectionTest, OpenFailsForMissingOrForeignFilesNamingThemAndChangingNothing) {
  for (ConnectModeEnum mode : {adModeRead, adModeWrite}) {
    const std::string missing = dir.File("missing.db");
    HRESULT hr;
    Connect(ConnectionString(missing), mode, &hr);
    EXPECT_EQ(hr, E_FAIL);
    ErrorText error = TakeError();
    EXPECT_NE(error.description.find(missing), std::string::npos) << error.description;
    EXPECT_FALSE(std::filesystem::exists(missing));

    const std::string text = "not a database, just text\n";
    const std::string foreign = dir.Write("notes.db", text);
    Connect(ConnectionString(foreign), mode, &hr);
    EXPECT_EQ(hr, E_FAIL);
    error = TakeError();
    EXPECT_NE(error.description.find(foreign), std::string::npos) << error.description;
    std::ifstream in(foreign, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
  }
}

TEST_F(AdoConnectionTest, ExecuteRunsOneStatementAndReportsAffectedRows) {
  Ref<ADOConnection> connection = Open(adModeWrite);
  LONG affected = 0;
  EXPECT_EQ(Execute(connection.get(), "DELETE * FROM Tags WHERE TagID <= 2", &affected), S_OK);
  EXPECT_EQ(affected, 2);
  EXPECT_EQ(Count(), "1");
  EXPECT_EQ(Execute(connection.get(), "  delete   *  from [Tags] WHERE TagName = 'zz'", &affected),
            S_OK);
  EXPECT_EQ(affected, 0);

  struct {
    const char* sql;
    HRESULT code;
  } failures[] = {
      {"DELETE * FROM NoSuchTable WHERE TagID = 1", DB_E_NOTABLE},
      {"DELETE FROM Tags WHERE", DB_E_ERRORSINCOMMAND},
      {"DELETE FROM Tags; DELETE FROM Tags", DB_E_ERRORSINCOMMAND},
      {"   ", DB_E_ERRORSINCOMMAND},
  };
  for (const auto& failure : failures) {
    EXPECT_EQ(Execute(connection.get(), failure.sql, &affected), failure.code) << failure.sql;
    EXPECT_FALSE(TakeError().description.empty()) << failure.sql;
  }
  EXPECT_EQ(Count(), "1");
  ASSERT_EQ(connection->Close(), S_OK);
  EXPECT_EQ(Execute(connection.get(), "DELETE FROM Tags"), adErrObjectClosed);
  EXPECT_TRUE(TakeError().present);
}

// A DELETE is compiled once per form, its integer literals standing for parameters. Each
// statement below runs on a connection that has already run its form with another number, and
// must delete what its own text says: literals inside texts, names, brackets and comments, reals,
// hexadecimal and oversized numbers, and column numbers of ORDER BY stay what they are.
TEST_F(AdoConnectionTest, RepeatedDeletesWithOtherNumbersDeleteWhatTheirTextSays) {
  CreateDatabase(
      path,
      "CREATE TABLE V (Id INTEGER, Name TEXT, R REAL);"
      "INSERT INTO V VALUES (1, 'a1', 1.5), (2, '2', 2.0), (3, 'x', 3.0), (4, '-5', 4.0),"
      " (5, NULL, 5.0), (6, 'b', 6.5);"
      "CREATE TABLE T2 (C1 INTEGER, \"C 3\" INTEGER);"
      "INSERT INTO T2 VALUES (1, 3), (3, 1);");
  Ref<ADOConnection> connection = Open(adModeWrite);
  struct {
    const char* before;  // the same form, deleting nothing
    const char* sql;
    LONG affected;
    const char* left;  // the ids left in V, or the C1 left in T2
  } cases[] = {
      {"DELETE FROM V WHERE Id = 100", "DELETE FROM V WHERE Id = 1", 1, "2,3,4,5,6"},
      {"DELETE FROM V WHERE Name = '7'", "DELETE FROM V WHERE Name = '2'", 1, "3,4,5,6"},
      {"DELETE FROM V WHERE Name = '-9' AND Id = 9", "DELETE FROM V WHERE Name = '-5' AND Id = 4",
       1, "3,5,6"},
      {"DELETE FROM [V] WHERE Id = 8 -- or Id = 5", "DELETE FROM [V] WHERE Id = 0 -- or Id = 5", 0,
       "3,5,6"},
      {"DELETE FROM V WHERE R = 7.5 /* 6 */", "DELETE FROM V WHERE R = 6.5 /* 5 */", 1, "3,5"},
      {"DELETE FROM V WHERE Id = 0x10", "DELETE FROM V WHERE Id = 0x5", 1, "3"},
      {"DELETE FROM V WHERE Id = 9223372036854775808", "DELETE FROM V WHERE Id = 3e0", 1, ""},
      {"DELETE FROM T2 WHERE C1 = 7", "DELETE FROM T2 WHERE \"C 3\" = 1", 1, "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    LONG affected = -1;
    ASSERT_EQ(Execute(connection.get(), c.before, &affected), S_OK) << TakeError().description;
    EXPECT_EQ(affected, 0);
    ASSERT_EQ(Execute(connection.get(), c.sql, &affected), S_OK) << TakeError().description;
    EXPECT_EQ(affected, c.affected);
    const bool t2 = strstr(c.sql, "T2") != nullptr;
    EXPECT_EQ(QueryValue(path, t2 ? "SELECT group_concat(C1) FROM T2"
                                  : "SELECT ifnull(group_concat(Id), '') FROM V"),
              c.left);
  }

  // ORDER BY 1 orders by the first column, every time: the highest Id goes first.
  CreateDatabase(path, "INSERT INTO V VALUES (7, 'p', 0), (8, 'q', 0), (9, 'r', 0)");
  const char* newest =
      "DELETE FROM V WHERE Id = (SELECT Id FROM (SELECT Id, R FROM V) ORDER BY 1 DESC LIMIT 1)";
  for (const char* left : {"7,8", "7"}) {
    ASSERT_EQ(Execute(connection.get(), newest), S_OK) << TakeError().description;
    EXPECT_EQ(QueryValue(path, "SELECT group_concat(Id) FROM V"), left);
  }
}

// A compiled DELETE that no longer fits the schema, or that fails as it runs, reports what the
// statement reports when it runs for the first time, code and text alike.
TEST_F(AdoConnectionTest, RepeatedDeletesReportTheErrorsOfTheirText) {
  CreateDatabase(path,
                 "CREATE TABLE V (Id INTEGER, Name TEXT);"
                 "CREATE TABLE U (Id INTEGER);"
                 "INSERT INTO V VALUES (1, 'a'), (2, 'b'), (3, 'c');"
                 "INSERT INTO U VALUES (1), (2);"
                 "CREATE TRIGGER Keep BEFORE DELETE ON V WHEN old.Id = 3 BEGIN"
                 " SELECT RAISE(ABORT, 'row 3 stays'); END;");
  Ref<ADOConnection> connection = Open(adModeWrite);
  LONG affected = -1;
  ASSERT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Id = 1", &affected), S_OK);
  EXPECT_EQ(affected, 1);
  EXPECT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Id = 3", &affected),
            DB_E_INTEGRITYVIOLATION);
  ErrorText error = TakeError();
  EXPECT_EQ(error.source, "SQLite");
  EXPECT_EQ(error.description, "row 3 stays");
  EXPECT_EQ(QueryValue(path, "SELECT group_concat(Id) FROM V"), "2,3");
  ASSERT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Name = 'b' AND Id = 1"), S_OK);
  ASSERT_EQ(Execute(connection.get(), "DELETE FROM U WHERE Id = 1"), S_OK);

  // Another connection changes the schema under the compiled statements.
  CreateDatabase(path, "DROP TABLE U; ALTER TABLE V DROP COLUMN Name;");
  EXPECT_EQ(Execute(connection.get(), "DELETE FROM U WHERE Id = 2"), DB_E_NOTABLE);
  error = TakeError();
  EXPECT_EQ(error.source, "SQLite");
  EXPECT_EQ(error.description, "no such table: U");
  EXPECT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Name = 'b' AND Id = 2"),
            DB_E_ERRORSINCOMMAND);
  error = TakeError();
  EXPECT_EQ(error.source, "SQLite");
  EXPECT_EQ(error.description, "no such column: Name");
  EXPECT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Id = 2; DELETE FROM V WHERE Id = 3"),
            DB_E_ERRORSINCOMMAND);
  EXPECT_EQ(TakeError().description, "The command text holds more than one statement.");
  EXPECT_EQ(QueryValue(path, "SELECT group_concat(Id) FROM V"), "2,3");
  ASSERT_EQ(Execute(connection.get(), "DELETE FROM V WHERE Id = 2", &affected), S_OK);
  EXPECT_EQ(affected, 1);
}

TEST_F(AdoConnectionTest, ReadOnlyConnectionRefusesWrites) {
  Ref<ADOConnection> connection = Open(adModeRead);
  EXPECT_EQ(Execute(connection.get(), "DELETE * FROM Tags"), E_FAIL);
  ErrorText error = TakeError();
  EXPECT_EQ(error.source, "SQLite");
  EXPECT_NE(error.description.find("readonly"), std::string::npos) << error.description;

  HRESULT hr;
  Ref<ADORecordset> recordset = OpenSource(connection.get(), u"Tags", adCmdTable, &hr);
  ASSERT_EQ(hr, S_OK);
  ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
  VARIANT name = Text(u"new");
  EXPECT_EQ(PutValue(recordset.get(), u"TagName", name), S_OK);
  VariantClear(&name);
  EXPECT_TRUE(FAILED(recordset->Update(Missing(), Missing())));
  EXPECT_TRUE(TakeError().present);
  EXPECT_EQ(recordset->CancelUpdate(), S_OK);
  EXPECT_EQ(Count(), "3");
}

TEST_F(AdoConnectionTest, ReadOnlyConnectionReadsTheSnapshotOfItsOpen) {
  CreateDatabase(path, "PRAGMA journal_mode=WAL;");
  Ref<ADOConnection> reader = Open(adModeRead);
  Ref<ADOConnection> writer = Open(adModeWrite);
  ASSERT_EQ(Execute(writer.get(), "INSERT INTO Tags (TagName) VALUES ('late')"), S_OK);
  EXPECT_EQ(Count(), "4");

  auto countThrough = [](ADOConnection* connection) {
    HRESULT hr;
    Ref<ADORecordset> rows =
        OpenSource(connection, u"SELECT count(*) AS N FROM Tags", adCmdUnknown, &hr);
    VARIANT n = ValueOf(rows.get(), u"N");
    return n.vt == VT_I4 ? n.lVal : -1;
  };
  EXPECT_EQ(countThrough(reader.get()), 3);
  ASSERT_EQ(reader->Close(), S_OK);
  reader = Open(adModeRead);
  EXPECT_EQ(countThrough(reader.get()), 4);
}

TEST_F(AdoConnectionTest, WritersInTwoThreadsWaitForEachOtherAndLoseNothing) {
  CreateDatabase(path, "PRAGMA journal_mode=WAL;");
  // A third writer holds the write lock while both threads start.
  sqlite3* holder = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  const auto start = std::chrono::steady_clock::now();
  int failuresA = -1, failuresB = -1;
  std::thread a([&] { failuresA = AddTags(path, "a", 100); });
  std::thread b([&] { failuresB = AddTags(path, "b", 100); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(holder);
  a.join();
  b.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_EQ(failuresA, 0);
  EXPECT_EQ(failuresB, 0);
  EXPECT_EQ(Count(), "203");
  EXPECT_EQ(QueryValue(path, "SELECT count(DISTINCT TagID) FROM Tags"), "203");
}

TEST_F(AdoConnectionTest, WritersInTwoProcessesWaitForEachOtherAndLoseNothing) {
  CreateDatabase(path, "PRAGMA journal_mode=WAL;");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(AddTags(path, "child", 300) == 0 ? 0 : 1);
  const int failures = AddTags(path, "parent", 300);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(Count(), "603");
  EXPECT_EQ(QueryValue(path, "SELECT count(*) FROM Tags WHERE TagName LIKE 'child%'"), "300");
}

}  // namespace
