#include "PlantSnapshot.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

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

void CPlantSnapshot::ReserveTags(size_t count) {
  if (count <= tags.capacity()) return;
  tags.reserve(count);
  byName.clear();
  byName.reserve(count);
  for (size_t i = 0; i < tags.size(); ++i) byName.emplace(tags[i].name, i);
}

bool CPlantSnapshot::AddTag(CTagSnapshot&& tag) {
  if (tags.size() == tags.capacity()) ReserveTags(std::max<size_t>(64, 2 * tags.capacity()));
  tags.push_back(std::move(tag));
  if (byName.emplace(tags.back().name, tags.size() - 1).second) return true;
  tags.pop_back();
  ++duplicateNames;
  return false;
}

const CTagSnapshot* CPlantSnapshot::FindTag(std::string_view name) const {
  const auto found = byName.find(name);
  return found != byName.end() ? &tags[found->second] : nullptr;
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

void KeepFirstDisplayRows(CPlantSnapshot* plant) {
  for (CTagSnapshot& tag : plant->tags) {
    if (tag.hmi.size() < 2) continue;
    const auto byField = [](const auto& a, const auto& b) { return a.first < b.first; };
    // Mostly in order already; stable_sort would allocate a buffer for every tag.
    if (!std::is_sorted(tag.hmi.begin(), tag.hmi.end(), byField))
      std::stable_sort(tag.hmi.begin(), tag.hmi.end(), byField);
    tag.hmi.erase(std::unique(tag.hmi.begin(), tag.hmi.end(),
                              [](const auto& a, const auto& b) { return a.first == b.first; }),
                  tag.hmi.end());
  }
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
    if (EqualsNoCase(column.first, name)) return QuoteName(column.first);
  return "NULL";
}

// Tag positions by TagID. Ids as `init` and SQLite hand them out (small, dense) go into a flat
// array, the rest into a hash map: looking up every value and display row by id is a large share
// of reading a plant.
class CIdIndex {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  // Records id at position; false (and nothing recorded) when id is already there.
  bool Insert(int64_t id, size_t position) {
    if (id >= 0 && id < kDenseLimit) {
      const size_t at = static_cast<size_t>(id);
      if (at >= dense.size()) dense.resize(std::max(at + 1, dense.size() * 2), 0);
      if (dense[at] != 0) return false;
      dense[at] = static_cast<uint32_t>(position) + 1;
      return true;
    }
    return sparse.emplace(id, position).second;
  }
  bool Contains(int64_t id) const { return Find(id) != kNone; }
  size_t Find(int64_t id) const {
    if (id >= 0 && id < kDenseLimit) {
      const size_t at = static_cast<size_t>(id);
      return at < dense.size() && dense[at] != 0 ? dense[at] - 1 : kNone;
    }
    const auto found = sparse.find(id);
    return found != sparse.end() ? found->second : kNone;
  }

 private:
  static constexpr int64_t kDenseLimit = int64_t{1} << 23;  // at most 32 MB of array
  std::vector<uint32_t> dense;                              // position + 1; 0: none
  std::unordered_map<int64_t, size_t> sparse;
};

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
  db.Query("SELECT count(*) FROM \"Tags\"", [&](sqlite3_stmt* row) {
    plant->ReserveTags(static_cast<size_t>(std::max<int64_t>(0, sqlite3_column_int64(row, 0))));
  });
  CIdIndex byId;
  // Each row's bytes are gathered here and copied into a string of just their size: two plants
  // of a million tags are held at once.
  std::string scratch;
  const auto tagColumns = db.Columns("Tags");
  std::string sql = fmt::format("SELECT {}, {}", ColumnOrNull(tagColumns, "TagID"),
                                ColumnOrNull(tagColumns, "TagName"));
  for (const char* column : kTagColumns) sql += ", " + ColumnOrNull(tagColumns, column);
  db.Query(sql + " FROM \"Tags\"", [&](sqlite3_stmt* row) {
    const int64_t tagId = sqlite3_column_int64(row, 0);
    if (sqlite3_column_type(row, 0) == SQLITE_NULL || byId.Contains(tagId)) return;
    CTagSnapshot tag;
    tag.tagId = tagId;
    tag.name = Text(row, 1);
    tag.typeId = sqlite3_column_int64(row, 3);
    scratch.clear();
    for (size_t i = 0; i < kTagColumnCount; ++i)
      AppendValue(&scratch, sqlite3_column_value(row, static_cast<int>(i) + 2));
    tag.head = scratch;
    if (plant->AddTag(std::move(tag))) byId.Insert(tagId, plant->tags.size() - 1);
  });

  // Value rows: the first row of each tag in its own type's table.
  for (const CTypeShape& type : plant->types) {
    if (!type.hasTable || plant->TypeById(type.id) != &type) continue;
    std::string select = "SELECT \"TagID\"";
    for (const auto& field : type.fields) select += ", " + QuoteName(field.first);
    db.Query(select + " FROM " + QuoteName(type.name), [&](sqlite3_stmt* row) {
      const size_t found = byId.Find(sqlite3_column_int64(row, 0));
      if (found == CIdIndex::kNone) return;
      CTagSnapshot& tag = plant->tags[found];
      if (tag.typeId != type.id || tag.hasValues) return;
      tag.hasValues = true;
      scratch.clear();
      for (size_t i = 0; i < type.fields.size(); ++i)
        AppendValue(&scratch, sqlite3_column_value(row, static_cast<int>(i) + 1));
      tag.values = scratch;
    });
  }

  const auto hmiColumns = db.Columns("HMIInfo");
  sql = fmt::format("SELECT {}, {}", ColumnOrNull(hmiColumns, "TagID"),
                    ColumnOrNull(hmiColumns, "FieldName"));
  for (const char* column : kHmiColumns) sql += ", " + ColumnOrNull(hmiColumns, column);
  db.Query(sql + " FROM \"HMIInfo\"", [&](sqlite3_stmt* row) {
    const size_t found = byId.Find(sqlite3_column_int64(row, 0));
    if (found == CIdIndex::kNone) return;
    scratch.clear();
    for (size_t i = 0; i < kHmiColumnCount; ++i)
      AppendValue(&scratch, sqlite3_column_value(row, static_cast<int>(i) + 2));
    auto& hmi = plant->tags[found].hmi;
    if (hmi.empty()) hmi.reserve(2);  // most tags have a few display rows
    hmi.emplace_back(Text(row, 1), scratch);
  });
  KeepFirstDisplayRows(plant);
  db.Execute("COMMIT");
}
