// zematag import: tags from CSV (or JSON) files, saved through CZEMAConfigAcs.
//
// Every row is checked against the database's types before anything is written; bad rows are
// reported with file, line and reason and left out. After saving, the tool reads the database
// back through CZEMATagAcs, and a tag the store kept only in part (a refused value, a lost
// display row) is deleted again and reported, so that no half-written tag stays behind.
#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Catalogue.h"
#include "Commands.h"
#include "Csv.h"
#include "Layout.h"
#include "Progress.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "Writer.h"

namespace {

// Tags this many or more get a progress bar on a terminal.
constexpr long kProgressThreshold = 1000;

// One tag as a file gives it, before it is checked.
struct RawTag {
  std::string where;  // "file:line" or "file: tag #n"
  std::string name, desc, type, group, level, alarm;
  std::vector<std::pair<std::string, std::string>> values;    // field, text ("" = no value)
  std::map<std::string, std::array<std::string, 4>> display;  // field -> SCH, SCL, EU, Decimal
};

// One checked tag, ready for SaveTags. Owns the VARIANTs of its field entries.
struct PreparedTag {
  PreparedTag() = default;
  PreparedTag(const PreparedTag&) = delete;
  PreparedTag& operator=(const PreparedTag&) = delete;
  ~PreparedTag() {
    for (TagFieldEntry& entry : fields) VariantClear(&entry.Value);
  }

  std::string where;
  std::string name;
  const TypeDef* type = nullptr;
  std::vector<TagFieldEntry> fields;
  std::vector<TagHMIEntry> display;
  TagRecord record{};
};

class CImporter {
 public:
  CImporter(const ImportOptions& options, std::vector<TypeDef> types,
            std::set<std::string> existing)
      : options(options), types(std::move(types)), existing(std::move(existing)) {}

  // Reads and checks one file; the good tags join the ones to save.
  void ReadFile(const std::string& path);
  // Saves the checked tags, verifies them and removes what was stored only in part.
  void Save();

  int badRows = 0;
  long saved = 0;

 private:
  void ReadCsv(const std::string& path, std::istream& in);
  void ReadJson(const std::string& path, const std::string& text);
  void Accept(const RawTag& raw);
  std::string Prepare(const RawTag& raw, PreparedTag* tag) const;
  const TypeDef* FindType(const std::string& text) const;
  const TypeDef* FieldOwner(const std::string& field) const;
  void Bad(const std::string& where, const std::string& reason) {
    ReportError(fmt::format("{}: {}", where, reason));
    ++badRows;
  }
  // Reads the saved tags back; returns the reasons of those not stored as given, by index.
  std::map<size_t, std::string> Verify(size_t attempted);

  const ImportOptions& options;
  std::vector<TypeDef> types;
  std::set<std::string> existing;
  std::map<std::string, std::string> seen;  // name -> where in the files
  std::vector<std::unique_ptr<PreparedTag>> tags;
};

const TypeDef* CImporter::FindType(const std::string& text) const {
  long long id = 0;
  if (ParseInteger(text, INT32_MIN, INT32_MAX, &id)) {
    for (const TypeDef& type : types)
      if (type.id == id) return &type;
    return nullptr;
  }
  for (const TypeDef& type : types)
    if (EqualsNoCase(type.name, Trim(text))) return &type;
  return nullptr;
}

const TypeDef* CImporter::FieldOwner(const std::string& field) const {
  for (const TypeDef& type : types)
    if (type.Field(field) != nullptr) return &type;
  return nullptr;
}

std::string CheckText(const char* what, const std::string& text, size_t limit) {
  if (!IsUtf8(text)) return fmt::format("{} is not valid UTF-8", what);
  if (text.size() > limit)
    return fmt::format("{} is {} bytes long; at most {} fit", what, text.size(), limit);
  return "";
}

std::string CImporter::Prepare(const RawTag& raw, PreparedTag* tag) const {
  tag->where = raw.where;
  tag->name = Trim(raw.name);
  if (tag->name.empty()) return "the tag name is empty";
  std::string reason =
      CheckText(fmt::format("tag name '{}'", tag->name).c_str(), tag->name, layout::kMaxTagName);
  if (!reason.empty()) return reason;
  reason = CheckText("the description", raw.desc, layout::kMaxTagDesc);
  if (!reason.empty()) return reason;
  if (Trim(raw.type).empty()) return fmt::format("tag {} has no type", tag->name);
  tag->type = FindType(raw.type);
  if (tag->type == nullptr) return fmt::format("unknown tag type '{}'", Trim(raw.type));
  if (!tag->type->hasTable)
    return fmt::format("type {} has no value table in the database", tag->type->name);

  long long levels[3] = {0, 0, 0};
  const std::pair<const char*, const std::string*> levelTexts[3] = {
      {layout::kTagGroup, &raw.group},
      {layout::kTagLevel, &raw.level},
      {layout::kAlmLevel, &raw.alarm}};
  for (int i = 0; i < 3; ++i)
    if (!Trim(*levelTexts[i].second).empty() &&
        !ParseInteger(*levelTexts[i].second, 0, 255, &levels[i]))
      return fmt::format("{} '{}' is not a whole number in 0..255", levelTexts[i].first,
                         *levelTexts[i].second);

  std::set<std::string> given;
  for (const auto& [column, text] : raw.values) {
    if (text.empty()) continue;
    const FieldDef* field = tag->type->Field(column);
    if (field == nullptr)
      return fmt::format("type {} has no field {} (the value '{}' has no place)", tag->type->name,
                         column, text);
    if (!given.insert(Lower(field->name)).second)
      return fmt::format("field {} is given twice", field->name);
    if (field->type.kind == ValueKind::kUnsupported)
      return fmt::format("field {} has column type {}, which zematag does not write", field->name,
                         field->declared);
    TagFieldEntry entry{};
    CopyText(entry.FieldName, sizeof entry.FieldName, field->name);
    VariantInit(&entry.Value);
    reason = TextToVariant(text, field->type, &entry.Value);
    if (!reason.empty()) return fmt::format("field {}: {}", field->name, reason);
    tag->fields.push_back(entry);
  }

  for (const auto& [column, texts] : raw.display) {
    bool any = false;
    for (const std::string& text : texts) any = any || !Trim(text).empty();
    if (!any) continue;
    const FieldDef* field = tag->type->Field(column);
    if (field == nullptr)
      return fmt::format("type {} has no field {} to give display information for", tag->type->name,
                         column);
    TagHMIEntry entry{};
    CopyText(entry.FieldName, sizeof entry.FieldName, field->name);
    if (!Trim(texts[0]).empty() && !ParseFloat(texts[0], &entry.SCH))
      return fmt::format("{}.SCH '{}' is not a number", column, texts[0]);
    if (!Trim(texts[1]).empty() && !ParseFloat(texts[1], &entry.SCL))
      return fmt::format("{}.SCL '{}' is not a number", column, texts[1]);
    reason =
        CheckText(fmt::format("{}.EU '{}'", column, texts[2]).c_str(), texts[2], layout::kMaxUnit);
    if (!reason.empty()) return reason;
    CopyText(entry.EU, sizeof entry.EU, texts[2]);
    long long decimals = 0;
    if (!Trim(texts[3]).empty() && !ParseInteger(texts[3], 0, 255, &decimals))
      return fmt::format("{}.Decimal '{}' is not a whole number in 0..255", column, texts[3]);
    entry.Decimal = static_cast<int32_t>(decimals);
    tag->display.push_back(entry);
  }

  TagRecord& record = tag->record;
  CopyText(record.TagName, sizeof record.TagName, tag->name);
  CopyText(record.TagDesc, sizeof record.TagDesc, raw.desc);
  record.TagGroup = static_cast<uint8_t>(levels[0]);
  record.TagLevel = static_cast<uint8_t>(levels[1]);
  record.AlmLevel = static_cast<uint8_t>(levels[2]);
  record.TagType = tag->type->id;
  record.FieldValueCount = static_cast<int32_t>(tag->fields.size());
  record.FieldValues = tag->fields.empty() ? nullptr : tag->fields.data();
  record.HMICount = static_cast<int32_t>(tag->display.size());
  record.HMIEntries = tag->display.empty() ? nullptr : tag->display.data();
  return "";
}

void CImporter::Accept(const RawTag& raw) {
  auto tag = std::make_unique<PreparedTag>();
  const std::string reason = Prepare(raw, tag.get());
  if (!reason.empty()) return Bad(raw.where, reason);
  if (existing.count(tag->name) != 0)
    return Bad(raw.where, fmt::format("tag {} already exists in the database", tag->name));
  const auto [earlier, isNew] = seen.emplace(tag->name, raw.where);
  if (!isNew)
    return Bad(raw.where,
               fmt::format("tag name {} is used before, at {}", tag->name, earlier->second));
  tags.push_back(std::move(tag));
}

void CImporter::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Bad(path, "cannot read the file");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string text = bytes.str();
  const size_t first = text.find_first_not_of(" \t\r\n");
  const bool json = path.size() >= 5 && EqualsNoCase(path.substr(path.size() - 5), ".json");
  if (json || (first != std::string::npos && (text[first] == '{' || text[first] == '[')))
    return ReadJson(path, text);
  std::istringstream stream(text);
  ReadCsv(path, stream);
}

void CImporter::ReadCsv(const std::string& path, std::istream& in) {
  CCsvReader reader(in);
  std::vector<std::string> header, cells;
  int line = 0;
  std::string error;
  if (!reader.Next(&header, &line, &error))
    return Bad(path, "the file is empty; it needs a header row");
  const std::string where = fmt::format("{}:{}", path, line);
  if (!error.empty()) return Bad(where, fmt::format("header: {}", error));

  // Columns of the header: the tag columns by name, fields, and Field.SCH and the like.
  std::map<std::string, int> fixed;
  std::vector<std::pair<int, std::string>> valueColumns;
  std::map<std::string, std::array<int, 4>> displayColumns;
  std::set<std::string> names;
  const char* tagColumns[] = {layout::kTagName,  layout::kTagDesc,  layout::kTagType,
                              layout::kTagGroup, layout::kTagLevel, layout::kAlmLevel};
  for (size_t i = 0; i < header.size(); ++i) {
    const std::string column = Trim(header[i]);
    const int index = static_cast<int>(i);
    if (column.empty()) return Bad(where, fmt::format("column {} has no name", i + 1));
    if (!names.insert(Lower(column)).second)
      return Bad(where, fmt::format("column {} appears twice", column));
    bool isTagColumn = false;
    for (const char* name : tagColumns)
      if (EqualsNoCase(column, name)) {
        fixed[name] = index;
        isTagColumn = true;
      }
    if (isTagColumn) continue;
    const size_t dot = column.rfind('.');
    if (dot != std::string::npos) {
      const std::string field = column.substr(0, dot), suffix = column.substr(dot + 1);
      int slot = -1;
      for (int s = 0; s < 4; ++s)
        if (EqualsNoCase(suffix, layout::kDisplaySuffixes[s])) slot = s;
      if (slot < 0)
        return Bad(where, fmt::format("column {}: display columns end in .SCH, .SCL, .EU or "
                                      ".Decimal",
                                      column));
      if (FieldOwner(field) == nullptr)
        return Bad(where, fmt::format("column {}: no type has a field {}", column, field));
      displayColumns.try_emplace(field, std::array<int, 4>{-1, -1, -1, -1});
      displayColumns[field][slot] = index;
      continue;
    }
    if (FieldOwner(column) == nullptr)
      return Bad(where, fmt::format("column {} is neither a tag column ({}, {}, {}, {}, {}, {}) "
                                    "nor a field of any type",
                                    column, tagColumns[0], tagColumns[1], tagColumns[2],
                                    tagColumns[3], tagColumns[4], tagColumns[5]));
    valueColumns.emplace_back(index, column);
  }
  for (const char* required : {layout::kTagName, layout::kTagType})
    if (fixed.count(required) == 0)
      return Bad(where, fmt::format("the header has no {} column", required));

  const auto cell = [&](const char* name) {
    const auto found = fixed.find(name);
    return found == fixed.end() ? std::string() : cells[static_cast<size_t>(found->second)];
  };
  while (reader.Next(&cells, &line, &error)) {
    const std::string rowWhere = fmt::format("{}:{}", path, line);
    if (cells.size() == 1 && cells[0].empty()) continue;  // a blank line
    if (!error.empty()) {
      Bad(rowWhere, error);
      continue;
    }
    if (cells.size() != header.size()) {
      Bad(rowWhere,
          fmt::format("the row has {} columns, the header {}", cells.size(), header.size()));
      continue;
    }
    RawTag raw;
    raw.where = rowWhere;
    raw.name = cell(layout::kTagName);
    raw.desc = cell(layout::kTagDesc);
    raw.type = cell(layout::kTagType);
    raw.group = cell(layout::kTagGroup);
    raw.level = cell(layout::kTagLevel);
    raw.alarm = cell(layout::kAlmLevel);
    for (const auto& [index, field] : valueColumns)
      raw.values.emplace_back(field, cells[static_cast<size_t>(index)]);
    for (const auto& [field, indexes] : displayColumns) {
      std::array<std::string, 4>& texts = raw.display[field];
      for (int s = 0; s < 4; ++s)
        if (indexes[s] >= 0) texts[s] = cells[static_cast<size_t>(indexes[s])];
    }
    Accept(raw);
  }
}

std::string JsonText(const nlohmann::json& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  if (value.is_number()) return value.dump();
  throw ToolError("a value is neither text, a number nor true/false");
}

void CImporter::ReadJson(const std::string& path, const std::string& text) {
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text);
  } catch (const nlohmann::json::exception& e) {
    return Bad(path, fmt::format("not valid JSON: {}", e.what()));
  }
  const nlohmann::json* list = &document;
  if (document.is_object()) {
    if (!document.contains("tags")) return Bad(path, "the JSON object has no \"tags\" list");
    list = &document["tags"];
  }
  if (!list->is_array()) return Bad(path, "\"tags\" is not a list");
  for (size_t i = 0; i < list->size(); ++i) {
    const nlohmann::json& entry = (*list)[i];
    RawTag raw;
    raw.where = fmt::format("{}: tag #{}", path, i + 1);
    try {
      if (!entry.is_object()) throw ToolError("the tag is not an object");
      raw.name = JsonText(entry.value("name", nlohmann::json()));
      raw.where += fmt::format(" ({})", raw.name);
      raw.desc = JsonText(entry.value("description", nlohmann::json()));
      raw.type = JsonText(entry.value("type", nlohmann::json()));
      raw.group = JsonText(entry.value("group", nlohmann::json()));
      raw.level = JsonText(entry.value("level", nlohmann::json()));
      raw.alarm = JsonText(entry.value("alarmLevel", nlohmann::json()));
      if (entry.contains("values")) {
        if (!entry["values"].is_object()) throw ToolError("\"values\" is not an object");
        for (const auto& [field, value] : entry["values"].items())
          raw.values.emplace_back(field, JsonText(value));
      }
      if (entry.contains("display")) {
        if (!entry["display"].is_object()) throw ToolError("\"display\" is not an object");
        for (const auto& [field, info] : entry["display"].items()) {
          if (!info.is_object())
            throw ToolError(fmt::format("display of {} is not an object", field));
          std::array<std::string, 4>& texts = raw.display[field];
          for (int s = 0; s < 4; ++s)
            texts[s] = JsonText(info.value(layout::kDisplaySuffixes[s], nlohmann::json()));
        }
      }
    } catch (const ToolError& e) {
      Bad(raw.where, e.what());
      continue;
    }
    Accept(raw);
  }
}

std::map<size_t, std::string> CImporter::Verify(size_t attempted) {
  std::map<size_t, std::string> failed;
  CCatalogue catalogue(options.database);
  std::map<std::string, TagView> stored;
  for (const TagView& view : catalogue.Tags()) stored.emplace(view.tag->GetName(), view);
  for (size_t i = 0; i < attempted; ++i) {
    const PreparedTag& tag = *tags[i];
    const auto found = stored.find(tag.name);
    if (found == stored.end()) {
      failed[i] = "the store did not keep it";
      continue;
    }
    CZEMATag* storedTag = found->second.tag;
    if (found->second.type == nullptr || found->second.type->id != tag.type->id) {
      failed[i] = "it was stored with another type";
      continue;
    }
    const std::vector<FieldValue> values = ReadFields(storedTag);
    if (values.size() != tag.type->fields.size()) {
      failed[i] = "its field values were not stored";
      continue;
    }
    for (const TagFieldEntry& entry : tag.fields) {
      const FieldValue* value = nullptr;
      for (const FieldValue& candidate : values)
        if (EqualsNoCase(candidate.name, entry.FieldName)) value = &candidate;
      if (value == nullptr || VariantToText(value->value.value) != VariantToText(entry.Value)) {
        failed[i] = fmt::format("field {} was not stored as given", entry.FieldName);
        break;
      }
    }
    for (const TagHMIEntry& entry : tag.display) {
      TagHMIInfo info{};
      if (storedTag->GetHMIInfo(entry.FieldName, &info) != 1 || info.SCH != entry.SCH ||
          info.SCL != entry.SCL ||
          std::string(info.EU, strnlen(info.EU, sizeof info.EU)) !=
              std::string(entry.EU, strnlen(entry.EU, sizeof entry.EU)) ||
          info.Decimal != entry.Decimal) {
        failed[i] =
            fmt::format("the display information of {} was not stored as given", entry.FieldName);
        break;
      }
    }
  }
  return failed;
}

void CImporter::Save() {
  if (options.dryRun || tags.empty()) return;
  const size_t batch = static_cast<size_t>(options.batchSize > 0 ? options.batchSize : 1000);
  size_t attempted = 0;
  std::string engineFailure;
  {
    CWriter writer(options.database);
    CProgress progress("importing", static_cast<long>(tags.size()),
                       !options.quiet && static_cast<long>(tags.size()) >= kProgressThreshold);
    std::vector<TagRecord> records;
    for (size_t start = 0; start < tags.size(); start += batch) {
      const size_t end = std::min(tags.size(), start + batch);
      records.clear();
      for (size_t i = start; i < end; ++i) records.push_back(tags[i]->record);
      attempted = end;
      try {
        if (writer->SaveTags(records.data(), static_cast<int>(records.size())) != 1) {
          engineFailure = "the writer refused the records";
          break;
        }
      } catch (const PlatformError& e) {
        engineFailure = fmt::format("the database engine failed: {}", e.what());
        break;
      }
      progress.Update(static_cast<long>(end));
    }
  }

  std::map<size_t, std::string> failed = Verify(attempted);
  std::vector<const char*> partial;
  for (const auto& [index, reason] : failed) partial.push_back(tags[index]->name.c_str());
  if (!partial.empty()) {
    CWriter writer(options.database);
    writer->DeleteTags(partial.data(), static_cast<int>(partial.size()));
  }
  for (const auto& [index, reason] : failed)
    Bad(tags[index]->where, fmt::format("tag {} was not saved: {}", tags[index]->name, reason));
  if (!engineFailure.empty()) {
    ReportError(engineFailure);
    for (size_t i = attempted; i < tags.size(); ++i)
      Bad(tags[i]->where,
          fmt::format("tag {} was not saved: the import stopped before it", tags[i]->name));
  }
  saved = static_cast<long>(attempted - failed.size());
}

}  // namespace

int RunImport(const ImportOptions& options) {
  std::vector<TypeDef> types = CSchemaStore::OpenReadOnly(options.database).Types();
  std::set<std::string> existing;
  {
    CCatalogue catalogue(options.database);
    const std::vector<TagView> typed = catalogue.Tags();
    for (const TagView& view : typed) existing.insert(view.tag->GetName());
    // Tags without a type are not delivered by the catalogue; their names are taken too.
    if (catalogue.TagCount() > static_cast<int>(typed.size()))
      CSchemaStore::OpenReadOnly(options.database)
          .Query(fmt::format("SELECT {} FROM {}", layout::kTagName, QuoteName(layout::kTags)),
                 [&](const std::vector<std::string>& row, const std::vector<bool>&) {
                   existing.insert(row[0]);
                 });
  }
  CImporter importer(options, std::move(types), std::move(existing));
  for (const std::string& file : options.files) importer.ReadFile(file);
  importer.Save();
  if (!options.quiet) {
    if (options.dryRun)
      fmt::print("checked {} file(s): {} bad row(s); nothing saved (--dry-run)\n",
                 options.files.size(), importer.badRows);
    else
      fmt::print("imported {} tag(s) into {}{}\n", importer.saved, options.database,
                 importer.badRows > 0 ? fmt::format("; {} row(s) rejected", importer.badRows)
                                      : std::string());
  }
  return importer.badRows > 0 ? 1 : 0;
}
