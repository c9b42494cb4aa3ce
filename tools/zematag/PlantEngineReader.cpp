// Reading a plant through the values the library delivers (CEnginePlantReader), and the choice
// of reader for the two sides of a diff. Apart from the file reader (PlantSnapshot.cpp), so that
// the file reader and the diff do not depend on the server and Jet code.
#include <fmt/format.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "DbTables.h"
#include "PlantDiff.h"
#include "PlantSnapshot.h"
#include "ServerDb.h"
#include "Text.h"
#include "ToolError.h"

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
    if (plant->AddTag(std::move(tag)))
      byId.emplace(plant->tags.back().tagId, plant->tags.size() - 1);
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
  KeepFirstDisplayRows(plant);
}

void ReadPlants(const std::string& fromPath, const std::string& toPath, CPlantSnapshot* from,
                CPlantSnapshot* to) {
  // A server on either side: both read as the library delivers values, so that the same plant
  // on a file and on a server compares equal.
  if (IsServerUri(fromPath) || IsServerUri(toPath)) {
    CEnginePlantReader fromReader(fromPath), toReader(toPath);
    ReadSideBySide(fromReader, toReader, from, to);
    return;
  }
  CSqlitePlantReader fromReader(fromPath), toReader(toPath);
  ReadSideBySide(fromReader, toReader, from, to);
}
