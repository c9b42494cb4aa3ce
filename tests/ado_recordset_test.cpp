// Recordset, Fields, Field and Command of the data-access objects: walking rows, adding rows,
// column order, and the errors each misuse reports.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>
#include <vector>

#include "platform/ado/ado.h"
#include "platform/faults/faults.h"
#include "support/AdoTestObjects.h"
#include "support/SqliteFile.h"
#include "support/TempDir.h"

using namespace adotest;

namespace {

constexpr char kSchema[] =
    "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31) NOT NULL,"
    " TagDesc VARCHAR(255), TagType SMALLINT, TagLevel SMALLINT DEFAULT 3);"
    "CREATE TABLE Ordered (Zeta INTEGER, Alpha LONGTEXT, Mid DOUBLE);"
    "INSERT INTO Ordered VALUES (1, 'one', 1.5), (2, 'two', 2.5), (3, NULL, 3.5);"
    "CREATE TABLE Numbered (Num COUNTER, Name LONGTEXT);"
    "CREATE VIEW Seconds AS SELECT Alpha, Zeta FROM Ordered WHERE Zeta >= 2 ORDER BY Zeta;";

class AdoRecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitialize(nullptr);
    path = dir.File("tags.db");
    CreateDatabase(path, kSchema);
    HRESULT hr;
    connection = Connect(ConnectionString(path), adModeWrite, &hr);
    ASSERT_EQ(hr, S_OK);
  }
  void TearDown() override {
    connection.Reset();
    platform::FaultClearAll();
    CoUninitialize();
  }

  Ref<ADORecordset> Open(const std::u16string& source, LONG options) {
    HRESULT hr;
    Ref<ADORecordset> recordset = OpenSource(connection.get(), source, options, &hr);
    EXPECT_EQ(hr, S_OK) << TakeError().description;
    return recordset;
  }

  // Every row as "v1|v2|..." read by position, NULL as "-".
  static std::vector<std::string> Rows(ADORecordset* recordset) {
    std::vector<std::string> rows;
    Ref<ADOFields> fields;
    EXPECT_EQ(recordset->get_Fields(fields.Out()), S_OK);
    LONG count = 0;
    fields->get_Count(&count);
    while (!AtEof(recordset)) {
      std::string row;
      for (LONG i = 0; i < count; ++i) {
        VARIANT index;
        index.vt = VT_I2;
        index.iVal = static_cast<SHORT>(i);
        Ref<ADOField> field;
        EXPECT_EQ(fields->get_Item(index, field.Out()), S_OK);
        VARIANT value;
        EXPECT_EQ(field->get_Value(&value), S_OK);
        VARIANT text;
        VariantInit(&text);
        if (value.vt == VT_NULL)
          row += "-";
        else if (SUCCEEDED(VariantChangeType(&text, &value, 0, VT_BSTR)))
          row += Narrow(text.bstrVal);
        VariantClear(&text);
        VariantClear(&value);
        if (i + 1 < count) row += "|";
      }
      rows.push_back(row);
      EXPECT_EQ(recordset->MoveNext(), S_OK);
    }
    return rows;
  }

  TempDir dir;
  std::string path;
  Ref<ADOConnection> connection;
};

TEST_F(AdoRecordsetTest, ColumnsKeepTheTableOrderForListingAndReading) {
  for (ConnectModeEnum mode : {adModeRead, adModeWrite}) {
    HRESULT hr;
    Ref<ADOConnection> reader = Connect(ConnectionString(path), mode, &hr);
    ASSERT_EQ(hr, S_OK);
    for (LONG options : {LONG(adCmdTable), LONG(adCmdUnknown)}) {
      Ref<ADORecordset> recordset =
          OpenSource(reader.get(), options == adCmdTable ? u"Ordered" : u"SELECT * FROM Ordered",
                     options, &hr);
      ASSERT_EQ(hr, S_OK);
      Ref<ADOFields> fields;
      ASSERT_EQ(recordset->get_Fields(fields.Out()), S_OK);
      LONG count = 0;
      ASSERT_EQ(fields->get_Count(&count), S_OK);
      ASSERT_EQ(count, 3);
      std::string names;
      for (SHORT i = 0; i < count; ++i) {
        VARIANT index;
        index.vt = VT_I2;
        index.iVal = i;
        Ref<ADOField> field;
        ASSERT_EQ(fields->get_Item(index, field.Out()), S_OK);
        BSTR name = nullptr;
        ASSERT_EQ(field->get_Name(&name), S_OK);
        names += Narrow(name) + ",";
        SysFreeString(name);
      }
      EXPECT_EQ(names, "Zeta,Alpha,Mid,");
      EXPECT_EQ(Rows(recordset.get()),
                (std::vector<std::string>{"1|one|1.5", "2|two|2.5", "3|-|3.5"}))
          << "mode " << mode << " options " << options;
      // EOF stays; moving past it fails with error information.
      EXPECT_TRUE(AtEof(recordset.get()));
      EXPECT_EQ(recordset->MoveNext(), adErrNoCurrentRecord);
      ErrorText error = TakeError();
      EXPECT_EQ(error.source, "ADODB.Recordset");
      EXPECT_FALSE(error.description.empty());
      VARIANT value = ValueOf(recordset.get(), u"Zeta");
      EXPECT_EQ(value.vt, VT_ERROR);
      EXPECT_EQ(value.scode, adErrNoCurrentRecord);
      EXPECT_TRUE(TakeError().present);
    }
  }
}

TEST_F(AdoRecordsetTest, FieldsAreFoundByExactOrCaseInsensitiveNameAndHandedOutAgain) {
  Ref<ADORecordset> recordset = Open(u"Ordered", adCmdTable);
  Ref<ADOFields> first, second;
  ASSERT_EQ(recordset->get_Fields(first.Out()), S_OK);
  ASSERT_EQ(recordset->get_Fields(second.Out()), S_OK);
  EXPECT_EQ(first.get(), second.get());

  HRESULT hr;
  VARIANT exact = Text(u"Alpha"), folded = Text(u"aLPHA"), unknown = Text(u"Beta");
  Ref<ADOField> a = FieldOf(recordset.get(), exact, &hr);
  ASSERT_EQ(hr, S_OK);
  Ref<ADOField> b = FieldOf(recordset.get(), folded, &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(a.get(), b.get());
  Ref<ADOField> missing = FieldOf(recordset.get(), unknown, &hr);
  EXPECT_EQ(hr, adErrItemNotFound);
  EXPECT_FALSE(missing);
  ErrorText error = TakeError();
  EXPECT_EQ(error.source, "ADODB.Fields");
  EXPECT_NE(error.description.find("Beta"), std::string::npos);
  VariantClear(&exact), VariantClear(&folded), VariantClear(&unknown);

  VARIANT outOfRange;
  outOfRange.vt = VT_I4;
  outOfRange.lVal = 3;
  FieldOf(recordset.get(), outOfRange, &hr);
  EXPECT_EQ(hr, adErrItemNotFound);
  outOfRange.lVal = -1;
  FieldOf(recordset.get(), outOfRange, &hr);
  EXPECT_EQ(hr, adErrItemNotFound);
  VARIANT wrongType = R8(1.0);
  FieldOf(recordset.get(), wrongType, &hr);
  EXPECT_EQ(hr, adErrItemNotFound);
}

TEST_F(AdoRecordsetTest, UpdateStoresTheRowAndMakesItCurrentWithItsNumber) {
  Ref<ADORecordset> recordset = Open(u"Tags", adCmdTable);
  for (int n = 1; n <= 2; ++n) {
    ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
    EXPECT_FALSE(AtEof(recordset.get()));
    VARIANT name = Text(n == 1 ? u"Pump1" : u"Pump2");
    ASSERT_EQ(PutValue(recordset.get(), u"TagName", name), S_OK);
    VariantClear(&name);
    VARIANT type;
    type.vt = VT_I2;
    type.iVal = 12;
    ASSERT_EQ(PutValue(recordset.get(), u"TagType", type), S_OK);
    ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);

    VARIANT id = ValueOf(recordset.get(), u"TagID");
    EXPECT_EQ(id.vt, VT_I4);
    EXPECT_EQ(id.lVal, n);
    VARIANT level = ValueOf(recordset.get(), u"TagLevel");  // the column default reads back
    EXPECT_EQ(level.vt, VT_I2);
    EXPECT_EQ(level.iVal, 3);
    EXPECT_EQ(ValueOf(recordset.get(), u"TagDesc").vt, VT_NULL);
    EXPECT_FALSE(AtEof(recordset.get()));
    EXPECT_EQ(recordset->MoveNext(), S_OK);
    EXPECT_TRUE(AtEof(recordset.get()));
  }
  EXPECT_EQ(QueryValue(path, "SELECT group_concat(TagID || ':' || TagName, ',') FROM Tags"),
            "1:Pump1,2:Pump2");
  // A field written outside a new row is refused.
  EXPECT_EQ(PutValue(recordset.get(), u"TagName", I4(1)), adErrFeatureNotAvailable);
  EXPECT_TRUE(TakeError().present);
}

TEST_F(AdoRecordsetTest, CounterColumnsAreNumberedAndEachRowStoresOnlyItsAssignedColumns) {
  Ref<ADORecordset> recordset = Open(u"Numbered", adCmdTable);
  // The second row assigns a different set of columns than the first and the third.
  for (const char16_t* name : {u"a", u"", u"c"}) {
    ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
    if (*name != u'\0') {
      VARIANT text = Text(name);
      ASSERT_EQ(PutValue(recordset.get(), u"Name", text), S_OK);
      VariantClear(&text);
    }
    ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);
  }
  VARIANT num = ValueOf(recordset.get(), u"Num");
  EXPECT_EQ(num.vt, VT_I4);
  EXPECT_EQ(num.lVal, 3);
  EXPECT_EQ(QueryValue(path, "SELECT group_concat(Num || coalesce(Name, '-'), ',') FROM Numbered"),
            "1a,2-,3c");
}

TEST_F(AdoRecordsetTest, CounterColumnsContinueAfterTheLargestNumberLeft) {
  // Rows 2 and 3 are left after row 1 goes: the next row is 4, not the row count plus one.
  Ref<ADORecordset> recordset = Open(u"Numbered", adCmdTable);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
    ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);
  }
  Bstr remove(std::string("DELETE * FROM Numbered WHERE Num = 1"));
  ASSERT_EQ(connection->Execute(remove.get(), nullptr, adExecuteNoRecords, nullptr), S_OK);
  ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
  ASSERT_EQ(recordset->Update(Missing(), Missing()), S_OK);
  VARIANT num = ValueOf(recordset.get(), u"Num");
  EXPECT_EQ(num.vt, VT_I4);
  EXPECT_EQ(num.lVal, 4);
  EXPECT_EQ(QueryValue(path, "SELECT group_concat(Num, ',') FROM Numbered"), "2,3,4");
}

TEST_F(AdoRecordsetTest, RefusedUpdateKeepsTheRowPendingUntilCancelled) {
  Ref<ADORecordset> recordset = Open(u"Tags", adCmdTable);
  ASSERT_EQ(recordset->AddNew(Missing(), Missing()), S_OK);
  VARIANT desc = Text(u"no name");
  ASSERT_EQ(PutValue(recordset.get(), u"TagDesc", desc), S_OK);
  VariantClear(&desc);
  EXPECT_EQ(recordset->Update(Missing(), Missing()), DB_E_INTEGRITYVIOLATION);
  ErrorText error = TakeError();
  EXPECT_EQ(error.source, "SQLite");
  EXPECT_NE(error.description.find("NOT NULL"), std::string::npos) << error.description;
  VARIANT pending = ValueOf(recordset.get(), u"TagDesc");
  ASSERT_EQ(pending.vt, VT_BSTR);
  EXPECT_EQ(Narrow(pending.bstrVal), "no name");
  VariantClear(&pending);
  EXPECT_EQ(recordset->CancelUpdate(), S_OK);
  EXPECT_TRUE(AtEof(recordset.get()));
  EXPECT_EQ(QueryValue(path, "SELECT count(*) FROM Tags"), "0");
  EXPECT_EQ(recordset->Close(), S_OK);
}

TEST_F(AdoRecordsetTest, OpenReportsMissingTablesBadStatementsAndBadConnections) {
  HRESULT hr;
  OpenSource(connection.get(), u"NoSuchTable", adCmdTable, &hr);
  EXPECT_EQ(hr, DB_E_NOTABLE);
  ErrorText error = TakeError();
  EXPECT_NE(error.description.find("NoSuchTable"), std::string::npos) << error.description;
  OpenSource(connection.get(), u"SELECT * FROM NoSuchTable", adCmdUnknown, &hr);
  EXPECT_EQ(hr, DB_E_NOTABLE);
  EXPECT_EQ(TakeError().source, "SQLite");
  OpenSource(connection.get(), u"SELEKT Zeta FROM Ordered", adCmdUnknown, &hr);
  EXPECT_EQ(hr, DB_E_ERRORSINCOMMAND);
  EXPECT_NE(TakeError().description.find("syntax error"), std::string::npos);

  Ref<ADORecordset> recordset = NewRecordset();
  VARIANT source = Text(u"Ordered"), noConnection;
  noConnection.vt = VT_EMPTY;
  EXPECT_EQ(recordset->Open(source, noConnection, adOpenKeyset, adLockOptimistic, adCmdTable),
            adErrInvalidConnection);
  EXPECT_TRUE(TakeError().present);
  VariantClear(&source);

  // A bare name given as a command opens the table; trailing statements are refused.
  Ref<ADORecordset> byName = OpenSource(connection.get(), u"Ordered", adCmdUnknown, &hr);
  EXPECT_EQ(hr, S_OK);
  EXPECT_FALSE(TakeError().present);
  EXPECT_EQ(Rows(byName.get()).size(), 3u);
  OpenSource(connection.get(), u"SELECT * FROM Ordered; DELETE FROM Ordered", adCmdUnknown, &hr);
  EXPECT_EQ(hr, DB_E_ERRORSINCOMMAND);
  EXPECT_TRUE(TakeError().present);
  EXPECT_EQ(QueryValue(path, "SELECT count(*) FROM Ordered"), "3");

  // A query cannot take new rows.
  Ref<ADORecordset> query = Open(u"SELECT * FROM Ordered", adCmdUnknown);
  EXPECT_EQ(query->AddNew(Missing(), Missing()), adErrFeatureNotAvailable);
  EXPECT_TRUE(TakeError().present);
}

TEST_F(AdoRecordsetTest, ClosedObjectsReportObjectClosed) {
  Ref<ADORecordset> recordset = Open(u"Ordered", adCmdTable);
  Ref<ADOFields> fields;
  ASSERT_EQ(recordset->get_Fields(fields.Out()), S_OK);
  VARIANT index = I4(0);
  Ref<ADOField> field;
  ASSERT_EQ(fields->get_Item(index, field.Out()), S_OK);
  ASSERT_EQ(recordset->put_Sort(Bstr(std::string{}).get()), S_OK);
  EXPECT_EQ(recordset->put_Sort(Bstr(std::string("Zeta DESC")).get()), adErrFeatureNotAvailable);
  ASSERT_EQ(recordset->Close(), S_OK);

  LONG state = -1;
  EXPECT_EQ(recordset->get_State(&state), S_OK);
  EXPECT_EQ(state, adStateClosed);
  VARIANT_BOOL eof;
  EXPECT_EQ(recordset->get_EOF(&eof), adErrObjectClosed);
  ErrorText error = TakeError();
  EXPECT_EQ(error.source, "ADODB.Recordset");
  EXPECT_FALSE(error.description.empty());
  EXPECT_EQ(recordset->MoveNext(), adErrObjectClosed);
  EXPECT_EQ(recordset->Close(), adErrObjectClosed);
  VARIANT value;
  EXPECT_EQ(field->get_Value(&value), adErrObjectClosed);
  EXPECT_EQ(TakeError().source, "ADODB.Field");
  LONG count;
  EXPECT_EQ(fields->get_Count(&count), adErrObjectClosed);

  // Closing the connection closes the recordsets open on it.
  Ref<ADORecordset> other = Open(u"Ordered", adCmdTable);
  ASSERT_EQ(connection->Close(), S_OK);
  EXPECT_EQ(other->get_State(&state), S_OK);
  EXPECT_EQ(state, adStateClosed);
  EXPECT_EQ(other->get_EOF(&eof), adErrObjectClosed);
}

TEST_F(AdoRecordsetTest, ReadWriteRecordsetsLeaveNoTransactionPendingBetweenCalls) {
  // A table opened only to add rows reads nothing, and rows read once are held in memory: in
  // both cases another connection can take the write lock at once.
  Ref<ADORecordset> adding = Open(u"Tags", adCmdTable);
  Ref<ADORecordset> reading = Open(u"SELECT * FROM Ordered", adCmdUnknown);
  EXPECT_FALSE(AtEof(reading.get()));
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE; DELETE FROM Ordered; COMMIT;", nullptr, nullptr,
                         nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(other);
  sqlite3_close(other);
  // The rows already fetched stay readable.
  EXPECT_EQ(Rows(reading.get()).size(), 3u);
}

TEST_F(AdoRecordsetTest, CommandRunsASavedQueryAsARecordset) {
  RegisterAdoClasses();
  Ref<IUnknown> unknown;
  ASSERT_EQ(CoCreateInstance(CLSID_Command, nullptr, CLSCTX_ALL_LOCAL, IID_IUnknown,
                             reinterpret_cast<void**>(unknown.Out())),
            S_OK);
  Ref<ADOCommand> command;
  ASSERT_EQ(unknown->QueryInterface(IID_Command, reinterpret_cast<void**>(command.Out())), S_OK);
  ASSERT_EQ(command->putref_ActiveConnection(connection.get()), S_OK);
  ASSERT_EQ(command->put_CommandText(Bstr(std::string("Seconds")).get()), S_OK);
  ASSERT_EQ(command->put_CommandType(adCmdStoredProc), S_OK);
  Ref<ADORecordset> recordset;
  ASSERT_EQ(command->Execute(nullptr, nullptr, 1, recordset.Out()), S_OK);
  LONG state = 0;
  ASSERT_EQ(recordset->get_State(&state), S_OK);
  EXPECT_EQ(state, adStateOpen);
  EXPECT_EQ(Rows(recordset.get()), (std::vector<std::string>{"two|2", "-|3"}));

  ASSERT_EQ(command->put_CommandText(Bstr(std::string("NoSuchQuery")).get()), S_OK);
  EXPECT_EQ(command->Execute(nullptr, nullptr, 1, recordset.Out()), DB_E_NOTABLE);
  EXPECT_FALSE(recordset);
  EXPECT_TRUE(TakeError().present);
}

TEST_F(AdoRecordsetTest, InjectedFaultsFailTheNamedCallWithErrorInfo) {
  Ref<ADORecordset> recordset = Open(u"Ordered", adCmdTable);
  const char* calls[] = {"Recordset.EOF.get", "Recordset.MoveNext", "Recordset.Fields.get",
                         "Recordset.AddNew",  "Fields.Item.get",    "Field.Value.get"};
  for (const char* call : calls) {
    platform::FaultInject(call, E_OUTOFMEMORY);
    VARIANT_BOOL eof;
    HRESULT hr = S_OK;
    const std::string name = call;
    if (name == "Recordset.EOF.get") hr = recordset->get_EOF(&eof);
    if (name == "Recordset.MoveNext") hr = recordset->MoveNext();
    if (name == "Recordset.AddNew") hr = recordset->AddNew(Missing(), Missing());
    if (name == "Recordset.Fields.get" || name == "Fields.Item.get")
      FieldOf(recordset.get(), I4(0), &hr);
    if (name == "Field.Value.get") {
      VARIANT value = ValueOf(recordset.get(), u"Zeta");
      hr = value.scode;
    }
    EXPECT_EQ(hr, E_OUTOFMEMORY) << call;
    ErrorText error = TakeError();
    EXPECT_NE(error.description.find(call), std::string::npos) << call;
  }
  // Nothing was disturbed: the first row is still current.
  VARIANT zeta = ValueOf(recordset.get(), u"Zeta");
  EXPECT_EQ(zeta.vt, VT_I4);
  EXPECT_EQ(zeta.lVal, 1);
}

}  // namespace
