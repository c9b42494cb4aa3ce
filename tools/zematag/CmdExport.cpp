// zematag export: the whole catalogue as CSV or JSON (which import reads back), or the types as
// a type description (which init reads back).
#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "Catalogue.h"
#include "Commands.h"
#include "Csv.h"
#include "Layout.h"
#include "Text.h"
#include "ToolError.h"

namespace {

struct ExportedTag {
  TagView view;
  std::vector<FieldValue> fields;
};

std::string Unit(const TagHMIInfo& info) { return std::string(info.EU, strnlen(info.EU, 8)); }

// A number as JSON, from its shortest text; text when JSON has no such number (inf, nan).
nlohmann::ordered_json JsonReal(const std::string& text) {
  try {
    return nlohmann::ordered_json::parse(text);
  } catch (const nlohmann::ordered_json::exception&) {
    return text;
  }
}

nlohmann::ordered_json JsonValue(const VARIANT& value) {
  switch (value.vt) {
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_INT:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_R8:
      return JsonReal(VariantToText(value));
    case VT_UI8:
      return value.ullVal;
    case VT_R4:
      return JsonReal(FloatText(value.fltVal));
    case VT_BOOL:
      return value.boolVal != VARIANT_FALSE;
    default:
      return VariantToText(value);
  }
}

void WriteCsv(std::ostream& out, const CCatalogue& catalogue,
              const std::vector<ExportedTag>& tags) {
  // One column per field name over all types (in type and column order), followed by its
  // display columns when any tag has display information for it.
  std::vector<std::string> fieldColumns;
  std::set<std::string> known;
  for (const TypeDef& type : catalogue.Types())
    for (const FieldDef& field : type.fields) {
      for (const char* reserved : layout::kReservedFieldNames)
        if (EqualsNoCase(field.name, reserved))
          throw ToolError(
              fmt::format("field {} of type {} clashes with a tag column; export as "
                          "JSON instead",
                          field.name, type.name));
      if (known.insert(Lower(field.name)).second) fieldColumns.push_back(field.name);
    }
  std::set<std::string> withDisplay;
  for (const ExportedTag& tag : tags)
    for (const FieldValue& field : tag.fields)
      if (field.hasDisplay) withDisplay.insert(Lower(field.name));

  std::vector<std::string> header = {layout::kTagName,  layout::kTagType,  layout::kTagDesc,
                                     layout::kTagGroup, layout::kTagLevel, layout::kAlmLevel};
  for (const std::string& field : fieldColumns) {
    header.push_back(field);
    if (withDisplay.count(Lower(field)) != 0)
      for (const char* suffix : layout::kDisplaySuffixes) header.push_back(field + "." + suffix);
  }
  WriteCsvRecord(out, header);
  for (const ExportedTag& tag : tags) {
    CZEMATag* t = tag.view.tag;
    std::vector<std::string> row = {t->GetName(),
                                    tag.view.type != nullptr ? tag.view.type->name : "",
                                    t->GetDesc(),
                                    std::to_string(t->GetGroup()),
                                    std::to_string(t->GetLevel()),
                                    std::to_string(t->GetAlmLevel())};
    for (const std::string& column : fieldColumns) {
      const FieldValue* value = nullptr;
      for (const FieldValue& field : tag.fields)
        if (EqualsNoCase(field.name, column)) value = &field;
      row.push_back(value != nullptr ? VariantToText(value->value.value) : "");
      if (withDisplay.count(Lower(column)) == 0) continue;
      if (value != nullptr && value->hasDisplay) {
        row.push_back(FloatText(value->display.SCH));
        row.push_back(FloatText(value->display.SCL));
        row.push_back(Unit(value->display));
        row.push_back(std::to_string(value->display.Decimal));
      } else {
        row.insert(row.end(), 4, "");
      }
    }
    WriteCsvRecord(out, row);
  }
}

nlohmann::ordered_json TypesJson(const std::vector<TypeDef>& types) {
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const TypeDef& type : types) {
    nlohmann::ordered_json entry;
    entry["id"] = type.id;
    entry["name"] = type.name;
    entry["library"] = type.libId;
    entry["module"] = type.moduleId;
    entry["fields"] = nlohmann::ordered_json::array();
    for (const FieldDef& field : type.fields)
      entry["fields"].push_back({{"name", field.name}, {"type", field.declared}});
    list.push_back(entry);
  }
  return list;
}

void WriteJson(std::ostream& out, const CCatalogue& catalogue,
               const std::vector<ExportedTag>& tags) {
  nlohmann::ordered_json document;
  document["types"] = TypesJson(catalogue.Types());
  document["tags"] = nlohmann::ordered_json::array();
  for (const ExportedTag& tag : tags) {
    CZEMATag* t = tag.view.tag;
    nlohmann::ordered_json entry;
    entry["name"] = t->GetName();
    entry["type"] = tag.view.type != nullptr ? tag.view.type->name : "";
    entry["description"] = t->GetDesc();
    entry["group"] = t->GetGroup();
    entry["level"] = t->GetLevel();
    entry["alarmLevel"] = t->GetAlmLevel();
    nlohmann::ordered_json values = nlohmann::ordered_json::object();
    nlohmann::ordered_json display = nlohmann::ordered_json::object();
    for (const FieldValue& field : tag.fields) {
      if (!IsNoValue(field.value.value)) values[field.name] = JsonValue(field.value.value);
      if (field.hasDisplay)
        display[field.name] = {{"SCH", JsonReal(FloatText(field.display.SCH))},
                               {"SCL", JsonReal(FloatText(field.display.SCL))},
                               {"EU", Unit(field.display)},
                               {"Decimal", field.display.Decimal}};
    }
    entry["values"] = values;
    if (!display.empty()) entry["display"] = display;
    document["tags"].push_back(entry);
  }
  out << document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << "\n";
}

// Refuses an output file that is the database being read (or one of its journal files), and an
// existing file unless force. Returns whether the file existed.
bool CheckOutput(const std::string& database, const std::string& output, bool force) {
  namespace fs = std::filesystem;
  std::error_code error;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"})
    if (fs::equivalent(output, database + suffix, error))
      throw ToolError(
          fmt::format("{}: is the database being exported; write to another file", output));
  const fs::file_status status = fs::status(output, error);
  if (error && error.value() == ELOOP)
    throw ToolError(
        fmt::format("{}: symbolic link loop (too many levels of symbolic links)", output));
  if (status.type() == fs::file_type::directory)
    throw ToolError(fmt::format("{}: is a directory", output));
  const bool exists = fs::exists(status) || fs::is_symlink(fs::symlink_status(output, error));
  if (exists && !force)
    throw ToolError(fmt::format("{}: the file exists (use --force to replace it)", output));
  return exists;
}

}  // namespace

int RunExport(const std::string& database, const std::string& format, const std::string& output,
              bool force) {
  if (format != "csv" && format != "json" && format != "types")
    throw ToolError(fmt::format("unknown export format '{}' (csv, json, types)", format));
  const bool toFile = !output.empty() && output != "-";
  bool existed = false;
  if (toFile) existed = CheckOutput(database, output, force);
  CCatalogue catalogue(database);
  std::vector<ExportedTag> tags;
  if (format != "types")
    for (const TagView& view : catalogue.Tags()) tags.push_back({view, ReadFields(view.tag)});

  std::ofstream file;
  if (toFile) {
    file.open(output, std::ios::binary | std::ios::trunc);
    if (!file)
      throw ToolError(fmt::format("{}: cannot write the file ({})", output, std::strerror(errno)));
  }
  std::ostream& out = file.is_open() ? file : std::cout;
  errno = 0;
  try {
    if (format == "csv")
      WriteCsv(out, catalogue, tags);
    else if (format == "json")
      WriteJson(out, catalogue, tags);
    else
      out << TypeDescriptionText(catalogue.Types());
    out.flush();
  } catch (...) {
    // A file this export began and could not finish does not stay behind.
    if (toFile && !existed) {
      file.close();
      std::remove(output.c_str());
    }
    throw;
  }
  if (!out) {
    const int cause = errno;
    if (toFile && !existed) {
      file.close();
      std::remove(output.c_str());
    }
    const std::string why = cause == ENOSPC || cause == EFBIG ? "disk full"
                            : cause != 0                      ? std::strerror(cause)
                                                              : "the output failed";
    throw ToolError(fmt::format("{}: writing failed: {}", toFile ? output : "-", why));
  }
  const int untyped = catalogue.TagCount() - static_cast<int>(catalogue.Tags().size());
  if (untyped > 0 && format != "types")
    ReportError(fmt::format("{}: {} tag(s) without a type are not exported (see zematag check)",
                            database, untyped));
  return 0;
}
