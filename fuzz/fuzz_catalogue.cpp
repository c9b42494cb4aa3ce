// The catalogue loader on tag databases drawn from the input: tables present or missing, columns
// present or missing with any declared type, values of every storage class (NULLs, huge texts,
// extreme numbers, blobs), odd table names and duplicate ids. Each run writes a fresh file with
// plain SQLite, loads it, reads back everything the catalogue offers and releases it.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/com/com.h"

namespace {

const char* const kDeclaredTypes[] = {"LONG",          "INTEGER",  "SHORT",
                                      "BYTE",          "BIT",      "SINGLE",
                                      "DOUBLE",        "CURRENCY", "DATETIME",
                                      "DECIMAL(10,2)", "DECIMAL",  "VARCHAR(4)",
                                      "VARCHAR(64)",   "LONGTEXT", "TEXT",
                                      "BLOB",          "BIGINT",   "",
                                      "NUMERIC(3,1)",  "WHATEVER", "INTEGER PRIMARY KEY"};

// Table names: the standard ones, names of SQL words, quotes and blanks, and the empty name.
const char* const kTypeNames[] = {"Analog", "Digital", "Tags", "TagTypes", "HMIInfo", "a\"b",
                                  "it's",   " ",       "",     "select",   "Analog"};

struct Table {
  const char* name;
  std::vector<const char*> columns;
};

const Table kStandardTables[] = {
    {"TagTypes", {"TypeID", "TypeName", "TypeLibID", "TypeModuleID"}},
    {"Tags", {"TagID", "TagName", "TagDesc", "TagType", "TagGroup", "TagLevel", "AlmLevel"}},
    {"HMIInfo", {"TagID", "FieldName", "SCH", "SCL", "EU", "Decimal"}},
};

std::string Identifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

class Database {
 public:
  explicit Database(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) abort();
    Exec("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN");
  }
  ~Database() {
    Exec("COMMIT");
    sqlite3_close(db);
  }
  // Statements the engine refuses (a reserved name, a duplicate table) are skipped.
  bool Exec(const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  // One row of columnCount values drawn from the input.
  void InsertRow(const std::string& table, size_t columnCount, FuzzedDataProvider& input) {
    std::string sql = "INSERT INTO " + Identifier(table) + " VALUES (";
    for (size_t i = 0; i < columnCount; ++i) sql += i == 0 ? "?" : ",?";
    sql += ")";
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) return;
    for (size_t i = 0; i < columnCount; ++i) BindValue(statement, static_cast<int>(i) + 1, input);
    sqlite3_step(statement);
    sqlite3_finalize(statement);
  }

 private:
  void BindValue(sqlite3_stmt* statement, int index, FuzzedDataProvider& input) {
    switch (input.ConsumeIntegralInRange(0, 9)) {
      case 0:
        sqlite3_bind_null(statement, index);
        break;
      case 1:  // small ids, so that rows of different tables meet and ids repeat
        sqlite3_bind_int(statement, index, input.ConsumeIntegralInRange(-2, 6));
        break;
      case 2:
        sqlite3_bind_int64(statement, index, input.ConsumeIntegral<int64_t>());
        break;
      case 3:
        sqlite3_bind_double(statement, index, input.ConsumeFloatingPoint<double>());
        break;
      case 4: {
        const std::string text = input.ConsumeRandomLengthString(64);
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        break;
      }
      case 5: {  // a huge text made of a short piece
        const std::string piece = input.ConsumeRandomLengthString(8) + "x";
        std::string text;
        // Mostly a few hundred bytes; now and then beyond 64 KiB (every byte costs time).
        const size_t length = input.ConsumeIntegralInRange(0, 7) == 0
                                  ? input.ConsumeIntegralInRange<size_t>(65000, 70000)
                                  : input.ConsumeIntegralInRange<size_t>(256, 2000);
        while (text.size() < length) text += piece;
        sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        break;
      }
      case 6: {
        const std::string bytes = input.ConsumeRandomLengthString(32);
        sqlite3_bind_blob(statement, index, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT);
        break;
      }
      case 7: {  // a name a value table may have
        const char* name = kTypeNames[input.ConsumeIntegralInRange<size_t>(
            0, sizeof kTypeNames / sizeof kTypeNames[0] - 1)];
        sqlite3_bind_text(statement, index, name, -1, SQLITE_TRANSIENT);
        break;
      }
      case 8: {  // text that looks like a number or a date
        const char* const texts[] = {
            "00123",      "1e308", "-0", "2015-03-04 08:30:00", "9999-12-31 23:59:59.999",
            "0100-01-01", "nan",   "1.5"};
        sqlite3_bind_text(statement, index, texts[input.ConsumeIntegralInRange(0, 7)], -1,
                          SQLITE_STATIC);
        break;
      }
      default:
        sqlite3_bind_int(statement, index, input.ConsumeBool() ? INT32_MAX : INT32_MIN);
        break;
    }
  }

  sqlite3* db = nullptr;
};

const char* PickType(FuzzedDataProvider& input) {
  return kDeclaredTypes[input.ConsumeIntegralInRange<size_t>(
      0, sizeof kDeclaredTypes / sizeof kDeclaredTypes[0] - 1)];
}

// A table with some of the wanted columns (each with a type drawn from the input), perhaps an
// extra column, then up to a few rows.
void MakeTable(Database& database, const std::string& name, const std::vector<const char*>& wanted,
               FuzzedDataProvider& input) {
  std::string sql = "CREATE TABLE " + Identifier(name) + " (";
  size_t columns = 0;
  for (const char* column : wanted) {
    if (input.ConsumeIntegralInRange(0, 7) == 0) continue;  // a missing column
    sql += (columns++ == 0 ? "" : ", ") + Identifier(column) + " " + PickType(input);
  }
  if (columns == 0 || input.ConsumeIntegralInRange(0, 5) == 0)
    sql += (columns++ == 0 ? "" : ", ") + Identifier(input.ConsumeRandomLengthString(12)) + " " +
           PickType(input);
  sql += ")";
  if (!database.Exec(sql)) return;
  const int rows = input.ConsumeIntegralInRange(0, 6);
  for (int i = 0; i < rows; ++i) database.InsertRow(name, columns, input);
}

void Fail(const char* what) {
  fprintf(stderr, "%s\n", what);
  abort();
}

// Reads everything the catalogue offers about its tags.
void ReadCatalogue(CZEMATagAcs* catalogue) {
  const int count = catalogue->GetTagCount();
  if (count < 0) Fail("negative tag count");
  std::vector<CZEMATag*> tags(static_cast<size_t>(count) + 1);
  int filled = -1;
  catalogue->GetTags(0, static_cast<int>(tags.size()), &filled, tags.data());
  if (filled < 0 || filled > count) Fail("GetTags filled more than the catalogue holds");
  for (int i = 0; i < filled; ++i) {
    CZEMATag* tag = tags[static_cast<size_t>(i)];
    if (tag == nullptr || tag->GetName() == nullptr || tag->GetDesc() == nullptr)
      Fail("a delivered tag lacks its texts");
    CZEMATagType* type = tag->GetType();
    if (type == nullptr) Fail("GetTags delivered a tag without a type");
    type->GetLibID();
    type->GetModuleID();
    tag->GetGroup();
    tag->GetLevel();
    tag->GetAlmLevel();
    if (tag->GetFieldCount() < 0) Fail("negative field count");
    TagFieldValue fields[40];
    for (auto& field : fields) VariantInit(&field.value);
    for (int kind : {ZEMA_KIND_ALL, ZEMA_KIND_INPUT, ZEMA_KIND_OUTPUT, ZEMA_KIND_NONE}) {
      int got = -1;
      if (tag->GetFields(kind, 40, &got, fields) != 1) Fail("GetFields refused a typed tag");
      if (got < 0 || got > 40) Fail("GetFields filled a wrong count");
      for (int f = 0; f < got; ++f) {
        TagHMIInfo info;
        tag->GetHMIInfo(fields[f].name, &info);
      }
    }
    for (auto& field : fields) VariantClear(&field.value);
    TagHMIInfo info;
    tag->GetHMIInfo("", &info);
    tag->GetHMIInfo(nullptr, &info);
  }
}

std::string WorkDir() {
  static std::string dir;
  if (dir.empty()) {
    std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";  // in memory
    pattern += "/fuzz_catalogue.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) abort();
    dir = pattern;
    atexit([] {
      for (const char* name :
           {"/tags.db", "/FBLib/lib/m.xml", "/FBLib/lib", "/FBLib/FBLib.xml", "/FBLib", ""})
        remove((WorkDir() + name).c_str());
    });
    // A library catalogue naming library 1, module 1, so that types of those ids get kinds.
    const std::string fblib = dir + "/FBLib";
    mkdir(fblib.c_str(), 0700);
    mkdir((fblib + "/lib").c_str(), 0700);
    FILE* file = fopen((fblib + "/FBLib.xml").c_str(), "w");
    fputs(
        "<FBLib><Lib libid=\"1\" libcfg=\"lib\"><FB moduleid=\"1\" modulecfg=\"m.xml\"/></Lib>"
        "</FBLib>",
        file);
    fclose(file);
    file = fopen((fblib + "/lib/m.xml").c_str(), "w");
    fputs(
        "<FB><module><fieldattr><field name=\"PV\" attr=\"in\"/><field name=\"Mode\" "
        "attr=\"out\"/><field name=\"\" attr=\"in\"/></fieldattr></module></FB>",
        file);
    fclose(file);
    setenv("HVK_NLS_DIR", dir.c_str(), 1);
  }
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = WorkDir() + "/tags.db";
  unlink(path.c_str());
  FuzzedDataProvider input(data, size);
  {
    Database database(path);
    for (const Table& table : kStandardTables)
      if (input.ConsumeIntegralInRange(0, 9) != 0)
        MakeTable(database, table.name, table.columns, input);
    // Value tables: standard names and odd ones, with the columns the catalogue knows of.
    const int valueTables = input.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < valueTables; ++i) {
      std::string name = input.ConsumeBool() ? kTypeNames[input.ConsumeIntegralInRange<size_t>(
                                                   0, sizeof kTypeNames / sizeof kTypeNames[0] - 1)]
                                             : input.ConsumeRandomLengthString(16);
      MakeTable(database, name, {"TagID", "PV", "Mode", "TagID", "Text"}, input);
    }
  }

  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  if (catalogue == nullptr) Fail("no catalogue");
  try {
    const int loaded = catalogue->Load(path.c_str());
    if (loaded != 0 && loaded != 1) Fail("Load returned neither 0 nor 1");
    if (loaded == 0 && catalogue->GetTagCount() != 0) Fail("a refused Load changed the catalogue");
  } catch (const PlatformError&) {
    // The engine failed while reading: what was added before stays, and is read below.
  }
  ReadCatalogue(catalogue);
  CZEMATagAcs::Release();
  if (CoInitializeCount() != 0) Fail("Load left COM initialised");
  return 0;
}
