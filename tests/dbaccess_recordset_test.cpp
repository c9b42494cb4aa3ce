// CADORecordset: opening by mode, walking rows, appending rows, closing, and which failures are
// recorded and which reach the caller.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dbaccess/ADORecordset.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

namespace {

const char kProvider[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

class RecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.File("tags.db");
    CreateDatabase(path,
                   "CREATE TABLE T (ID INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " Name VARCHAR(20) NOT NULL UNIQUE);"
                   "INSERT INTO T (Name) VALUES ('a'), ('b'), ('c');"
                   "CREATE TABLE Empty (ID INTEGER PRIMARY KEY);"
                   "CREATE VIEW LastTwo AS SELECT Name FROM T WHERE ID > 1;");
    database.reset(new CADODataBase);
    database->SetConnectionMode(adModeWrite);
    ASSERT_TRUE(database->OpenConnection((kProvider + path).c_str(), "", ""));
  }
  void TearDown() override {
    platform::FaultClearAll();
    platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Recordset));
    platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Command));
  }

  // The Name column of every row from the current one to the end.
  std::vector<std::string> ReadNames(CADORecordset& recordset) {
    std::vector<std::string> names;
    while (!recordset.AtEndOfRecords()) {
      std::string name;
      EXPECT_TRUE(recordset.ReadFieldText("Name", name));
      names.push_back(name);
      recordset.MoveToNextRecord();
    }
    return names;
  }

  std::string Count(const std::string& table) {
    return QueryValue(path, "SELECT COUNT(*) FROM " + table);
  }

  TempDir dir;
  std::string path;
  std::unique_ptr<CADODataBase> database;
};

using NameList = std::vector<std::string>;

TEST_F(RecordsetTest, TableModeWalksEveryRowInOrder) {
  CADORecordset recordset(database.get());
  EXPECT_FALSE(recordset.IsRecordsetOpen());
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  EXPECT_TRUE(recordset.IsRecordsetOpen());
  EXPECT_EQ(recordset.FieldCount(), 2);
  EXPECT_EQ(ReadNames(recordset), (NameList{"a", "b", "c"}));
  EXPECT_TRUE(recordset.AtEndOfRecords());
  EXPECT_THROW(recordset.MoveToNextRecord(), PlatformError);  // MoveNext at the end

  ASSERT_TRUE(recordset.OpenRecordset("Empty", SourceTable));
  EXPECT_TRUE(recordset.AtEndOfRecords());
  EXPECT_EQ(recordset.FieldCount(), 1);
}

TEST_F(RecordsetTest, QueriesLoseLeadingWhiteSpaceAndAnEmptySourceReopensTheLastOne) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset(" \t\n SELECT Name FROM T WHERE ID >= 2", SourceQuery));
  EXPECT_EQ(recordset.QueryText(), "SELECT Name FROM T WHERE ID >= 2");
  EXPECT_EQ(ReadNames(recordset), (NameList{"b", "c"}));

  recordset.CloseRecordset();
  EXPECT_FALSE(recordset.IsRecordsetOpen());
  recordset.CloseRecordset();  // closing twice is harmless
  ASSERT_TRUE(recordset.OpenRecordset("", SourceAuto));
  EXPECT_EQ(ReadNames(recordset), (NameList{"b", "c"}));
  ASSERT_TRUE(recordset.OpenRecordset(nullptr, SourceQuery));
  EXPECT_EQ(recordset.QueryText(), "SELECT Name FROM T WHERE ID >= 2");
  EXPECT_EQ(ReadNames(recordset), (NameList{"b", "c"}));
}

TEST_F(RecordsetTest, StoredProceduresRunThroughTheCommand) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset("LastTwo", SourceProcedure)) << recordset.LastErrorText();
  EXPECT_TRUE(recordset.IsRecordsetOpen());
  EXPECT_EQ(ReadNames(recordset), (NameList{"b", "c"}));
  recordset.CloseRecordset();
  EXPECT_FALSE(recordset.IsRecordsetOpen());
  // The recordset that replaced the created one still serves the other modes.
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  EXPECT_EQ(ReadNames(recordset), (NameList{"a", "b", "c"}));
}

TEST_F(RecordsetTest, UnknownModeFailsWithoutAReport) {
  CADORecordset recordset(database.get());
  ASSERT_FALSE(recordset.OpenRecordset("Missing", SourceTable));
  const std::string report = recordset.LastErrorText();
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  EXPECT_FALSE(recordset.OpenRecordset("Empty", 5));
  EXPECT_FALSE(recordset.IsRecordsetOpen());  // the previous one was closed
  EXPECT_EQ(recordset.QueryText(), "Empty");
  EXPECT_FALSE(recordset.OpenRecordset("T", -1));
  EXPECT_EQ(recordset.LastErrorText(), report);
  EXPECT_EQ(recordset.LastErrorCode(), DB_E_NOTABLE);
}

TEST_F(RecordsetTest, ClosedConnectionMeansAClosedRecordset) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  database->CloseConnection();
  EXPECT_FALSE(recordset.IsRecordsetOpen());
  EXPECT_NO_THROW(recordset.CloseRecordset());
}

TEST_F(RecordsetTest, NewRowsAreStoredAndTheirAssignedKeyReadsBack) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  ASSERT_TRUE(recordset.BeginNewRecord());
  EXPECT_TRUE(recordset.NewRecordPending());
  ASSERT_TRUE(recordset.WriteFieldText("Name", "d"));
  EXPECT_TRUE(recordset.SaveRecord());
  EXPECT_FALSE(recordset.NewRecordPending());
  LONG id = 0;
  EXPECT_TRUE(recordset.ReadFieldLong("ID", id));
  EXPECT_EQ(id, 4);
  EXPECT_EQ(QueryValue(path, "SELECT Name FROM T WHERE ID = 4"), "d");

  // Without a pending row SaveRecord succeeds and calls nothing.
  platform::FaultTraceStart();
  EXPECT_TRUE(recordset.SaveRecord());
  EXPECT_TRUE(platform::FaultTraceStop().empty());
}

TEST_F(RecordsetTest, ClosingCancelsAPendingRow) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  ASSERT_TRUE(recordset.BeginNewRecord());
  ASSERT_TRUE(recordset.WriteFieldText("Name", "never"));
  recordset.CloseRecordset();
  EXPECT_FALSE(recordset.NewRecordPending());
  EXPECT_FALSE(recordset.IsRecordsetOpen());
  recordset.CloseRecordset();
  EXPECT_EQ(Count("T"), "3");

  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  ASSERT_TRUE(recordset.BeginNewRecord());
  recordset.CancelRecordChanges();
  EXPECT_FALSE(recordset.NewRecordPending());
  EXPECT_TRUE(recordset.SaveRecord());
  EXPECT_EQ(Count("T"), "3");
}

TEST_F(RecordsetTest, RefusedRowIsReportedAndCancelled) {
  CADORecordset recordset(database.get());
  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  ASSERT_TRUE(recordset.BeginNewRecord());
  ASSERT_TRUE(recordset.WriteFieldText("Name", "a"));  // not unique
  EXPECT_FALSE(recordset.SaveRecord());
  EXPECT_FALSE(recordset.NewRecordPending());
  EXPECT_LT(recordset.LastErrorCode(), 0);
  EXPECT_EQ(recordset.LastErrorText().rfind("Query = T\nCADORecordset Error\n", 0), 0u);
  EXPECT_EQ(Count("T"), "3");

  // The object stays usable.
  ASSERT_TRUE(recordset.BeginNewRecord());
  ASSERT_TRUE(recordset.WriteFieldText("Name", "e"));
  EXPECT_TRUE(recordset.SaveRecord());
  EXPECT_EQ(Count("T"), "4");
}

TEST_F(RecordsetTest, GuardedOpenRecordsAndUnguardedCallsThrow) {
  CADORecordset recordset(database.get());
  platform::FaultInject("Recordset.Open", E_UNEXPECTED);
  EXPECT_FALSE(recordset.OpenRecordset("T", SourceTable));
  EXPECT_EQ(recordset.LastErrorCode(), E_UNEXPECTED);
  EXPECT_EQ(recordset.LastErrorText().rfind("Query = T\n", 0), 0u);

  ASSERT_TRUE(recordset.OpenRecordset("SELECT * FROM T", SourceQuery));
  // Rows can be added to tables only: AddNew fails and the failure reaches the caller.
  EXPECT_THROW(recordset.BeginNewRecord(), PlatformError);
  EXPECT_FALSE(recordset.NewRecordPending());

  ASSERT_TRUE(recordset.OpenRecordset("T", SourceTable));
  platform::FaultInject("Recordset.EOF.get", E_FAIL);
  EXPECT_THROW(recordset.AtEndOfRecords(), PlatformError);
  platform::FaultInject("Recordset.Close", E_FAIL);
  EXPECT_THROW(recordset.CloseRecordset(), PlatformError);
  try {
    platform::FaultInject("Recordset.Fields.get", E_FAIL);
    recordset.FieldCount();
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_FAIL);
  }
  EXPECT_EQ(recordset.LastErrorCode(), E_UNEXPECTED);  // nothing new was recorded
}

TEST_F(RecordsetTest, ObjectsThatWereNotCreatedFailWithInvalidPointer) {
  platform::FaultInject(platform::FaultNameCreateInstance(CLSID_Recordset), E_FAIL, 0, -1);
  CADORecordset noRecordset(database.get());
  platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Recordset));

  EXPECT_FALSE(noRecordset.OpenRecordset("T", SourceTable));
  EXPECT_EQ(noRecordset.LastErrorCode(), E_POINTER);
  EXPECT_EQ(noRecordset.LastErrorText(),
            "Query = T\nCADORecordset Error\n\tCode = 80004003\n\tCode meaning = Invalid pointer\n"
            "\tSource = \n\tDescription = \n");
  EXPECT_FALSE(noRecordset.IsRecordsetOpen());
  EXPECT_NO_THROW(noRecordset.CloseRecordset());
  EXPECT_THROW(noRecordset.AtEndOfRecords(), PlatformError);
  EXPECT_THROW(noRecordset.BeginNewRecord(), PlatformError);
  EXPECT_THROW(noRecordset.FieldCount(), PlatformError);
  LONG value = 5;
  EXPECT_FALSE(noRecordset.ReadFieldLong(0, value));
  EXPECT_EQ(value, 5);

  platform::FaultInject(platform::FaultNameCreateInstance(CLSID_Command), E_FAIL, 0, -1);
  CADORecordset noCommand(database.get());
  platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Command));
  EXPECT_FALSE(noCommand.OpenRecordset("LastTwo", SourceProcedure));
  EXPECT_EQ(noCommand.LastErrorCode(), E_POINTER);
  EXPECT_TRUE(noCommand.OpenRecordset("LastTwo", SourceQuery));

  // Without a database there is no connection to open on: a clear failure, no crash.
  CADORecordset orphan(nullptr);
  EXPECT_FALSE(orphan.OpenRecordset("T", SourceTable));
  EXPECT_LT(orphan.LastErrorCode(), 0);
  EXPECT_FALSE(orphan.OpenRecordset("LastTwo", SourceProcedure));
  EXPECT_FALSE(orphan.IsRecordsetOpen());
}

}  // namespace
