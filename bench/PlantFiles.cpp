#include "PlantFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "PlantModel.h"
#include "Sqlite.h"

namespace bench {

namespace {

void MakeDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
    throw std::runtime_error("mkdir " + path + ": " + std::strerror(errno));
}

void WriteFile(const std::string& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

void CreateLayout(SqliteDb& db, int types) {
  db.Exec(
      "CREATE TABLE TagTypes (TypeID LONG, TypeName VARCHAR(64), TypeLibID LONG, "
      "TypeModuleID LONG)");
  db.Exec(
      "CREATE TABLE Tags (TagID INTEGER PRIMARY KEY AUTOINCREMENT, TagName VARCHAR(31), "
      "TagDesc VARCHAR(255), TagType SHORT, TagGroup SHORT, TagLevel SHORT, AlmLevel SHORT)");
  db.Exec(
      "CREATE TABLE HMIInfo (TagID LONG, FieldName VARCHAR(31), SCH DOUBLE, SCL DOUBLE, "
      "EU VARCHAR(7), \"Decimal\" LONG)");
  db.Exec("CREATE INDEX Tags_TagName ON Tags (TagName)");
  db.Exec("CREATE INDEX HMIInfo_TagID ON HMIInfo (TagID)");
  SqliteStatement typeRow(db, "INSERT INTO TagTypes VALUES (?, ?, ?, ?)");
  for (int type = 1; type <= types; ++type) {
    std::string sql = "CREATE TABLE " + QuoteIdentifier(TypeName(type)) + " (TagID LONG";
    for (const FieldSpec& field : Fields())
      sql += ", " + QuoteIdentifier(field.name) + " " + field.declaredType;
    db.Exec(sql + ")");
    db.Exec("CREATE INDEX " + QuoteIdentifier(TypeName(type) + "_TagID") + " ON " +
            QuoteIdentifier(TypeName(type)) + " (TagID)");
    const std::string name = TypeName(type);
    sqlite3_bind_int(typeRow.Handle(), 1, type);
    sqlite3_bind_text(typeRow.Handle(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int(typeRow.Handle(), 3, TypeLibId(type));
    sqlite3_bind_int(typeRow.Handle(), 4, TypeModuleId(type));
    typeRow.Run();
  }
}

void BindFieldValue(sqlite3_stmt* statement, int column, int tag, int field) {
  switch (Fields()[field].type) {
    case FieldType::Long:
      sqlite3_bind_int(statement, column, LongValue(tag, field));
      break;
    case FieldType::Double:
      sqlite3_bind_double(statement, column, DoubleValue(tag, field));
      break;
    case FieldType::Bit:
      sqlite3_bind_int(statement, column, BitValue(tag, field) ? 1 : 0);
      break;
    case FieldType::Text:
      sqlite3_bind_text(statement, column, TextValue(tag, field).c_str(), -1, SQLITE_TRANSIENT);
      break;
    case FieldType::DateTime:
      sqlite3_bind_text(statement, column, DateText(DateValue(tag, field)).c_str(), -1,
                        SQLITE_TRANSIENT);
      break;
    case FieldType::Currency:
      sqlite3_bind_double(statement, column, CurrencyTenThousandths(tag, field) / 10000.0);
      break;
  }
}

}  // namespace

void RemoveDatabase(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
}

void CopyDatabase(const std::string& from, const std::string& to) {
  // Readers leave an empty log behind; a log with frames holds rows the copy would miss.
  struct stat log {};
  if (stat((from + "-wal").c_str(), &log) == 0 && log.st_size > 0)
    throw std::runtime_error(from + " has a write-ahead log that is not checkpointed");
  RemoveDatabase(to);
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  if (!in || !out) throw std::runtime_error("cannot copy " + from + " to " + to);
}

void WritePlantDatabase(const std::string& path, int tags, int types) {
  RemoveDatabase(path);
  {
    SqliteDb db(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Exec("PRAGMA journal_mode=WAL");
    db.Exec("PRAGMA synchronous=OFF");
    db.Exec("BEGIN");
    CreateLayout(db, types);
    SqliteStatement tagRow(db,
                           "INSERT INTO Tags (TagID, TagName, TagDesc, TagType, TagGroup, "
                           "TagLevel, AlmLevel) VALUES (?, ?, ?, ?, ?, ?, ?)");
    SqliteStatement hmiRow(db, "INSERT INTO HMIInfo VALUES (?, ?, ?, ?, ?, ?)");
    std::vector<SqliteStatement> valueRows;
    const int fields = static_cast<int>(Fields().size());
    for (int type = 1; type <= types; ++type) {
      std::string sql = "INSERT INTO " + QuoteIdentifier(TypeName(type)) + " VALUES (?";
      for (int i = 0; i < fields; ++i) sql += ", ?";
      valueRows.emplace_back(db, sql + ")");
    }
    for (int tag = 1; tag <= tags; ++tag) {
      const int type = TagType(tag, types);
      sqlite3_stmt* s = tagRow.Handle();
      sqlite3_bind_int(s, 1, tag);
      sqlite3_bind_text(s, 2, TagName(tag).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(s, 3, TagDesc(tag, types).c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(s, 4, type);
      sqlite3_bind_int(s, 5, TagGroup(tag));
      sqlite3_bind_int(s, 6, TagLevel(tag));
      sqlite3_bind_int(s, 7, AlmLevel(tag));
      tagRow.Run();
      for (int row = 0; row < kHmiRowsPerTag; ++row) {
        const HmiSpec hmi = Hmi(tag, row);
        s = hmiRow.Handle();
        sqlite3_bind_int(s, 1, tag);
        sqlite3_bind_text(s, 2, hmi.fieldName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_double(s, 3, hmi.sch);
        sqlite3_bind_double(s, 4, hmi.scl);
        sqlite3_bind_text(s, 5, hmi.eu.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(s, 6, hmi.decimals);
        hmiRow.Run();
      }
      SqliteStatement& valueRow = valueRows[type - 1];
      sqlite3_bind_int(valueRow.Handle(), 1, tag);
      for (int field = 0; field < fields; ++field)
        BindFieldValue(valueRow.Handle(), field + 2, tag, field);
      valueRow.Run();
    }
    db.Exec("COMMIT");
  }
  // The last connection's close checkpoints the log and removes it; the file stays in WAL mode.
  if (access((path + "-wal").c_str(), F_OK) == 0)
    throw std::runtime_error(path + ": the write-ahead log was not checkpointed");
}

void WriteCatalogue(const std::string& nlsDir, int types) {
  MakeDirectory(nlsDir);
  MakeDirectory(nlsDir + "/FBLib");
  const int perLibrary = kCatalogueBlocks / kCatalogueLibraries;
  std::string catalogue = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FBLib version=\"2.1\">\n";
  for (int lib = 1; lib <= kCatalogueLibraries; ++lib) {
    MakeDirectory(nlsDir + "/FBLib/" + LibraryFolder(lib));
    catalogue += "  <Lib libid=\"" + std::to_string(lib) + "\" libcfg=\"" + LibraryFolder(lib) +
                 "\" name=\"Library " + std::to_string(lib) + "\">\n";
    for (int module = 1; module <= perLibrary; ++module) {
      catalogue += "    <FB moduleid=\"" + std::to_string(module) + "\" modulecfg=\"" +
                   ModuleFile(lib, module) + "\" name=\"Block " + std::to_string(lib) + "." +
                   std::to_string(module) + "\" desc=\"Function block &amp; its fields\"/>\n";
    }
    catalogue += "  </Lib>\n";
  }
  catalogue += "</FBLib>\n";
  WriteFile(nlsDir + "/FBLib/FBLib.xml", catalogue);

  for (int type = 1; type <= types; ++type) {
    const int lib = TypeLibId(type);
    const int module = TypeModuleId(type);
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FB name=\"" + TypeName(type) +
                       "\">\n  <module id=\"" + std::to_string(module) + "\">\n    <fieldattr>\n";
    for (const FieldSpec& field : Fields()) {
      text += "      <field name=\"" + field.name + "\"";
      if (field.kind == kKindInput) text += " attr=\"in\"";
      if (field.kind == kKindOutput) text += " attr=\"out\"";
      text += "/>\n";
    }
    text += "    </fieldattr>\n  </module>\n</FB>\n";
    WriteFile(nlsDir + "/FBLib/" + LibraryFolder(lib) + "/" + ModuleFile(lib, module), text);
  }
}

void WriteXmlDocument(const std::string& path, size_t bytes) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FBLib version=\"2.1\">\n";
  text.reserve(bytes + 4096);
  int lib = 0;
  while (text.size() < bytes) {
    ++lib;
    text += "  <Lib libid=\"" + std::to_string(lib) + "\" libcfg=\"" + LibraryFolder(lib) +
            "\" name=\"Library " + std::to_string(lib) + "\">\n";
    text += "    <!-- function blocks of library " + std::to_string(lib) + " -->\n";
    for (int module = 1; module <= 100 && text.size() < bytes; ++module) {
      text += "    <FB moduleid=\"" + std::to_string(module) + "\" modulecfg=\"" +
              ModuleFile(lib, module) + "\" name=\"Block " + std::to_string(module) +
              "\" desc=\"Controller &amp; limits &lt;&gt; of block " + std::to_string(module) +
              "\">\n      <module id=\"" + std::to_string(module) +
              "\" version=\"1.0\">\n        <fieldattr>\n";
      for (const FieldSpec& field : Fields()) {
        text += "          <field name=\"" + field.name + "\" type=\"" + field.declaredType + "\"";
        if (field.kind == kKindInput) text += " attr=\"in\"";
        if (field.kind == kKindOutput) text += " attr=\"out\"";
        text += "/>\n";
      }
      text += "        </fieldattr>\n        <help>Block " + std::to_string(module) +
              " of library " + std::to_string(lib) + ".</help>\n      </module>\n    </FB>\n";
    }
    text += "  </Lib>\n";
  }
  text += "</FBLib>\n";
  WriteFile(path, text);
}

}  // namespace bench
