// Opening and closing tag databases, and the statements built from the templates.
#include <gtest/gtest.h>

#include <string>

#include "dbaccess/ADORecordset.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "platform/sql/quote.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"
#include "tagdb/TagDatabase.h"
#include "tagdb/TagDbNames.h"

namespace {

using tagdb::FormatStatement;
using tagdb::Name;
using tagdb::QuoteSqlText;

class TagDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(CoInitializeCount(), 0);
    path = dir.File("tags.db");
    CreateDatabase(path,
                   "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT,"
                   " TagName VARCHAR(31), TagDesc VARCHAR(255), TagType SHORT);"
                   "INSERT INTO Tags (TagName, TagType) VALUES ('OBrien', 1), ('O''Brien', 1),"
                   " ('O''Brien2', 1);");
  }
  void TearDown() override {
    platform::FaultClear(platform::FaultNameCreateInstance(CLSID_Connection));
    EXPECT_EQ(CoInitializeCount(), 0);
  }

  TempDir dir;
  std::string path;
};

TEST(StatementTest, TemplatesAreFilledPrintfStyle) {
  EXPECT_EQ(FormatStatement(tagdb::kDeleteByIdTemplate, Name(tagdb::TagsTable),
                            Name(tagdb::TagIDColumn), -42),
            "DELETE * FROM Tags WHERE TagID = -42");
  EXPECT_EQ(FormatStatement(tagdb::kSelectByIdTemplate, Name(tagdb::TagTypesTable),
                            Name(tagdb::TypeIDColumn), 7),
            "SELECT * FROM TagTypes WHERE TypeID = 7");
  EXPECT_EQ(FormatStatement(tagdb::kSelectIdByNameTemplate, Name(tagdb::TagIDColumn),
                            Name(tagdb::TagsTable), Name(tagdb::TagNameColumn),
                            QuoteSqlText("O'Brien").c_str()),
            "SELECT TagID FROM Tags WHERE TagName='O''Brien'");
  const std::string longName(5000, 'n');
  EXPECT_EQ(FormatStatement("%s|%d", longName.c_str(), 1), longName + "|1");
  EXPECT_EQ(FormatStatement(nullptr), "");
  EXPECT_EQ(FormatStatement("%s", ""), "");
}

TEST(StatementTest, QuotingDoublesTheQuoteCharacter) {
  EXPECT_EQ(QuoteSqlText("plain"), "plain");
  EXPECT_EQ(QuoteSqlText("'"), "''");
  EXPECT_EQ(QuoteSqlText("a'b''c'"), "a''b''''c''");
  EXPECT_EQ(QuoteSqlText(""), "");
  EXPECT_EQ(QuoteSqlText(nullptr), "");

  EXPECT_EQ(platform::sql::QuoteName("Tags"), "\"Tags\"");
  EXPECT_EQ(platform::sql::QuoteName("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(platform::sql::QuoteName(""), "\"\"");
  EXPECT_EQ(platform::sql::QuoteName("\"\""), "\"\"\"\"\"\"");
  EXPECT_EQ(platform::sql::QuoteName(std::string("a\0b", 3)), std::string("\"a\0b\"", 5));
}

TEST_F(TagDatabaseTest, WriterOpensTheFileForWritingUntilClosed) {
  CADODataBase* database = OpenTagDatabase(path.c_str());
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(CoInitializeCount(), 1);
  EXPECT_TRUE(database->IsConnectionOpen());
  EXPECT_EQ(database->ConnectionString(), "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + path);
  EXPECT_TRUE(database->ExecuteStatement(
      FormatStatement(tagdb::kDeleteByIdTemplate, "Tags", "TagID", 1).c_str()));
  EXPECT_EQ(database->RecordsAffected(), 1);
  CloseTagDatabase(database);
  EXPECT_EQ(QueryValue(path, "SELECT COUNT(*) FROM Tags"), "2");
}

TEST_F(TagDatabaseTest, ReaderCannotChangeTheFile) {
  CADODataBase* database = OpenTagDatabaseReadOnly(path.c_str());
  ASSERT_NE(database, nullptr);
  EXPECT_FALSE(database->ExecuteStatement("DELETE * FROM Tags"));
  EXPECT_LT(database->LastErrorCode(), 0);
  CADORecordset recordset(database);
  EXPECT_TRUE(recordset.OpenRecordset("Tags", SourceTable));
  recordset.CloseRecordset();
  CloseTagDatabase(database);
  EXPECT_EQ(QueryValue(path, "SELECT COUNT(*) FROM Tags"), "3");
}

TEST_F(TagDatabaseTest, LookupByQuotedNameFindsExactlyThatTag) {
  CADODataBase* database = OpenTagDatabaseReadOnly(path.c_str());
  ASSERT_NE(database, nullptr);
  {
    CADORecordset recordset(database);
    const std::string query = FormatStatement(
        tagdb::kSelectIdByNameTemplate, Name(tagdb::TagIDColumn), Name(tagdb::TagsTable),
        Name(tagdb::TagNameColumn), QuoteSqlText("O'Brien").c_str());
    ASSERT_TRUE(recordset.OpenRecordset(query.c_str(), SourceQuery)) << recordset.LastErrorText();
    LONG id = 0;
    ASSERT_FALSE(recordset.AtEndOfRecords());
    EXPECT_TRUE(recordset.ReadFieldLong(0, id));
    EXPECT_EQ(id, 2);
    recordset.MoveToNextRecord();
    EXPECT_TRUE(recordset.AtEndOfRecords());
  }
  CloseTagDatabase(database);
}

TEST_F(TagDatabaseTest, FilesThatDoNotOpenYieldNullAndLeaveNothingBehind) {
  EXPECT_EQ(OpenTagDatabase(dir.File("missing.db").c_str()), nullptr);
  EXPECT_EQ(CoInitializeCount(), 0);
  EXPECT_EQ(OpenTagDatabaseReadOnly(dir.File("missing.db").c_str()), nullptr);
  EXPECT_EQ(CoInitializeCount(), 0);
  const std::string notADatabase = dir.Write("notes.txt", "this is not a database file\n");
  EXPECT_EQ(OpenTagDatabase(notADatabase.c_str()), nullptr);
  EXPECT_EQ(OpenTagDatabase(nullptr), nullptr);
  EXPECT_EQ(CoInitializeCount(), 0);
  CloseTagDatabase(nullptr);
}

TEST_F(TagDatabaseTest, ConnectionThatCannotBeCreatedRaisesInvalidPointer) {
  platform::FaultInject(platform::FaultNameCreateInstance(CLSID_Connection), E_FAIL, 0, -1);
  try {
    OpenTagDatabase(path.c_str());
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_POINTER);
  }
  EXPECT_EQ(CoInitializeCount(), 0);
}

}  // namespace
