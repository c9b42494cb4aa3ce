// zematag import: tags from CSV (or JSON) files, saved through CZEMAConfigAcs.
//
// The files are read as a stream: each row is checked against the database's types, and the
// good ones are saved a batch at a time, each batch in one write transaction (ZEMABatch.h), so
// that a crash, a full disk or a lock leaves whole batches or nothing of them. Only the names
// read so far stay in memory, for the duplicate check. The names of a batch are checked against
// the database while its write lock is held, so two imports at once cannot store one name
// twice. A tag the store keeps only in part (a value the database refuses) is deleted again inside
// the same transaction and reported, so that no half-written tag is ever visible.
#include <fmt/format.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_map>

#include "Commands.h"
#include "Csv.h"
#include "Layout.h"
#include "Progress.h"
#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "Values.h"
#include "Writer.h"
#include "ZEMABatch.h"

namespace {

// Files of this many bytes or more get a progress bar on a terminal.
constexpr long long kProgressBytes = 256 * 1024;

// One tag as a file gives it, before it is checked.
struct RawTag {
  std::string where;  // "file:line" or "file: tag #n"
  std::string name, desc, type, group, level, alarm;
  std::vector<std::pair<std::string, std::string>> values;    // field, text ("" = no value)
  std::map<std::string, std::array<std::string, 4>> display;  // field -> SCH, SCL, EU, Decimal
};

// What became of a checked tag in its batch.
enum class TagState {
  kNew,        // stored (or to be stored)
  kReplacing,  // stored in place of a tag of the same name, deleted in the same batch
  kSkipped,    // its name is in the database already (--skip-existing)
  kExists,     // its name is in the database already: reported
  kFailed,     // the store kept it only in part, so it was deleted again: reported
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
  TagState state = TagState::kNew;
  std::string reason;     // kFailed: why
  bool excluded = false;  // a tag to replace whose new version the store refused: not stored
};

// Where a name was first given: the file and its line (CSV) or tag number (JSON).
struct Origin {
  uint32_t file = 0;
  uint32_t position = 0;
};

class CImporter {
 public:
  CImporter(const ImportOptions& importOptions, std::vector<TypeDef> typeDefs, CSchemaStore schema)
      : options(importOptions), types(std::move(typeDefs)), reader(std::move(schema)) {}
  ~CImporter() { RollbackOpenBatch(); }
  CImporter(const CImporter&) = delete;
  CImporter& operator=(const CImporter&) = delete;

  // Reads, checks and saves one file, a batch at a time.
  void ReadFile(const std::string& path);
  // Saves the last, partly filled batch.
  void Finish();

  long saved = 0, skipped = 0, replaced = 0;
  int badRows = 0, badFiles = 0;
  // A failure that the next batch would meet too (locked, read-only, disk full) ended it.
  bool stopped = false;

 private:
  enum class Outcome { kStored, kRefused, kStopped };

  void ReadCsv(std::istream& in);
  void ReadJson(std::istream& in);
  void ReadJsonTag(const nlohmann::json& entry, size_t number);
  void Accept(const RawTag& raw, uint32_t position);
  std::string Prepare(const RawTag& raw, PreparedTag* tag) const;
  const TypeDef* FindType(const std::string& text) const;
  const TypeDef* FieldOwner(const std::string& field) const;
  std::string Where(const Origin& origin) const;
  void Bad(const std::string& where, const std::string& reason) {
    ReportError(fmt::format("{}: {}", where, reason));
    ++badRows;
  }
  void FileFailed(const std::string& reason) {
    ReportError(fmt::format("{}: {}", currentPath, reason));
    ++badFiles;
  }
  // Checks the names of the pending tags and stores them in one batch; clears the batch.
  void Flush();
  // One attempt at the pending batch: begin, check the names under the write lock, delete the
  // tags to replace, store, commit. oneByOne stores the tags one at a time and deletes again, by
  // name inside the same transaction, each tag the store kept only in part; a name checked
  // under that lock to be free before the store belongs to this import alone.
  Outcome StoreBatch(bool oneByOne);
  // Ends the import with the reason of a failure the next batch would meet too.
  Outcome Stop(const std::string& reason);
  void RollbackOpenBatch();
  void ShowProgress();

  const ImportOptions& options;
  std::vector<TypeDef> types;
  CSchemaStore reader;  // the name checks
  std::unique_ptr<CWriter> writer;
  bool batchOpen = false;
  std::vector<std::string> files;  // paths read so far, the last one being read
  std::vector<bool> jsonFiles;
  std::string currentPath;
  // Every name given so far, for the duplicate check; nothing else of a saved tag is kept.
  std::unordered_map<std::string, Origin> seen;
  std::vector<std::unique_ptr<PreparedTag>> pending;
  std::unique_ptr<CProgress> progress;
  std::istream* currentStream = nullptr;
  long long bytesBefore = 0, bytesTotal = 0;
};

std::string CImporter::Where(const Origin& origin) const {
  if (jsonFiles[origin.file])
    return fmt::format("{}: tag #{}", files[origin.file], origin.position);
  return fmt::format("{}:{}", files[origin.file], origin.position);
}

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

// Names and units hold no control character at all; descriptions may break lines.
std::string CheckText(const std::string& what, const std::string& text, size_t limit,
                      bool lineBreaks = false) {
  if (!IsUtf8(text)) return fmt::format("{} is not valid UTF-8", what);
  if (HasControlCharacter(text, lineBreaks))
    return fmt::format("{} holds a control character", what);
  if (text.size() > limit)
    return fmt::format("{} is {} bytes long; at most {} fit", what, text.size(), limit);
  return "";
}

std::string CImporter::Prepare(const RawTag& raw, PreparedTag* tag) const {
  tag->name = Trim(raw.name);
  if (tag->name.empty()) return "the tag name is empty";
  std::string reason =
      CheckText(fmt::format("tag name '{}'", Echo(tag->name)), tag->name, layout::kMaxTagName);
  if (!reason.empty()) return reason;
  reason = CheckText("the description", raw.desc, layout::kMaxTagDesc, true);
  if (!reason.empty()) return reason;
  if (Trim(raw.type).empty()) return fmt::format("tag {} has no type", tag->name);
  tag->type = FindType(raw.type);
  if (tag->type == nullptr) return fmt::format("unknown tag type '{}'", Echo(Trim(raw.type)));
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
                         Echo(*levelTexts[i].second));

  std::set<std::string> given;
  for (const auto& [column, text] : raw.values) {
    if (text.empty()) continue;
    const FieldDef* field = tag->type->Field(column);
    if (field == nullptr)
      return fmt::format("type {} has no field {} (the value '{}' has no place)", tag->type->name,
                         Echo(column), Echo(text));
    if (!given.insert(Lower(field->name)).second)
      return fmt::format("field {} is given twice", field->name);
    if (field->type.kind == ValueKind::kUnsupported)
      return fmt::format("field {} has column type {}, which zematag does not write", field->name,
                         field->declared);
    if (HasControlCharacter(text, true))
      return fmt::format("field {}: '{}' holds a control character", field->name, Echo(text));
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
                         Echo(column));
    TagHMIEntry entry{};
    CopyText(entry.FieldName, sizeof entry.FieldName, field->name);
    float* scales[2] = {&entry.SCH, &entry.SCL};
    for (int s = 0; s < 2; ++s) {
      if (Trim(texts[s]).empty()) continue;
      reason = ParseScale(texts[s], options.round, scales[s]);
      if (!reason.empty())
        return fmt::format("{}.{}: {}", field->name, layout::kDisplaySuffixes[s], reason);
    }
    reason =
        CheckText(fmt::format("{}.EU '{}'", column, Echo(texts[2])), texts[2], layout::kMaxUnit);
    if (!reason.empty()) return reason;
    CopyText(entry.EU, sizeof entry.EU, texts[2]);
    long long decimals = 0;
    if (!Trim(texts[3]).empty() && !ParseInteger(texts[3], 0, 255, &decimals))
      return fmt::format("{}.Decimal '{}' is not a whole number in 0..255", column, Echo(texts[3]));
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

void CImporter::Accept(const RawTag& raw, uint32_t position) {
  if (stopped) return;
  auto tag = std::make_unique<PreparedTag>();
  tag->where = raw.where;
  const std::string reason = Prepare(raw, tag.get());
  if (!reason.empty()) return Bad(raw.where, reason);
  const Origin origin{static_cast<uint32_t>(files.size() - 1), position};
  const auto [earlier, isNew] = seen.emplace(tag->name, origin);
  if (!isNew)
    return Bad(raw.where,
               fmt::format("tag name {} is used before, at {}", tag->name, Where(earlier->second)));
  pending.push_back(std::move(tag));
  if (pending.size() >= static_cast<size_t>(options.batchSize > 0 ? options.batchSize : 1000))
    Flush();
}

void CImporter::ReadFile(const std::string& path) {
  if (stopped) return;
  currentPath = path;
  files.push_back(path);
  jsonFiles.push_back(false);
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::directory) return FileFailed("is a directory, not a file");
  if (error && error.value() == ELOOP)
    return FileFailed("symbolic link loop (too many levels of symbolic links)");
  std::ifstream in(path, std::ios::binary);
  if (!in) return FileFailed(fmt::format("cannot read the file ({})", std::strerror(errno)));
  if (!progress) {
    for (const std::string& file : options.files) {
      const auto size = fs::file_size(file, error);
      if (!error) bytesTotal += static_cast<long long>(size);
    }
    progress = std::make_unique<CProgress>("importing", static_cast<long>(bytesTotal / 1024),
                                           !options.quiet && bytesTotal >= kProgressBytes);
  }
  // JSON by its name or by its first character; CSV otherwise.
  bool json = path.size() >= 5 && EqualsNoCase(path.substr(path.size() - 5), ".json");
  for (int c = in.get(); !json && c != std::char_traits<char>::eof(); c = in.get()) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    json = c == '{' || c == '[';
    break;
  }
  in.clear();
  in.seekg(0);
  jsonFiles.back() = json;
  currentStream = &in;
  if (json)
    ReadJson(in);
  else
    ReadCsv(in);
  currentStream = nullptr;
  if (in.bad() && !stopped) FileFailed("reading the file failed");
  bytesBefore += static_cast<long long>(fs::file_size(path, error));
}

void CImporter::ShowProgress() {
  if (!progress) return;
  long long done = bytesBefore;
  if (currentStream != nullptr) {
    const std::streamoff at = currentStream->tellg();
    if (at > 0) done += at;
  }
  progress->Update(static_cast<long>(done / 1024));
}

void CImporter::ReadCsv(std::istream& in) {
  CCsvReader csv(in);
  std::vector<std::string> header, cells;
  int line = 0;
  std::string error;
  if (!csv.Next(&header, &line, &error))
    return FileFailed("the file is empty; it needs a header row");
  const std::string where = fmt::format("{}:{}", currentPath, line);
  const auto headerFailed = [&](const std::string& reason) {
    ReportError(fmt::format("{}: {}; nothing of the file was read", where, reason));
    ++badFiles;
  };
  if (!error.empty()) return headerFailed(fmt::format("header: {}", error));

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
    if (column.empty()) return headerFailed(fmt::format("column {} has no name", i + 1));
    if (!names.insert(Lower(column)).second)
      return headerFailed(fmt::format("column {} appears twice", Echo(column)));
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
        return headerFailed(fmt::format(
            "column {}: display columns end in .SCH, .SCL, .EU or .Decimal", Echo(column)));
      if (FieldOwner(field) == nullptr)
        return headerFailed(
            fmt::format("column {}: no type has a field {}", Echo(column), Echo(field)));
      displayColumns.try_emplace(field, std::array<int, 4>{-1, -1, -1, -1});
      displayColumns[field][slot] = index;
      continue;
    }
    if (FieldOwner(column) == nullptr)
      return headerFailed(fmt::format(
          "column {} is neither a tag column ({}, {}, {}, {}, {}, {}) nor a field of any type",
          Echo(column), tagColumns[0], tagColumns[1], tagColumns[2], tagColumns[3], tagColumns[4],
          tagColumns[5]));
    valueColumns.emplace_back(index, column);
  }
  for (const char* required : {layout::kTagName, layout::kTagType})
    if (fixed.count(required) == 0)
      return headerFailed(fmt::format("the header has no {} column", required));

  const auto cell = [&](const char* name) {
    const auto found = fixed.find(name);
    return found == fixed.end() ? std::string() : cells[static_cast<size_t>(found->second)];
  };
  while (!stopped && csv.Next(&cells, &line, &error)) {
    const std::string rowWhere = fmt::format("{}:{}", currentPath, line);
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
    Accept(raw, static_cast<uint32_t>(line));
  }
}

std::string JsonText(const nlohmann::json& value) {
  if (value.is_null()) return "";
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  if (value.is_number()) return value.dump();
  throw ToolError("a value is neither text, a number nor true/false");
}

// The keys a tag of a JSON file may have, as `export --format json` writes them.
constexpr const char* kJsonTagKeys[] = {"name",  "type",       "description", "group",
                                        "level", "alarmLevel", "values",      "display"};

void CImporter::ReadJsonTag(const nlohmann::json& entry, size_t number) {
  RawTag raw;
  raw.where = fmt::format("{}: tag #{}", currentPath, number);
  try {
    if (!entry.is_object()) throw ToolError("the tag is not an object");
    raw.name = JsonText(entry.value("name", nlohmann::json()));
    raw.where += fmt::format(" ({})", Echo(raw.name));
    for (const auto& [key, value] : entry.items()) {
      bool known = false;
      for (const char* allowed : kJsonTagKeys) known = known || key == allowed;
      if (!known)
        throw ToolError(fmt::format("unknown key \"{}\" (a tag has {}, {}, {}, {}, {}, {}, {}, {})",
                                    Echo(key), kJsonTagKeys[0], kJsonTagKeys[1], kJsonTagKeys[2],
                                    kJsonTagKeys[3], kJsonTagKeys[4], kJsonTagKeys[5],
                                    kJsonTagKeys[6], kJsonTagKeys[7]));
    }
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
          throw ToolError(fmt::format("display of {} is not an object", Echo(field)));
        std::array<std::string, 4>& texts = raw.display[field];
        for (const auto& [key, value] : info.items()) {
          int slot = -1;
          for (int s = 0; s < 4; ++s)
            if (key == layout::kDisplaySuffixes[s]) slot = s;
          if (slot < 0)
            throw ToolError(fmt::format("display of {}: unknown key \"{}\" (SCH, SCL, EU, Decimal)",
                                        Echo(field), Echo(key)));
          texts[static_cast<size_t>(slot)] = JsonText(value);
        }
      }
    }
  } catch (const ToolError& e) {
    return Bad(raw.where, e.what());
  }
  Accept(raw, static_cast<uint32_t>(number));
}

void CImporter::ReadJson(std::istream& in) {
  using Json = nlohmann::json;
  using Event = Json::parse_event_t;
  // First the whole file for its syntax and its outline, keeping nothing: a broken file saves
  // nothing. The outline is {"types": [...], "tags": [...]} or the list of tags alone.
  std::string lastKey, problem;
  bool rootIsArray = false, hasTags = false;
  try {
    const Json kept = Json::parse(in, [&](int depth, Event event, Json& parsed) {
      if (depth == 0 && event == Event::array_start) rootIsArray = true;
      if (depth == 1 && event == Event::key && !rootIsArray) {
        lastKey = parsed.get<std::string>();
        if (lastKey == "tags") {
          hasTags = true;
        } else if (lastKey != "types" && problem.empty()) {
          problem = fmt::format("unknown key \"{}\" (the file has \"types\" and \"tags\")",
                                Echo(lastKey));
        }
      }
      if (depth == 1 && !rootIsArray && lastKey == "tags" &&
          (event == Event::object_start || event == Event::value) && problem.empty())
        problem = "\"tags\" is not a list";
      return depth == 0 ||
             (event != Event::object_end && event != Event::array_end && event != Event::value);
    });
    static_cast<void>(kept);
  } catch (const Json::exception& e) {
    return FileFailed(fmt::format("not valid JSON: {}; nothing of the file was read", e.what()));
  }
  if (!problem.empty()) return FileFailed(problem + "; nothing of the file was read");
  if (!rootIsArray && !hasTags)
    return FileFailed("the JSON object has no \"tags\" list; nothing of the file was read");

  // Then tag by tag, each checked and dropped as soon as it is read.
  in.clear();
  in.seekg(0);
  const int listDepth = rootIsArray ? 0 : 1;
  bool inList = false;
  size_t number = 0;
  lastKey.clear();
  try {
    const Json kept = Json::parse(in, [&](int depth, Event event, Json& parsed) {
      if (depth == 1 && event == Event::key && !rootIsArray) lastKey = parsed.get<std::string>();
      if (depth == listDepth && event == Event::array_start && (rootIsArray || lastKey == "tags"))
        inList = true;
      if (depth == listDepth && event == Event::array_end) inList = false;
      const bool ends =
          event == Event::object_end || event == Event::array_end || event == Event::value;
      if (inList && depth > listDepth + 1) return true;  // inside a tag
      if (inList && depth == listDepth + 1 && ends) {
        if (!stopped) ReadJsonTag(parsed, ++number);
        return false;
      }
      // Everything else (the types, the finished list) is dropped too.
      return depth == 0 || !ends;
    });
    static_cast<void>(kept);
  } catch (const Json::exception& e) {
    FileFailed(fmt::format("not valid JSON: {}", e.what()));
  }
}

void CImporter::Finish() {
  if (!stopped) Flush();
  if (progress) progress->Finish();
}

void CImporter::RollbackOpenBatch() {
  if (batchOpen && writer) ZemaRollbackBatch(writer->Get());
  batchOpen = false;
}

CImporter::Outcome CImporter::Stop(const std::string& reason) {
  RollbackOpenBatch();
  stopped = true;
  if (progress) progress->Finish();
  ReportError(fmt::format("{}: {}; the import stopped, nothing of its last batch was saved",
                          options.database, reason));
  return Outcome::kStopped;
}

CImporter::Outcome CImporter::StoreBatch(bool oneByOne) {
  CZEMAConfigAcs* w = writer->Get();
  // Tags taken out by an earlier attempt stay out, with their reason.
  for (const auto& tag : pending) {
    if (tag->excluded) {
      tag->state = TagState::kFailed;
      continue;
    }
    tag->state = TagState::kNew;
    tag->reason.clear();
  }
  if (ZemaBeginBatch(w) != 1) return Stop(LibraryFailureText());
  batchOpen = true;
  int kind = ZEMA_ERR_NONE;
  try {
    // The names, checked while this import holds the write lock: nobody stores a tag between
    // the check and the store.
    std::vector<const char*> toDelete;
    for (const auto& tag : pending) {
      if (tag->excluded || reader.TagIdsNamed(tag->name).empty()) continue;
      if (options.skipExisting) {
        tag->state = TagState::kSkipped;
      } else if (options.replace) {
        tag->state = TagState::kReplacing;
        toDelete.push_back(tag->name.c_str());
      } else {
        tag->state = TagState::kExists;
      }
    }
    if (!toDelete.empty()) {
      w->DeleteTags(toDelete.data(), static_cast<int>(toDelete.size()));
      const std::string why = LibraryFailureText(&kind);
      if (kind != ZEMA_ERR_NONE)
        return Stop(fmt::format("the tags to replace could not be deleted: {}", why));
    }
    std::vector<TagRecord> records;
    std::vector<PreparedTag*> storing;
    for (const auto& tag : pending)
      if (tag->state == TagState::kNew || tag->state == TagState::kReplacing) {
        records.push_back(tag->record);
        storing.push_back(tag.get());
      }
    if (!oneByOne) {
      if (!records.empty()) w->SaveTags(records.data(), static_cast<int>(records.size()));
      const std::string why = LibraryFailureText(&kind);
      if (IsFatalLibraryFailure(kind)) return Stop(why);
      if (kind != ZEMA_ERR_NONE) {
        // A tag kept only in part: find it, one tag at a time, in a new transaction.
        RollbackOpenBatch();
        return Outcome::kRefused;
      }
    } else {
      for (size_t i = 0; i < records.size(); ++i) {
        w->SaveTags(&records[i], 1);
        const std::string why = LibraryFailureText(&kind);
        if (IsFatalLibraryFailure(kind)) return Stop(why);
        if (kind == ZEMA_ERR_NONE) continue;
        storing[i]->reason = why;
        if (storing[i]->state == TagState::kReplacing) {
          // Its old tag is deleted in this transaction: give the whole batch up and try again
          // without the new one, so that the old one stays.
          storing[i]->excluded = true;
          RollbackOpenBatch();
          return Outcome::kRefused;
        }
        storing[i]->state = TagState::kFailed;
        const char* name = storing[i]->name.c_str();
        w->DeleteTags(&name, 1);
        const std::string deleteWhy = LibraryFailureText(&kind);
        if (kind != ZEMA_ERR_NONE)
          return Stop(fmt::format("tag {}, kept only in part, could not be taken back: {}",
                                  storing[i]->name, deleteWhy));
      }
    }
  } catch (const PlatformError& e) {
    const std::string why = LibraryFailureText(&kind);
    const std::string description = e.Description();
    return Stop(!why.empty() ? why
                             : fmt::format("the database engine failed: {}{}", e.what(),
                                           description.empty() ? "" : " (" + description + ")"));
  } catch (const ToolError&) {
    RollbackOpenBatch();
    throw;
  }
  batchOpen = false;
  if (ZemaCommitBatch(w) != 1) return Stop(LibraryFailureText());
  return Outcome::kStored;
}

void CImporter::Flush() {
  if (pending.empty() || stopped) return;
  if (options.dryRun) {
    for (const auto& tag : pending)
      if (!options.skipExisting && !options.replace && !reader.TagIdsNamed(tag->name).empty())
        Bad(tag->where, fmt::format("tag {} already exists in the database", tag->name));
    pending.clear();
    return;
  }
  if (!writer) writer = std::make_unique<CWriter>(options.database);
  // Every further attempt takes one more tag to replace out of the batch, so this ends.
  Outcome outcome = StoreBatch(false);
  while (outcome == Outcome::kRefused) outcome = StoreBatch(true);
  if (outcome == Outcome::kStopped) {
    pending.clear();
    return;
  }
  for (const auto& tag : pending) {
    switch (tag->state) {
      case TagState::kNew:
        ++saved;
        break;
      case TagState::kReplacing:
        ++saved;
        ++replaced;
        break;
      case TagState::kSkipped:
        ++skipped;
        break;
      case TagState::kExists:
        Bad(tag->where, fmt::format("tag {} already exists in the database", tag->name));
        break;
      case TagState::kFailed:
        Bad(tag->where, fmt::format("tag {} was not saved: {}", tag->name, tag->reason));
        break;
    }
  }
  pending.clear();
  ShowProgress();
}

}  // namespace

int RunImport(const ImportOptions& options) {
  if (options.skipExisting && options.replace)
    throw ToolError("--skip-existing and --replace exclude each other");
  CSchemaStore reader = CSchemaStore::OpenReadOnly(options.database);
  std::vector<TypeDef> types = reader.Types();
  CImporter importer(options, std::move(types), std::move(reader));
  for (const std::string& file : options.files) importer.ReadFile(file);
  importer.Finish();
  if (!options.quiet) {
    std::string notes;
    if (importer.replaced > 0) notes += fmt::format("; {} replaced", importer.replaced);
    if (importer.skipped > 0) notes += fmt::format("; {} already there, skipped", importer.skipped);
    if (importer.badRows > 0) notes += fmt::format("; {} row(s) rejected", importer.badRows);
    if (importer.badFiles > 0) notes += fmt::format("; {} file(s) not read", importer.badFiles);
    if (options.dryRun)
      fmt::print("checked {} file(s){}; nothing saved (--dry-run)\n", options.files.size(),
                 notes.empty() ? "" : notes);
    else
      fmt::print("{} {} tag(s) into {}{}\n",
                 importer.stopped ? "stopped after importing" : "imported", importer.saved,
                 Shown(options.database), notes);
  }
  return importer.badRows > 0 || importer.badFiles > 0 || importer.stopped ? 1 : 0;
}
