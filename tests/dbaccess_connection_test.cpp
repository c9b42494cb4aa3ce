// CADODataBase: opening and closing, statements, and which failures are recorded and which
// reach the caller.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dbaccess/ADODataBase.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

namespace {

const char kProvider[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeCount(), 0);
    path = dir.File("tags.db");
    CreateDatabase(path,
                   "CREATE TABLE T (ID INTEGER PRIMARY KEY, Name VARCHAR(20));"
                   "INSERT INTO T VALUES (1, 'a'), (2, 'b'), (3, 'c');");
    connectionString = kProvider + path;
  }
  void TearDown() override {
    platform::FaultClearAll();
    platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Connection));
    EXPECT_EQ(CoInitializeCount(), 0);
  }

  std::string Count(const std::string& file, const std::string& table) {
    return QueryValue(file, "SELECT COUNT(*) FROM " + table);
  }

  TempDir dir;
  std::string path;
  std::string connectionString;
};

TEST_F(ConnectionTest, OpensWithTheStoredStringAndBalancesCom) {
  {
    CADODataBase database;
    EXPECT_EQ(CoInitializeCount(), 1);
    EXPECT_FALSE(database.IsConnectionOpen());
    database.SetConnectionMode(adModeWrite);
    database.SetConnectionString(connectionString.c_str());
    EXPECT_TRUE(database.OpenConnection("", "", ""));
    EXPECT_TRUE(database.IsConnectionOpen());
    EXPECT_EQ(database.ConnectionString(), connectionString);
    EXPECT_EQ(database.LastErrorText(), "");
    EXPECT_EQ(database.LastErrorCode(), S_OK);

    database.CloseConnection();
    EXPECT_FALSE(database.IsConnectionOpen());
    database.CloseConnection();  // closing a closed connection does nothing
    EXPECT_EQ(database.ConnectionString(), connectionString);
    EXPECT_TRUE(database.OpenConnection(nullptr, nullptr, nullptr));
    EXPECT_TRUE(database.IsConnectionOpen());

    CADODataBase second;
    EXPECT_EQ(CoInitializeCount(), 2);
  }
  EXPECT_EQ(CoInitializeCount(), 0);
}

TEST_F(ConnectionTest, OpeningAnOpenConnectionSwitchesToTheNewString) {
  const std::string otherPath = dir.File("other.db");
  CreateDatabase(otherPath, "CREATE TABLE T (ID INTEGER PRIMARY KEY); INSERT INTO T VALUES (7);");
  CADODataBase database;
  database.SetConnectionMode(adModeWrite);
  ASSERT_TRUE(database.OpenConnection(connectionString.c_str(), "", ""));
  ASSERT_TRUE(database.OpenConnection((kProvider + otherPath).c_str(), "", ""));
  EXPECT_EQ(database.ConnectionString(), kProvider + otherPath);
  EXPECT_TRUE(database.ExecuteStatement("DELETE * FROM T"));
  EXPECT_EQ(database.RecordsAffected(), 1);
  EXPECT_EQ(Count(otherPath, "T"), "0");
  EXPECT_EQ(Count(path, "T"), "3");
}

TEST_F(ConnectionTest, MissingFileIsRefusedWithAReportAndTheObjectStaysUsable) {
  const std::string missing = kProvider + dir.File("missing.db");
  CADODataBase database;
  EXPECT_FALSE(database.OpenConnection(missing.c_str(), "", ""));
  EXPECT_FALSE(database.IsConnectionOpen());
  EXPECT_EQ(database.LastErrorCode(), E_FAIL);
  EXPECT_EQ(database.LastErrorText().rfind("Connection String = " + missing +
                                               "\nCADODataBase Error\n\tCode = 80004005\n"
                                               "\tCode meaning = Unspecified error\n",
                                           0),
            0u)
      << database.LastErrorText();
  EXPECT_NE(database.LastErrorDescription().find("missing.db"), std::string::npos)
      << database.LastErrorDescription();

  EXPECT_TRUE(database.OpenConnection(connectionString.c_str(), "", ""));
  EXPECT_EQ(database.LastErrorCode(), E_FAIL);  // a success does not clear the report
}

TEST_F(ConnectionTest, StatementsReportTheirCountAndAFailureResetsIt) {
  CADODataBase database;
  database.SetConnectionMode(adModeWrite);
  ASSERT_TRUE(database.OpenConnection(connectionString.c_str(), "", ""));
  EXPECT_TRUE(database.ExecuteStatement("DELETE * FROM T WHERE ID >= 2"));
  EXPECT_EQ(database.RecordsAffected(), 2);
  EXPECT_EQ(Count(path, "T"), "1");

  EXPECT_FALSE(database.ExecuteStatement("DELETE * FROM Missing"));
  EXPECT_EQ(database.RecordsAffected(), 0);
  EXPECT_EQ(database.LastErrorCode(), DB_E_NOTABLE);
  EXPECT_FALSE(database.ExecuteStatement("DELETE WHERE FROM"));
  EXPECT_EQ(database.LastErrorCode(), DB_E_ERRORSINCOMMAND);
  EXPECT_FALSE(database.ExecuteStatement(nullptr));

  EXPECT_TRUE(database.ExecuteStatement("DELETE FROM T"));
  EXPECT_EQ(database.RecordsAffected(), 1);
}

TEST_F(ConnectionTest, GuardedStepsRecordPlatformFailures) {
  CADODataBase database;
  ASSERT_TRUE(database.OpenConnection(connectionString.c_str(), "", ""));
  platform::FaultInject("Connection.CursorLocation.put", E_UNEXPECTED);
  EXPECT_FALSE(database.ExecuteStatement("DELETE FROM T"));
  EXPECT_EQ(database.LastErrorCode(), E_UNEXPECTED);
  EXPECT_EQ(Count(path, "T"), "3");

  platform::FaultInject("SysAllocString", E_OUTOFMEMORY);
  EXPECT_FALSE(database.ExecuteStatement("DELETE FROM T"));
  EXPECT_EQ(database.LastErrorCode(), E_OUTOFMEMORY);

  database.CloseConnection();
  platform::FaultInject("Connection.Open", E_ACCESSDENIED);
  EXPECT_FALSE(database.OpenConnection("", "", ""));
  EXPECT_EQ(database.LastErrorCode(), E_ACCESSDENIED);
  EXPECT_NE(database.LastErrorText().find("\tCode meaning = Access is denied.\n"),
            std::string::npos);
}

TEST_F(ConnectionTest, OpenSucceedsOnlyOnExactlyZero) {
  CADODataBase database;
  platform::FaultInject("Connection.Open", S_FALSE);
  EXPECT_FALSE(database.OpenConnection(connectionString.c_str(), "", ""));
  EXPECT_EQ(database.LastErrorText(), "");
  EXPECT_EQ(database.LastErrorCode(), S_OK);
}

TEST_F(ConnectionTest, UnguardedOperationsPassFailuresToTheCaller) {
  CADODataBase database;
  ASSERT_TRUE(database.OpenConnection(connectionString.c_str(), "", ""));

  platform::FaultInject("Connection.State.get", E_UNEXPECTED);
  EXPECT_THROW(database.IsConnectionOpen(), PlatformError);
  platform::FaultInject("Connection.State.get", E_UNEXPECTED);
  EXPECT_THROW(database.OpenConnection("", "", ""), PlatformError);
  platform::FaultInject("Connection.Close", E_UNEXPECTED);
  try {
    database.CloseConnection();
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_UNEXPECTED);
  }
  platform::FaultInject("Connection.Mode.put", E_FAIL);
  EXPECT_THROW(database.SetConnectionMode(adModeRead), PlatformError);
  EXPECT_EQ(database.LastErrorText(), "");  // nothing was recorded
}

TEST_F(ConnectionTest, ConnectionThatWasNotCreatedFailsWithInvalidPointer) {
  platform::FaultInject(platform::FaultNameCreateInstance(CLSID_Connection), REGDB_E_CLASSNOTREG, 0,
                        -1);
  CADODataBase database;
  platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Connection));

  EXPECT_EQ(database.Connection(), nullptr);
  EXPECT_FALSE(database.IsConnectionOpen());
  EXPECT_NO_THROW(database.CloseConnection());
  try {
    database.SetConnectionMode(adModeWrite);
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_POINTER);
    EXPECT_EQ(error.ErrorInfo(), nullptr);
  }
  EXPECT_FALSE(database.OpenConnection(connectionString.c_str(), "", ""));
  EXPECT_EQ(database.LastErrorCode(), E_POINTER);
  EXPECT_EQ(database.ConnectionString(), connectionString);
}

}  // namespace
