#include "PlantSnapshot.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "DbTables.h"
#include "ServerDb.h"
#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"

CCell CCell::FromSqlite(sqlite3_value* value) {
  CCell cell;
  switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
      cell.kind = kInteger;
      cell.integer = sqlite3_value_int64(value);
      break;
    case SQLITE_FLOAT:
      cell.kind = kReal;
      cell.real = sqlite3_value_double(value);
      break;
    case SQLITE_TEXT: {
      cell.kind = kText;
      const unsigned char* text = sqlite3_value_text(value);
      cell.bytes.assign(reinterpret_cast<const char*>(text),
                        static_cast<size_t>(sqlite3_value_bytes(value)));
      break;
    }
    case SQLITE_BLOB: {
      cell.kind = kBlob;
      const void* blob = sqlite3_value_blob(value);
      const int size = sqlite3_value_bytes(value);
      if (size > 0) cell.bytes.assign(static_cast<const char*>(blob), static_cast<size_t>(size));
      break;
    }
    default:
      break;
  }
  return cell;
}

bool CCell::operator==(const CCell& other) const {
  if (kind == kInteger && other.kind == kReal)
    return static_cast<double>(integer) == other.real &&
           static_cast<int64_t>(other.real) == integer;
  if (kind == kReal && other.kind == kInteger) return other == *this;
  if (kind != other.kind) return false;
  switch (kind) {
    case kNull:
      return true;
    case kInteger:
      return integer == other.integer;
    case kReal:
      return real == other.real || (std::isnan(real) && std::isnan(other.real));
    default:
      return bytes == other.bytes;
  }
}

std::string CCell::Shown() const {
  switch (kind) {
    case kNull:
      return "NULL";
    case kInteger:
      return std::to_string(integer);
    case kReal:
      return fmt::format("{}", real);  // the shortest text that reads back exactly
    case kText: {
      std::string quoted = "\"";
      for (char c : bytes) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '\n') {
          quoted += "\\n";
          continue;
        }
        quoted += c;
      }
      return quoted + "\"";
    }
    default: {
      std::string hex = "X'";
      for (unsigned char c : bytes) hex += fmt::format("{:02x}", c);
      return hex + "'";
    }
  }
}

std::string CTypeShape::FieldsText() const {
  std::string text;
  for (size_t i = 0; i < fields.size(); ++i)
    text += (i == 0 ? "" : ", ") + fields[i].first + " " + fields[i].second;
  return text;
}

const CTypeShape* CPlantSnapshot::TypeById(int64_t id) const {
  for (const CTypeShape& type : types)
    if (type.id == id) return &type;
  return nullptr;
}

const CTypeShape* CPlantSnapshot::TypeByName(const std::string& name) const {
  for (const CTypeShape& type : types)
    if (EqualsNoCase(type.name, name)) return &type;
  return nullptr;
}

void AppendCell(std::string* encoded, const CCell& cell) {
  encoded->push_back(static_cast<char>(cell.kind));
  switch (cell.kind) {
    case CCell::kNull:
      break;
    case CCell::kInteger:
      encoded->append(reinterpret_cast<const char*>(&cell.integer), sizeof(cell.integer));
      break;
    case CCell::kReal:
      encoded->append(reinterpret_cast<const char*>(&cell.real), sizeof(cell.real));
      break;
    default: {
      const uint32_t size = static_cast<uint32_t>(cell.bytes.size());
      encoded->append(reinterpret_cast<const char*>(&size), sizeof(size));
      encoded->append(cell.bytes);
    }
  }
}

std::vector<CCell> DecodeCells(const std::string& encoded) {
  std::vector<CCell> cells;
  size_t at = 0;
  while (at < encoded.size()) {
    CCell cell;
    cell.kind = static_cast<CCell::Kind>(encoded[at++]);
    switch (cell.kind) {
      case CCell::kNull:
        break;
      case CCell::kInteger:
        std::memcpy(&cell.integer, encoded.data() + at, sizeof(cell.integer));
        at += sizeof(cell.integer);
        break;
      case CCell::kReal:
        std::memcpy(&cell.real, encoded.data() + at, sizeof(cell.real));
        at += sizeof(cell.real);
        break;
      default: {
        uint32_t size = 0;
        std::memcpy(&size, encoded.data() + at, sizeof(size));
        at += sizeof(size);
        cell.bytes.assign(encoded, at, size);
        at += size;
      }
    }
    cells.push_back(std::move(cell));
  }
  return cells;
}

namespace {

// AppendCell(encoded, CCell::FromSqlite(value)) without the cell in between: the reader encodes
// millions of values.
void AppendValue(std::string* encoded, sqlite3_value* value) {
  const int type = sqlite3_value_type(value);
  switch (type) {
    case SQLITE_INTEGER: {
      const int64_t integer = sqlite3_value_int64(value);
      encoded->push_back(static_cast<char>(CCell::kInteger));
      encoded->append(reinterpret_cast<const char*>(&integer), sizeof(integer));
      return;
    }
    case SQLITE_FLOAT: {
      const double real = sqlite3_value_double(value);
      encoded->push_back(static_cast<char>(CCell::kReal));
      encoded->append(reinterpret_cast<const char*>(&real), sizeof(real));
      return;
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
      const char* bytes = type == SQLITE_TEXT
                              ? reinterpret_cast<const char*>(sqlite3_value_text(value))
                              : static_cast<const char*>(sqlite3_value_blob(value));
      const uint32_t size = static_cast<uint32_t>(sqlite3_value_bytes(value));
      encoded->push_back(static_cast<char>(type == SQLITE_TEXT ? CCell::kText : CCell::kBlob));
      encoded->append(reinterpret_cast<const char*>(&size), sizeof(size));
      if (size > 0) encoded->append(bytes, size);
      return;
    }
    default:
      encoded->push_back(static_cast<char>(CCell::kNull));
  }
}

std::string Text(sqlite3_stmt* row, int i) {
  const unsigned char* text = sqlite3_column_text(row, i);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// "TagDesc" when the table has that column (in any case), else "NULL": the diff compares what
// is there and reads a missing column as NULL.
std::string ColumnOrNull(const std::vector<std::pair<std::string, std::string>>& columns,
                         const char* name) {
  for (const auto& column : columns)
    if (EqualsNoCase(column.first, name)) return tracking::Quoted(column.first);
  return "NULL";
}

}  // namespace

void CSqlitePlantReader::Read(CPlantSnapshot* plant) {
  plant->source = path;
  tracking::CTrackedDb db = tracking::CTrackedDb::Open(path, false);
  for (const char* table : {"TagTypes", "Tags", "HMIInfo"})
    if (!db.HasTable(table))
      throw ToolError(fmt::format("{}: not a tag database (no table {})", path, table));
  // One snapshot for every table, even while another process writes.
  db.Execute("BEGIN");

  const auto typeColumns = db.Columns("TagTypes");
  db.Query(
      fmt::format("SELECT {}, {}, {}, {} FROM \"TagTypes\"", ColumnOrNull(typeColumns, "TypeID"),
                  ColumnOrNull(typeColumns, "TypeName"), ColumnOrNull(typeColumns, "TypeLibID"),
                  ColumnOrNull(typeColumns, "TypeModuleID")),
      [&](sqlite3_stmt* row) {
        CTypeShape type;
        type.id = sqlite3_column_int64(row, 0);
        type.name = Text(row, 1);
        type.libId = sqlite3_column_int64(row, 2);
        type.moduleId = sqlite3_column_int64(row, 3);
        plant->types.push_back(std::move(type));
      });
  for (CTypeShape& type : plant->types) {
    type.hasTable = !type.name.empty() && db.HasTable(type.name);
    if (!type.hasTable) continue;
    for (auto& column : db.Columns(type.name))
      if (!EqualsNoCase(column.first, "TagID")) type.fields.push_back(std::move(column));
  }

  // Tags: the first row of a TagID wins, and the first tag of a name.
  std::unordered_map<int64_t, size_t> byId;
  const auto tagColumns = db.Columns("Tags");
  std::string sql = fmt::format("SELECT {}, {}", ColumnOrNull(tagColumns, "TagID"),
                                ColumnOrNull(tagColumns, "TagName"));
  for (const char* column : kTagColumns) sql += ", " + ColumnOrNull(tagColumns, column);
  db.Query(sql + " FROM \"Tags\"", [&](sqlite3_stmt* row) {
    const int64_t tagId = sqlite3_column_int64(row, 0);
    if (sqlite3_column_type(row, 0) == SQLITE_NULL || byId.count(tagId) != 0) return;
    CTagSnapshot tag;
    tag.tagId = tagId;
    tag.name = Text(row, 1);
    tag.typeId = sqlite3_column_int64(row, 3);
    for (size_t i = 0; i < kTagColumnCount; ++i)
      AppendValue(&tag.head, sqlite3_column_value(row, static_cast<int>(i) + 2));
    if (!plant->byName.emplace(tag.name, plant->tags.size()).second) {
      ++plant->duplicateNames;  // a later tag of the same name is not the one callers find
      return;
    }
    byId.emplace(tagId, plant->tags.size());
    plant->tags.push_back(std::move(tag));
  });

  // Value rows: the first row of each tag in its own type's table.
  for (const CTypeShape& type : plant->types) {
    if (!type.hasTable || plant->TypeById(type.id) != &type) continue;
    std::string select = "SELECT \"TagID\"";
    for (const auto& field : type.fields) select += ", " + tracking::Quoted(field.first);
    db.Query(select + " FROM " + tracking::Quoted(type.name), [&](sqlite3_stmt* row) {
      const auto found = byId.find(sqlite3_column_int64(row, 0));
      if (found == byId.end()) return;
      CTagSnapshot& tag = plant->tags[found->second];
      if (tag.typeId != type.id || tag.hasValues) return;
      tag.hasValues = true;
      for (size_t i = 0; i < type.fields.size(); ++i)
        AppendValue(&tag.values, sqlite3_column_value(row, static_cast<int>(i) + 1));
    });
  }

  const auto hmiColumns = db.Columns("HMIInfo");
  sql = fmt::format("SELECT {}, {}", ColumnOrNull(hmiColumns, "TagID"),
                    ColumnOrNull(hmiColumns, "FieldName"));
  for (const char* column : kHmiColumns) sql += ", " + ColumnOrNull(hmiColumns, column);
  db.Query(sql + " FROM \"HMIInfo\"", [&](sqlite3_stmt* row) {
    const auto found = byId.find(sqlite3_column_int64(row, 0));
    if (found == byId.end()) return;
    std::string encoded;
    for (size_t i = 0; i < kHmiColumnCount; ++i)
      AppendValue(&encoded, sqlite3_column_value(row, static_cast<int>(i) + 2));
    plant->tags[found->second].hmi.emplace_back(Text(row, 1), std::move(encoded));
  });
  // One display row per field, the first; in field-name order, so that row order does not count.
  for (CTagSnapshot& tag : plant->tags) {
    if (tag.hmi.size() < 2) continue;
    std::stable_sort(tag.hmi.begin(), tag.hmi.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    tag.hmi.erase(std::unique(tag.hmi.begin(), tag.hmi.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  tag.hmi.end());
  }
  db.Execute("COMMIT");
}

namespace {

namespace ado = platform::ado;

// A delivered value as a cell: numbers as numbers, everything else as its exact text.
CCell DeliveredCell(const ado::ColumnType& meaning, const ado::StoredValue& value) {
  CCell cell;
  if (value.storage == ado::StoredValue::kNull) return cell;
  const std::string text = DeliveredText(meaning, value);
  const std::string body = text.size() > 2 ? text.substr(2) : "";
  switch (text[0]) {
    case 'i':
      cell.kind = CCell::kInteger;
      cell.integer = std::strtoll(body.c_str(), nullptr, 10);
      break;
    case 'b':
      cell.kind = CCell::kInteger;
      cell.integer = body == "true" ? 1 : 0;
      break;
    case 'f':
    case 'd':
      cell.kind = CCell::kReal;
      cell.real = std::strtod(body.c_str(), nullptr);
      break;
    case 'x':
      cell.kind = CCell::kBlob;
      for (size_t i = 0; i + 1 < body.size(); i += 2)
        cell.bytes += static_cast<char>(std::stoi(body.substr(i, 2), nullptr, 16));
      break;
    case 'n':
      if (text == "null") break;
      [[fallthrough]];
    default:
      cell.kind = CCell::kText;
      cell.bytes = body;
      break;
  }
  return cell;
}

const TableShape* FindTable(const std::vector<TableShape>& tables, const std::string& name) {
  for (const TableShape& table : tables)
    if (table.name == name) return &table;
  for (const TableShape& table : tables)
    if (EqualsNoCase(table.name, name)) return &table;
  return nullptr;
}

// The position of a column (any case), or -1.
int ColumnAt(const TableShape& table, const char* name) {
  for (size_t i = 0; i < table.columns.size(); ++i)
    if (EqualsNoCase(table.columns[i].name, name)) return static_cast<int>(i);
  return -1;
}

CCell CellAt(const TableShape& table, const std::vector<ado::StoredValue>& row, int at) {
  return at < 0 ? CCell()
                : DeliveredCell(table.columns[static_cast<size_t>(at)].meaning,
                                row[static_cast<size_t>(at)]);
}

}  // namespace

void CEnginePlantReader::Read(CPlantSnapshot* plant) {
  auto db = CDbTables::Open(database);
  plant->source = db->Shown();
  const std::vector<TableShape> tables = db->Tables();
  const TableShape* typeTable = FindTable(tables, "TagTypes");
  const TableShape* tagTable = FindTable(tables, "Tags");
  const TableShape* hmiTable = FindTable(tables, "HMIInfo");
  for (const auto& [table, name] :
       {std::make_pair(typeTable, "TagTypes"), std::make_pair(tagTable, "Tags"),
        std::make_pair(hmiTable, "HMIInfo")})
    if (table == nullptr)
      throw ToolError(fmt::format("{}: not a tag database (no table {})", plant->source, name));

  const int typeId = ColumnAt(*typeTable, "TypeID"), typeName = ColumnAt(*typeTable, "TypeName"),
            typeLib = ColumnAt(*typeTable, "TypeLibID"),
            typeModule = ColumnAt(*typeTable, "TypeModuleID");
  db->Rows(*typeTable, [&](const std::vector<ado::StoredValue>& row) {
    CTypeShape type;
    type.id = CellAt(*typeTable, row, typeId).integer;
    const CCell name = CellAt(*typeTable, row, typeName);
    type.name = name.kind == CCell::kText ? name.bytes : "";
    type.libId = CellAt(*typeTable, row, typeLib).integer;
    type.moduleId = CellAt(*typeTable, row, typeModule).integer;
    plant->types.push_back(std::move(type));
  });
  for (CTypeShape& type : plant->types) {
    const TableShape* table = type.name.empty() ? nullptr : FindTable(tables, type.name);
    type.hasTable = table != nullptr;
    if (table == nullptr) continue;
    for (const TableColumn& column : table->columns)
      if (!EqualsNoCase(column.name, "TagID"))
        type.fields.emplace_back(column.name, column.declared);
  }

  // Tags: the first row of a TagID wins, and the first tag of a name.
  std::unordered_map<int64_t, size_t> byId;
  const int tagId = ColumnAt(*tagTable, "TagID"), tagName = ColumnAt(*tagTable, "TagName");
  std::vector<int> tagColumns;
  for (const char* column : kTagColumns) tagColumns.push_back(ColumnAt(*tagTable, column));
  db->Rows(*tagTable, [&](const std::vector<ado::StoredValue>& row) {
    const CCell id = CellAt(*tagTable, row, tagId);
    if (id.kind != CCell::kInteger || byId.count(id.integer) != 0) return;
    CTagSnapshot tag;
    tag.tagId = id.integer;
    const CCell name = CellAt(*tagTable, row, tagName);
    tag.name = name.kind == CCell::kText ? name.bytes : "";
    const CCell type = CellAt(*tagTable, row, tagColumns[1]);
    tag.typeId = type.kind == CCell::kInteger ? type.integer : 0;
    for (int at : tagColumns) AppendCell(&tag.head, CellAt(*tagTable, row, at));
    if (!plant->byName.emplace(tag.name, plant->tags.size()).second) {
      ++plant->duplicateNames;
      return;
    }
    byId.emplace(tag.tagId, plant->tags.size());
    plant->tags.push_back(std::move(tag));
  });

  for (const CTypeShape& type : plant->types) {
    if (!type.hasTable || plant->TypeById(type.id) != &type) continue;
    const TableShape& table = *FindTable(tables, type.name);
    const int idAt = ColumnAt(table, "TagID");
    std::vector<int> fieldAt;
    for (const auto& field : type.fields) fieldAt.push_back(ColumnAt(table, field.first.c_str()));
    db->Rows(table, [&](const std::vector<ado::StoredValue>& row) {
      const auto found = byId.find(CellAt(table, row, idAt).integer);
      if (found == byId.end()) return;
      CTagSnapshot& tag = plant->tags[found->second];
      if (tag.typeId != type.id || tag.hasValues) return;
      tag.hasValues = true;
      for (int at : fieldAt) AppendCell(&tag.values, CellAt(table, row, at));
    });
  }

  const int hmiId = ColumnAt(*hmiTable, "TagID"), hmiField = ColumnAt(*hmiTable, "FieldName");
  std::vector<int> hmiColumns;
  for (const char* column : kHmiColumns) hmiColumns.push_back(ColumnAt(*hmiTable, column));
  db->Rows(*hmiTable, [&](const std::vector<ado::StoredValue>& row) {
    const auto found = byId.find(CellAt(*hmiTable, row, hmiId).integer);
    if (found == byId.end()) return;
    std::string encoded;
    for (int at : hmiColumns) AppendCell(&encoded, CellAt(*hmiTable, row, at));
    const CCell field = CellAt(*hmiTable, row, hmiField);
    plant->tags[found->second].hmi.emplace_back(field.kind == CCell::kText ? field.bytes : "",
                                                std::move(encoded));
  });
  for (CTagSnapshot& tag : plant->tags) {
    if (tag.hmi.size() < 2) continue;
    std::stable_sort(tag.hmi.begin(), tag.hmi.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    tag.hmi.erase(std::unique(tag.hmi.begin(), tag.hmi.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  tag.hmi.end());
  }
}
