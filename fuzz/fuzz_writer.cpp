// The configuration writer on records and names drawn from the input: text arrays filled to the
// last byte without a zero, names with quotes and SQL words, VARIANTs of every type (and of no
// valid type), type ids out of range, negative and null counts. Each run starts from a fresh
// copy of one database. Afterwards the file passes the engine's integrity check and keeps its
// schema; and unless a PlatformError cut a save short, no tag of a type without value table is
// left and no display or value row outlives its Tags row.
#include <fuzzer/FuzzedDataProvider.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "platform/com/com.h"

namespace {

// Types 1..5 have value tables of every column kind (5 under a name with quotes, a blank and a
// keyword column), 6 has no table, 7 an empty name; -32768 and 32767 are the edges of the ids
// a Tags row can hold.
const char kSchema[] =
    "CREATE TABLE TagTypes (TypeID LONG, TypeName VARCHAR(64), TypeLibID LONG, TypeModuleID LONG);"
    "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31), "
    "TagDesc VARCHAR(255), TagType SHORT, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT);"
    "CREATE TABLE HMIInfo (TagID LONG, FieldName VARCHAR(31), SCH DOUBLE, SCL DOUBLE, "
    "EU VARCHAR(7), Decimal LONG);"
    "CREATE TABLE Analog (TagID LONG, PV DOUBLE, Mode LONG);"
    "CREATE TABLE Numbers (TagID LONG, S SHORT, B BYTE, F BIT, R SINGLE, C CURRENCY, "
    "N DECIMAL(18,4), I8 BIGINT);"
    "CREATE TABLE Texts (TagID LONG, V VARCHAR(8), M LONGTEXT, T DATETIME, X BLOB, A);"
    "CREATE TABLE Keyed (TagID LONG UNIQUE, K LONG NOT NULL);"
    "CREATE TABLE \"it's \"\"odd\"\"\" (TagID LONG, \"select\" LONG);"
    "INSERT INTO TagTypes VALUES (1, 'Analog', 1, 1), (2, 'Numbers', 1, 2), (3, 'Texts', 1, 3), "
    "(4, 'Keyed', 1, 4), (5, 'it''s \"odd\"', 1, 5), (6, 'Orphan', 1, 6), (7, '', 1, 7), "
    "(-32768, 'Analog', 1, 1), (32767, 'Texts', 1, 3);";

const char* const kFieldNames[] = {"PV",    "Mode", "S",  "B",    "F",    "R",     "C", "N",
                                   "I8",    "V",    "M",  "T",    "X",    "A",     "K", "select",
                                   "TagID", "",     "pv", "Nope", "it's", "\"PV\""};
const char* const kNames[] = {"T1",     "T2", "it's",          "\"q\"",  "'; DROP TABLE Tags; --",
                              "SELECT", "",   "T1' OR '1'='1", "%s%d%n", "x\\y"};
const VARTYPE kTypes[] = {VT_EMPTY,
                          VT_NULL,
                          VT_I2,
                          VT_I4,
                          VT_R4,
                          VT_R8,
                          VT_CY,
                          VT_DATE,
                          VT_BSTR,
                          VT_DISPATCH,
                          VT_ERROR,
                          VT_BOOL,
                          VT_UNKNOWN,
                          VT_DECIMAL,
                          VT_I1,
                          VT_UI1,
                          VT_UI2,
                          VT_UI4,
                          VT_I8,
                          VT_UI8,
                          VT_INT,
                          VT_UINT,
                          VT_VOID,
                          VT_HRESULT,
                          VT_RECORD,
                          VT_ARRAY | VT_UI1,
                          VT_ARRAY | VT_I4,
                          VT_VARIANT,
                          0x0fff,
                          VT_BYREF | VT_I4,
                          VT_BYREF | VT_BSTR};

void Fail(const std::string& what) {
  fprintf(stderr, "%s\n", what.c_str());
  abort();
}

std::string Query(sqlite3* db, const char* sql) {
  std::string result;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr)
    result = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  sqlite3_finalize(statement);
  return result;
}

const char kSchemaQuery[] =
    "SELECT group_concat(type || ':' || name || ':' || sql, '|') FROM "
    "(SELECT * FROM sqlite_master ORDER BY name)";

// The database every run starts from, kept as bytes.
struct Template {
  std::string dir, path, bytes, schema;
};

const Template& Base() {
  static Template base;
  if (!base.dir.empty()) return base;
  // In memory when the machine offers it: every row the writer stores is a commit.
  std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  pattern += "/fuzz_writer.XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) abort();
  base.dir = pattern;
  atexit([] {
    for (const char* name : {"/tags.db", "/run.db", "/run.db-journal", ""})
      remove((Base().dir + name).c_str());
  });
  base.path = base.dir + "/tags.db";
  sqlite3* db = nullptr;
  if (sqlite3_open(base.path.c_str(), &db) != SQLITE_OK ||
      sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK)
    Fail("cannot make the base database");
  base.schema = Query(db, kSchemaQuery);
  sqlite3_close(db);
  FILE* file = fopen(base.path.c_str(), "rb");
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) base.bytes.append(buffer, got);
  fclose(file);
  return base;
}

// Fills a fixed text array: a known name, or raw bytes up to the last byte (no zero at all).
template <size_t N>
void FillText(char (&out)[N], FuzzedDataProvider& input, const char* const* names, size_t count) {
  memset(out, 0, N);
  switch (input.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      const char* name = names[input.ConsumeIntegralInRange<size_t>(0, count - 1)];
      strncpy(out, name, N);
      break;
    }
    case 1: {
      const std::string text = input.ConsumeRandomLengthString(N);
      memcpy(out, text.data(), text.size());
      break;
    }
    default:
      memset(out, 'A' + input.ConsumeIntegralInRange(0, 25), N);  // unterminated
      break;
  }
}

// What one run owns: the records, their arrays, the values and what the values point to.
class Batch {
 public:
  Batch() { referenced.reserve(64); }  // at most 36 values point into it: it never moves
  ~Batch() {
    for (auto& entries : fieldArrays)
      for (TagFieldEntry& entry : entries) Release(entry.Value);
  }

  std::vector<TagRecord> records;

  void Make(FuzzedDataProvider& input) {
    const int count = input.ConsumeIntegralInRange(0, 6);
    records.resize(static_cast<size_t>(count));
    fieldArrays.resize(records.size());
    hmiArrays.resize(records.size());
    for (size_t i = 0; i < records.size(); ++i) MakeRecord(records[i], i, input);
  }

 private:
  void MakeRecord(TagRecord& record, size_t i, FuzzedDataProvider& input) {
    memset(&record, 0, sizeof record);
    FillText(record.TagName, input, kNames, sizeof kNames / sizeof kNames[0]);
    FillText(record.TagDesc, input, kNames, sizeof kNames / sizeof kNames[0]);
    record.TagGroup = input.ConsumeIntegral<uint8_t>();
    record.AlmLevel = input.ConsumeIntegral<uint8_t>();
    record.TagLevel = input.ConsumeIntegral<uint8_t>();
    record.TagType = input.ConsumeBool() ? input.ConsumeIntegralInRange(-1, 9)
                                         : input.ConsumeIntegral<int32_t>();
    std::vector<TagFieldEntry>& fields = fieldArrays[i];
    fields.resize(input.ConsumeIntegralInRange<size_t>(0, 6));
    for (TagFieldEntry& entry : fields) {
      FillText(entry.FieldName, input, kFieldNames, sizeof kFieldNames / sizeof kFieldNames[0]);
      MakeValue(entry.Value, input);
    }
    std::vector<TagHMIEntry>& hmi = hmiArrays[i];
    hmi.resize(input.ConsumeIntegralInRange<size_t>(0, 3));
    for (TagHMIEntry& entry : hmi) {
      FillText(entry.FieldName, input, kFieldNames, sizeof kFieldNames / sizeof kFieldNames[0]);
      FillText(entry.EU, input, kFieldNames, sizeof kFieldNames / sizeof kFieldNames[0]);
      uint32_t bits = input.ConsumeIntegral<uint32_t>();
      memcpy(&entry.SCH, &bits, sizeof bits);  // any float, NaN and infinities included
      bits = input.ConsumeIntegral<uint32_t>();
      memcpy(&entry.SCL, &bits, sizeof bits);
      entry.Decimal = input.ConsumeIntegral<int32_t>();
    }
    // Counts: as many as there are, none (0 or negative), or fewer; arrays may be left out.
    const int mode = input.ConsumeIntegralInRange(0, 3);
    record.FieldValues = fields.empty() || mode == 3 ? nullptr : fields.data();
    record.FieldValueCount = mode == 1   ? -5
                             : mode == 2 ? int(fields.size() / 2)
                                         : int(fields.size());
    record.HMIEntries = hmi.empty() || mode == 3 ? nullptr : hmi.data();
    record.HMICount = mode == 1 ? INT32_MIN : int(hmi.size());
    if (mode == 3) record.FieldValueCount = record.HMICount = 3;  // counts with null arrays
  }

  void MakeValue(VARIANT& value, FuzzedDataProvider& input) {
    memset(&value, 0, sizeof value);
    value.llVal = input.ConsumeIntegral<LONGLONG>();
    value.vt =
        kTypes[input.ConsumeIntegralInRange<size_t>(0, sizeof kTypes / sizeof kTypes[0] - 1)];
    switch (value.vt) {
      case VT_DECIMAL: {  // the DECIMAL fills the whole VARIANT, its own type word aside
        const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(16);
        if (!bytes.empty()) memcpy(&value, bytes.data(), bytes.size());
        value.vt = VT_DECIMAL;
        break;
      }
      case VT_BSTR: {
        std::u16string text;
        const size_t length = input.ConsumeIntegralInRange<size_t>(0, 300);
        for (size_t i = 0; i < length && input.remaining_bytes() > 0; ++i)
          text.push_back(input.ConsumeIntegral<char16_t>());
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        break;
      }
      case VT_DISPATCH:
      case VT_UNKNOWN:
        value.punkVal = nullptr;
        break;
      case VT_ARRAY | VT_UI1: {
        const std::vector<uint8_t> bytes =
            input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 64));
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
        if (array != nullptr && !bytes.empty()) memcpy(array->pvData, bytes.data(), bytes.size());
        value.parray = array;
        break;
      }
      case VT_ARRAY | VT_I4:
      case VT_RECORD:
      case VT_VARIANT:
      case 0x0fff:
        value.byref = nullptr;  // no payload the library may follow
        break;
      case VT_BYREF | VT_I4:
        referenced.push_back(static_cast<LONG>(value.llVal));
        value.byref = &referenced.back();
        break;
      case VT_BYREF | VT_BSTR:
        value.byref = &referencedText;
        break;
      default:
        break;
    }
  }

  static void Release(VARIANT& value) {
    if (value.vt == VT_BSTR || value.vt == (VT_ARRAY | VT_UI1)) VariantClear(&value);
  }

  std::vector<std::vector<TagFieldEntry>> fieldArrays;
  std::vector<std::vector<TagHMIEntry>> hmiArrays;
  std::vector<LONG> referenced;
  BSTR referencedText = nullptr;
};

void Delete(CZEMAConfigAcs* writer, FuzzedDataProvider& input) {
  std::vector<std::string> texts;
  const size_t count = input.ConsumeIntegralInRange<size_t>(0, 5);
  for (size_t i = 0; i < count; ++i)
    texts.push_back(
        input.ConsumeBool()
            ? kNames[input.ConsumeIntegralInRange<size_t>(0, sizeof kNames / sizeof kNames[0] - 1)]
            : input.ConsumeRandomLengthString(40));
  std::vector<const char*> names;
  for (const std::string& text : texts)
    names.push_back(input.ConsumeIntegralInRange(0, 7) == 0 ? nullptr : text.c_str());
  const int result = writer->DeleteTags(names.empty() ? nullptr : names.data(),
                                        input.ConsumeBool() ? -1 : int(names.size()));
  if (result != 0 && result != 1) Fail("DeleteTags returned neither 0 nor 1");
}

// Runs the operations the input asks for; false when one of them threw a PlatformError.
bool Run(const std::string& path, FuzzedDataProvider& input) {
  bool completed = true;
  CZEMAConfigAcs* writer = CZEMAConfigAcs::Open(path.c_str());
  try {
    const int operations = input.ConsumeIntegralInRange(1, 4);
    for (int i = 0; i < operations; ++i) {
      if (input.ConsumeIntegralInRange(0, 2) == 0) {
        Delete(writer, input);
        continue;
      }
      Batch batch;
      batch.Make(input);
      const bool negative = input.ConsumeIntegralInRange(0, 15) == 0;
      const int result = writer->SaveTags(batch.records.empty() ? nullptr : batch.records.data(),
                                          negative ? -1 : int(batch.records.size()));
      if (result != (batch.records.empty() || negative ? 0 : 1))
        Fail("SaveTags gave the wrong result");
    }
  } catch (const PlatformError&) {
    // A value the platform cannot copy: rows stored before stay, the writer closes below.
    completed = false;
  }
  writer->Close();
  return completed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Template& base = Base();
  const std::string path = base.dir + "/run.db";
  FILE* file = fopen(path.c_str(), "wb");
  fwrite(base.bytes.data(), 1, base.bytes.size(), file);
  fclose(file);

  FuzzedDataProvider input(data, size);
  const bool completed = Run(path, input);
  if (CoInitializeCount() != 0) Fail("the writer left COM initialised");

  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    Fail("the database no longer opens");
  const std::string integrity = Query(db, "PRAGMA integrity_check");
  const std::string schema = Query(db, kSchemaQuery);
  // Unless a save was cut short: every tag kept has a type with a value table (the others are
  // taken back with their rows), and no display or value row outlives its Tags row.
  const std::string leftovers =
      completed ? Query(db,
                        "SELECT (SELECT count(*) FROM Tags WHERE TagType NOT IN "
                        "(1, 2, 3, 4, 5, -32768, 32767)) || ',' || (SELECT count(*) FROM "
                        "(SELECT TagID FROM HMIInfo UNION ALL SELECT TagID FROM Analog UNION ALL "
                        "SELECT TagID FROM Numbers UNION ALL SELECT TagID FROM Texts UNION ALL "
                        "SELECT TagID FROM Keyed UNION ALL SELECT TagID FROM \"it's \"\"odd\"\"\") "
                        "WHERE TagID NOT IN (SELECT TagID FROM Tags))")
                : "0,0";
  sqlite3_close(db);
  if (integrity != "ok") Fail("integrity check: " + integrity);
  if (schema != base.schema) Fail("schema changed: " + schema);
  if (leftovers != "0,0") Fail("tags of types without value table, or stray rows: " + leftovers);
  return 0;
}
