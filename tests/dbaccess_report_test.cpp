// Turning platform failures into PlatformError, code messages and the reports that the
// connection and recordset classes keep.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbaccess/ADODataBase.h"
#include "dbaccess/ADORecordset.h"
#include "dbaccess/PlatformError.h"
#include "platform/com/com.h"
#include "platform/faults/faults.h"
#include "platform/win32/win32.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

namespace {

using dbaccess::CodeMessage;

const char kProvider[] = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));  // an unterminated last line
  return lines;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The current reference count of an object, read through an AddRef/Release pair.
ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

// An object that answers ISupportErrorInfo with S_OK for one interface only.
class FakeObject final : public ISupportErrorInfo {
 public:
  explicit FakeObject(const IID& supportedIid, bool answers = true)
      : supported(supportedIid), answersQuery(answers) {}
  HRESULT QueryInterface(const IID& iid, void** object) override {
    if (iid == IID_ISupportErrorInfo && answersQuery) {
      AddRef();
      *object = static_cast<ISupportErrorInfo*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++references; }
  ULONG Release() override { return --references; }
  HRESULT InterfaceSupportsErrorInfo(const IID& iid) override {
    return iid == supported ? S_OK : S_FALSE;
  }
  ULONG references = 1;

 private:
  IID supported;
  bool answersQuery;
};

class ReportTest : public ::testing::Test {
 protected:
  void TearDown() override {
    platform::FaultClearAll();
    SetErrorInfo(0, nullptr);
    platform::FaultSet("ProcessCodePage", "");
  }
};

TEST_F(ReportTest, CodeMessagesUseTheSystemTextOrTheFallbacks) {
  EXPECT_EQ(CodeMessage(E_FAIL), "Unspecified error");
  EXPECT_EQ(CodeMessage(E_POINTER), "Invalid pointer");
  EXPECT_EQ(CodeMessage(E_ACCESSDENIED), "Access is denied.");
  EXPECT_EQ(CodeMessage(DISP_E_TYPEMISMATCH), "Type mismatch.");

  // No text, in the dispatch range: the number after subtracting 0x200.
  EXPECT_EQ(CodeMessage(DB_E_NOTABLE), "IDispatch error #3127");
  EXPECT_EQ(CodeMessage(DB_E_ERRORSINCOMMAND), "IDispatch error #3092");
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x80040201)), "IDispatch error #1");
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x8004FFFF)), "IDispatch error #65023");

  // No text otherwise, or a dispatch number of 0: an unknown error.
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x80040200)), "Unknown error 0x80040200");
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x800401FF)), "Unknown error 0x800401FF");
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x80050000)), "Unknown error 0x80050000");
  EXPECT_EQ(CodeMessage(adErrObjectClosed), "Unknown error 0x800A0E78");
  EXPECT_EQ(CodeMessage(static_cast<HRESULT>(0x0000ABCD)), "Unknown error 0xABCD");
  platform::FaultInject("FormatMessageA", E_OUTOFMEMORY);
  EXPECT_EQ(CodeMessage(E_FAIL), "Unknown error 0x80004005");
}

TEST_F(ReportTest, PlatformErrorSharesItsErrorInfoAndConvertsItsTexts) {
  IErrorInfo* info = CreateErrorInfoObject(GUID{}, u"Quelle \u00e4", u"Fehler \u00e4");
  {
    PlatformError first(E_FAIL, info);
    EXPECT_EQ(References(info), 2u);
    PlatformError second(first);
    PlatformError third(E_POINTER);
    third = second;
    EXPECT_EQ(References(info), 4u);
    EXPECT_EQ(third.Error(), E_FAIL);
    EXPECT_EQ(third.ErrorInfo(), info);
    EXPECT_EQ(third.Source(), "Quelle \xc3\xa4");
    EXPECT_EQ(third.Description(), "Fehler \xc3\xa4");
    platform::FaultSet("ProcessCodePage", "1252");
    EXPECT_EQ(third.Description(), "Fehler \xe4");
    EXPECT_STREQ(third.what(), "Unspecified error");
    EXPECT_EQ(third.what(), third.ErrorMessage());  // computed once, kept
  }
  EXPECT_EQ(info->Release(), 0u);

  PlatformError bare(E_POINTER);
  EXPECT_EQ(bare.ErrorInfo(), nullptr);
  EXPECT_EQ(bare.Source(), "");
  EXPECT_EQ(bare.Description(), "");
}

TEST_F(ReportTest, ErrorInfoIsTakenOnlyWhenTheFailingInterfaceSupportsIt) {
  IErrorInfo* info = CreateErrorInfoObject(GUID{}, u"Src", u"Desc");
  FakeObject object(IID_Fields15);

  SetErrorInfo(0, info);
  try {
    dbaccess::CheckResult(E_FAIL, &object, IID_Fields15);
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_FAIL);
    EXPECT_EQ(error.ErrorInfo(), info);
    EXPECT_EQ(error.Source(), "Src");
  }

  SetErrorInfo(0, info);
  try {
    dbaccess::CheckResult(DB_E_NOTABLE, &object, IID_Field20);  // answered S_FALSE
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), DB_E_NOTABLE);
    EXPECT_EQ(error.ErrorInfo(), nullptr);
  }

  FakeObject silent(IID_Fields15, false);
  try {
    dbaccess::CheckResult(E_FAIL, &silent, IID_Fields15);
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.ErrorInfo(), nullptr);
  }
  SetErrorInfo(0, nullptr);

  EXPECT_NO_THROW(dbaccess::CheckResult(S_FALSE, &object, IID_Fields15));
  EXPECT_NO_THROW(dbaccess::CheckResult(S_OK, nullptr, IID_Fields15));
  EXPECT_EQ(object.references, 1u);  // every ISupportErrorInfo reference was released
  EXPECT_EQ(info->Release(), 0u);
}

TEST_F(ReportTest, BlockListsCodeMeaningSourceAndDescription) {
  IErrorInfo* info = CreateErrorInfoObject(GUID{}, u"Engine", u"No such table: X");
  EXPECT_EQ(dbaccess::FormatErrorBlock("CADORecordset Error", PlatformError(DB_E_NOTABLE, info)),
            "CADORecordset Error\n"
            "\tCode = 80040e37\n"
            "\tCode meaning = IDispatch error #3127\n"
            "\tSource = Engine\n"
            "\tDescription = No such table: X\n");
  info->Release();
  // Without error information the last two lines are empty after "= ".
  EXPECT_EQ(dbaccess::FormatErrorBlock("CADODataBase Error", PlatformError(E_POINTER)),
            "CADODataBase Error\n"
            "\tCode = 80004003\n"
            "\tCode meaning = Invalid pointer\n"
            "\tSource = \n"
            "\tDescription = \n");
}

TEST_F(ReportTest, ConversionFailuresCarryTheSystemError) {
  platform::FaultInject("MultiByteToWideChar", E_FAIL);
  try {
    SysFreeString(dbaccess::ToBstr("text"));
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(static_cast<ULONG>(error.Error()), 0x80070000u | ERROR_NO_UNICODE_TRANSLATION);
  }
  platform::FaultInject("SysAllocString", E_FAIL);
  try {
    SysFreeString(dbaccess::ToBstr("text"));
    ADD_FAILURE() << "no PlatformError";
  } catch (const PlatformError& error) {
    EXPECT_EQ(error.Error(), E_OUTOFMEMORY);
  }
  platform::FaultInject("WideCharToMultiByte", E_FAIL);
  EXPECT_THROW(dbaccess::FromWide(u"text"), PlatformError);
}

TEST_F(ReportTest, StatementOnClosedConnectionReportsConnectionStringAndEngineTexts) {
  TempDir dir;
  const std::string path = dir.File("tags.db");
  CreateDatabase(path, "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY, TagName VARCHAR(31));");
  const std::string connectionString = kProvider + path;
  CADODataBase database;
  database.SetConnectionString(connectionString.c_str());

  EXPECT_FALSE(database.ExecuteStatement("DELETE * FROM Tags"));
  const std::vector<std::string> lines = Lines(database.LastErrorText());
  ASSERT_EQ(lines.size(), 6u) << database.LastErrorText();
  EXPECT_EQ(database.LastErrorText().back(), '\n');
  EXPECT_EQ(lines[0], "Connection String = " + connectionString);
  EXPECT_EQ(lines[1], "CADODataBase Error");
  EXPECT_EQ(lines[2], "\tCode = 800a0e78");
  EXPECT_EQ(lines[3], "\tCode meaning = Unknown error 0x800A0E78");
  EXPECT_TRUE(StartsWith(lines[4], "\tSource = ") && lines[4].size() > 10) << lines[4];
  EXPECT_FALSE(database.LastErrorDescription().empty());
  EXPECT_EQ(lines[5], "\tDescription = " + database.LastErrorDescription());
  EXPECT_EQ(database.LastErrorCode(), adErrObjectClosed);

  // A later success leaves the report alone; a later failure replaces it entirely.
  const std::string report = database.LastErrorText();
  ASSERT_TRUE(database.OpenConnection("", "", ""));
  ASSERT_TRUE(database.ExecuteStatement("DELETE * FROM Tags"));
  EXPECT_EQ(database.LastErrorText(), report);
  EXPECT_FALSE(database.ExecuteStatement("DELETE * FROM Missing"));
  EXPECT_EQ(Lines(database.LastErrorText())[2], "\tCode = 80040e37");
  EXPECT_EQ(database.LastErrorCode(), DB_E_NOTABLE);
}

TEST_F(ReportTest, RecordsetReportStartsWithTheQuery) {
  TempDir dir;
  const std::string path = dir.File("tags.db");
  CreateDatabase(path, "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY);");
  CADODataBase database;
  ASSERT_TRUE(database.OpenConnection((kProvider + path).c_str(), "", ""));
  CADORecordset recordset(&database);

  EXPECT_FALSE(recordset.OpenRecordset("  NoSuchTable", SourceTable));
  const std::vector<std::string> lines = Lines(recordset.LastErrorText());
  ASSERT_EQ(lines.size(), 6u) << recordset.LastErrorText();
  EXPECT_EQ(lines[0], "Query = NoSuchTable");
  EXPECT_EQ(lines[1], "CADORecordset Error");
  EXPECT_EQ(lines[2], "\tCode = 80040e37");
  EXPECT_EQ(lines[3], "\tCode meaning = IDispatch error #3127");
  EXPECT_TRUE(StartsWith(lines[4], "\tSource = ") && lines[4].size() > 10) << lines[4];
  EXPECT_TRUE(StartsWith(lines[5], "\tDescription = ") && lines[5].size() > 15) << lines[5];
  EXPECT_EQ(recordset.LastErrorCode(), DB_E_NOTABLE);
}

}  // namespace
