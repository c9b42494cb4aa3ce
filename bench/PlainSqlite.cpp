#include "PlainSqlite.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "PlantModel.h"

namespace bench {

PlainCatalogue::~PlainCatalogue() {
  for (PlainTable& table : tables)
    for (PlainValue& value : table.values)
      if (value.type == SQLITE_TEXT || value.type == SQLITE_BLOB) std::free(value.bytes);
}

void PlainCatalogue::ReadTable(SqliteDb& db, const std::string& name) {
  // Sized exactly beforehand, so that the peak memory is the values' and not a growing array's.
  const long long rows = db.QueryInt("SELECT count(*) FROM " + QuoteIdentifier(name));
  SqliteStatement select(db, "SELECT * FROM " + QuoteIdentifier(name));
  sqlite3_stmt* s = select.Handle();
  tables.emplace_back();
  PlainTable& table = tables.back();
  table.name = name;
  const int columns = sqlite3_column_count(s);
  for (int c = 0; c < columns; ++c) table.columns.emplace_back(sqlite3_column_name(s, c));
  table.values.reserve(static_cast<size_t>(rows) * static_cast<size_t>(columns));
  while (select.Step()) {
    for (int c = 0; c < columns; ++c) {
      PlainValue value;
      value.type = static_cast<uint8_t>(sqlite3_column_type(s, c));
      value.length = 0;
      value.integer = 0;
      switch (value.type) {
        case SQLITE_INTEGER:
          value.integer = sqlite3_column_int64(s, c);
          break;
        case SQLITE_FLOAT:
          value.real = sqlite3_column_double(s, c);
          break;
        case SQLITE_TEXT:
        case SQLITE_BLOB: {
          const void* bytes =
              value.type == SQLITE_TEXT ? sqlite3_column_text(s, c) : sqlite3_column_blob(s, c);
          value.length = static_cast<uint32_t>(sqlite3_column_bytes(s, c));
          value.bytes = static_cast<char*>(std::malloc(value.length + 1));
          if (value.bytes == nullptr) throw std::bad_alloc();
          if (value.length > 0) std::memcpy(value.bytes, bytes, value.length);
          value.bytes[value.length] = '\0';
          break;
        }
        default:
          break;
      }
      table.values.push_back(value);
    }
    ++table.rows;
  }
}

void PlainCatalogue::Read(const std::string& path) {
  SqliteDb db(path, SQLITE_OPEN_READONLY);
  db.Exec("BEGIN");
  ReadTable(db, "TagTypes");
  const PlainTable& types = tables.back();
  std::vector<std::string> typeNames;
  for (size_t row = 0; row < types.rows; ++row) {
    const PlainValue& name = types.values[row * types.columns.size() + 1];
    if (name.type == SQLITE_TEXT) typeNames.emplace_back(name.bytes, name.length);
  }
  ReadTable(db, "Tags");
  for (const std::string& name : typeNames) ReadTable(db, name);
  ReadTable(db, "HMIInfo");
  db.Exec("COMMIT");
}

size_t PlainCatalogue::Rows(const std::string& table) const {
  size_t rows = 0;
  for (const PlainTable& t : tables)
    if (t.name == table) rows += t.rows;
  return rows;
}

std::vector<PlainTagRow> MakePlainTagRows(int tags, int types) {
  std::vector<PlainTagRow> rows(tags > 0 ? tags : 0);
  const std::vector<FieldSpec>& fields = Fields();
  for (int tag = 1; tag <= tags; ++tag) {
    PlainTagRow& row = rows[tag - 1];
    row.name = TagName(tag);
    row.desc = TagDesc(tag, types);
    row.type = TagType(tag, types);
    row.group = TagGroup(tag);
    row.level = TagLevel(tag);
    row.almLevel = AlmLevel(tag);
    for (int i = 0; i < kHmiRowsPerTag; ++i) {
      const HmiSpec hmi = Hmi(tag, i);
      row.hmi.push_back({hmi.fieldName, hmi.sch, hmi.scl, hmi.eu, hmi.decimals});
    }
    row.values.resize(fields.size());
    for (size_t f = 0; f < fields.size(); ++f) {
      PlainTagRow::Value& value = row.values[f];
      const int field = static_cast<int>(f);
      switch (fields[f].type) {
        case FieldType::Long:
          value = {SQLITE_INTEGER, LongValue(tag, field), 0, {}};
          break;
        case FieldType::Double:
          value = {SQLITE_FLOAT, 0, DoubleValue(tag, field), {}};
          break;
        case FieldType::Bit:
          value = {SQLITE_INTEGER, BitValue(tag, field) ? 1 : 0, 0, {}};
          break;
        case FieldType::Text:
          value = {SQLITE_TEXT, 0, 0, TextValue(tag, field)};
          break;
        case FieldType::DateTime:
          value = {SQLITE_TEXT, 0, 0, DateText(DateValue(tag, field))};
          break;
        case FieldType::Currency:
          value = {SQLITE_FLOAT, 0, CurrencyTenThousandths(tag, field) / 10000.0, {}};
          break;
      }
    }
  }
  return rows;
}

PlainWriter::PlainWriter(const std::string& path)
    : db(std::make_unique<SqliteDb>(path, SQLITE_OPEN_READWRITE)) {
  db->Exec("PRAGMA journal_mode=WAL");
  db->Exec("PRAGMA synchronous=NORMAL");
}

namespace {

// The names of the value tables, in TypeID order, indexed by TypeID.
std::vector<std::string> ValueTables(SqliteDb& db) {
  std::vector<std::string> names;
  SqliteStatement select(db, "SELECT TypeID, TypeName FROM TagTypes ORDER BY TypeID");
  while (select.Step()) {
    const int id = sqlite3_column_int(select.Handle(), 0);
    if (id < 0 || id > 32767) continue;
    if (static_cast<size_t>(id) >= names.size()) names.resize(id + 1);
    names[id] = reinterpret_cast<const char*>(sqlite3_column_text(select.Handle(), 1));
  }
  return names;
}

}  // namespace

void PlainWriter::Insert(const std::vector<PlainTagRow>& rows) {
  const std::vector<std::string> tables = ValueTables(*db);
  const size_t fields = Fields().size();
  SqliteStatement tagRow(*db,
                         "INSERT INTO Tags (TagName, TagDesc, TagType, TagGroup, TagLevel, "
                         "AlmLevel) VALUES (?, ?, ?, ?, ?, ?)");
  SqliteStatement hmiRow(*db,
                         "INSERT INTO HMIInfo (TagID, FieldName, SCH, SCL, EU, \"Decimal\") "
                         "VALUES (?, ?, ?, ?, ?, ?)");
  std::vector<std::unique_ptr<SqliteStatement>> valueRows(tables.size());
  for (size_t type = 0; type < tables.size(); ++type) {
    if (tables[type].empty()) continue;
    std::string sql = "INSERT INTO " + QuoteIdentifier(tables[type]) + " (TagID";
    for (const FieldSpec& field : Fields()) sql += ", " + QuoteIdentifier(field.name);
    sql += ") VALUES (?";
    for (size_t i = 0; i < fields; ++i) sql += ", ?";
    valueRows[type] = std::make_unique<SqliteStatement>(*db, sql + ")");
  }
  for (const PlainTagRow& row : rows) {
    sqlite3_stmt* s = tagRow.Handle();
    sqlite3_bind_text(s, 1, row.name.c_str(), static_cast<int>(row.name.size()), SQLITE_STATIC);
    if (row.desc.empty())
      sqlite3_bind_null(s, 2);
    else
      sqlite3_bind_text(s, 2, row.desc.c_str(), static_cast<int>(row.desc.size()), SQLITE_STATIC);
    sqlite3_bind_int(s, 3, row.type);
    sqlite3_bind_int(s, 4, row.group);
    sqlite3_bind_int(s, 5, row.level);
    sqlite3_bind_int(s, 6, row.almLevel);
    tagRow.Run();
    const sqlite3_int64 tagId = sqlite3_last_insert_rowid(db->Handle());
    for (const PlainTagRow::Hmi& hmi : row.hmi) {
      s = hmiRow.Handle();
      sqlite3_bind_int64(s, 1, tagId);
      sqlite3_bind_text(s, 2, hmi.fieldName.c_str(), static_cast<int>(hmi.fieldName.size()),
                        SQLITE_STATIC);
      sqlite3_bind_double(s, 3, hmi.sch);
      sqlite3_bind_double(s, 4, hmi.scl);
      sqlite3_bind_text(s, 5, hmi.eu.c_str(), static_cast<int>(hmi.eu.size()), SQLITE_STATIC);
      sqlite3_bind_int(s, 6, hmi.decimals);
      hmiRow.Run();
    }
    if (row.type < 0 || static_cast<size_t>(row.type) >= valueRows.size() || !valueRows[row.type])
      continue;
    SqliteStatement& valueRow = *valueRows[row.type];
    s = valueRow.Handle();
    sqlite3_bind_int64(s, 1, tagId);
    for (size_t f = 0; f < row.values.size(); ++f) {
      const PlainTagRow::Value& value = row.values[f];
      const int column = static_cast<int>(f) + 2;
      if (value.kind == SQLITE_INTEGER)
        sqlite3_bind_int64(s, column, value.integer);
      else if (value.kind == SQLITE_FLOAT)
        sqlite3_bind_double(s, column, value.real);
      else
        sqlite3_bind_text(s, column, value.text.c_str(), static_cast<int>(value.text.size()),
                          SQLITE_STATIC);
    }
    valueRow.Run();
  }
}

void PlainWriter::InsertInOneTransaction(const std::vector<PlainTagRow>& rows) {
  db->Exec("BEGIN IMMEDIATE");
  Insert(rows);
  db->Exec("COMMIT");
}

void PlainWriter::Delete(const std::vector<std::string>& names) {
  const std::vector<std::string> tables = ValueTables(*db);
  SqliteStatement findTag(*db, "SELECT TagID FROM Tags WHERE TagName = ?");
  SqliteStatement deleteTag(*db, "DELETE FROM Tags WHERE TagID = ?");
  SqliteStatement deleteHmi(*db, "DELETE FROM HMIInfo WHERE TagID = ?");
  std::vector<SqliteStatement> deleteValues;
  for (const std::string& table : tables)
    if (!table.empty())
      deleteValues.emplace_back(*db, "DELETE FROM " + QuoteIdentifier(table) + " WHERE TagID = ?");
  for (const std::string& name : names) {
    sqlite3_bind_text(findTag.Handle(), 1, name.c_str(), static_cast<int>(name.size()),
                      SQLITE_STATIC);
    sqlite3_int64 tagId = -1;
    if (findTag.Step()) tagId = sqlite3_column_int64(findTag.Handle(), 0);
    findTag.Reset();
    sqlite3_bind_int64(deleteTag.Handle(), 1, tagId);
    deleteTag.Run();
    for (SqliteStatement& deleteValue : deleteValues) {
      sqlite3_bind_int64(deleteValue.Handle(), 1, tagId);
      deleteValue.Run();
    }
    sqlite3_bind_int64(deleteHmi.Handle(), 1, tagId);
    deleteHmi.Run();
  }
}

}  // namespace bench
