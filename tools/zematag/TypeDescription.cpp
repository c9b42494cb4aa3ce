#include "TypeDescription.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "Layout.h"
#include "Text.h"
#include "ToolError.h"

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError(fmt::format("{}: cannot read the file", path));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int ParseId(const std::string& where, const std::string& key, const std::string& text) {
  long long value = 0;
  if (!ParseInteger(text, INT32_MIN, INT32_MAX, &value))
    throw ToolError(fmt::format("{}: {} '{}' is not a whole number", where, key, text));
  return static_cast<int>(value);
}

std::vector<TypeDef> ParseText(const std::string& path, const std::string& text) {
  std::vector<TypeDef> types;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const std::string where = fmt::format("{}:{}", path, number);
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[') {
      if (line.back() != ']') throw ToolError(where + ": a section line reads [TypeName]");
      TypeDef type;
      type.name = Trim(line.substr(1, line.size() - 2));
      type.where = where;
      types.push_back(type);
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string::npos)
      throw ToolError(where + ": expected 'key = value' or '[TypeName]'");
    if (types.empty()) throw ToolError(where + ": a '[TypeName]' line must come first");
    TypeDef& type = types.back();
    const std::string key = Lower(Trim(line.substr(0, equals)));
    const std::string value = Trim(line.substr(equals + 1));
    if (key == "id") {
      type.id = ParseId(where, key, value);
      type.hasId = true;
    } else if (key == "library") {
      type.libId = ParseId(where, key, value);
    } else if (key == "module") {
      type.moduleId = ParseId(where, key, value);
    } else if (key == "field") {
      const size_t blank = value.find_first_of(" \t");
      if (blank == std::string::npos)
        throw ToolError(where + ": a field line reads 'field = Name TYPE'");
      FieldDef field;
      field.name = value.substr(0, blank);
      field.declared = Trim(value.substr(blank));
      type.fields.push_back(field);
    } else {
      throw ToolError(fmt::format("{}: unknown key '{}' (id, library, module, field)", where,
                                  Trim(line.substr(0, equals))));
    }
  }
  return types;
}

std::vector<TypeDef> ParseJson(const std::string& path, const std::string& text) {
  std::vector<TypeDef> types;
  try {
    const nlohmann::json document = nlohmann::json::parse(text);
    const nlohmann::json& list = document.at("types");
    for (size_t i = 0; i < list.size(); ++i) {
      const nlohmann::json& entry = list.at(i);
      TypeDef type;
      type.where = fmt::format("{}: type #{}", path, i + 1);
      type.name = entry.at("name").get<std::string>();
      type.id = entry.at("id").get<int>();
      type.hasId = true;
      type.libId = entry.value("library", 0);
      type.moduleId = entry.value("module", 0);
      if (entry.contains("fields"))
        for (const nlohmann::json& f : entry.at("fields")) {
          FieldDef field;
          field.name = f.at("name").get<std::string>();
          field.declared = f.at("type").get<std::string>();
          type.fields.push_back(field);
        }
      types.push_back(type);
    }
  } catch (const nlohmann::json::exception& e) {
    throw ToolError(fmt::format("{}: not a type description: {}", path, e.what()));
  }
  return types;
}

bool IsReservedTable(const std::string& name) {
  return EqualsNoCase(name, layout::kTagTypes) || EqualsNoCase(name, layout::kTags) ||
         EqualsNoCase(name, layout::kHMIInfo) || EqualsNoCase(name, layout::kAuditLog) ||
         EqualsNoCase(name, layout::kConfigGeneration) || Lower(name).rfind("sqlite_", 0) == 0;
}

}  // namespace

const FieldDef* TypeDef::Field(const std::string& wanted) const {
  for (const FieldDef& field : fields)
    if (field.name == wanted) return &field;
  for (const FieldDef& field : fields)
    if (EqualsNoCase(field.name, wanted)) return &field;
  return nullptr;
}

std::vector<TypeDef> ReadTypeDescription(const std::string& path) {
  const std::string text = ReadFile(path);
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && text[first] == '{') return ParseJson(path, text);
  return ParseText(path, text);
}

void ValidateTypes(std::vector<TypeDef>* types) {
  std::set<int> ids;
  std::set<std::string> names;
  for (TypeDef& type : *types) {
    const std::string& where = type.where.empty() ? type.name : type.where;
    if (!type.hasId) throw ToolError(fmt::format("{}: type {} has no id", where, type.name));
    if (type.id < 1 || type.id > 32767)
      throw ToolError(fmt::format("{}: type id {} is not in 1..32767", where, type.id));
    if (!ids.insert(type.id).second)
      throw ToolError(fmt::format("{}: type id {} is used twice", where, type.id));
    if (!IsIdentifier(type.name) || type.name.size() > layout::kMaxTypeName)
      throw ToolError(fmt::format(
          "{}: type name '{}' must be a letter or '_' followed by letters, digits or '_' "
          "(at most {} bytes)",
          where, type.name, layout::kMaxTypeName));
    if (IsReservedTable(type.name) ||
        sqlite3_keyword_check(type.name.c_str(), static_cast<int>(type.name.size())) != 0)
      throw ToolError(fmt::format("{}: '{}' cannot name a type: it is a table or SQL key word",
                                  where, type.name));
    if (!names.insert(Lower(type.name)).second)
      throw ToolError(fmt::format("{}: type name {} is used twice", where, type.name));
    std::set<std::string> fieldNames;
    for (FieldDef& field : type.fields) {
      if (!IsIdentifier(field.name) || field.name.size() > layout::kMaxFieldName)
        throw ToolError(fmt::format(
            "{}: field name '{}' of type {} must be a letter or '_' followed by letters, digits "
            "or '_' (at most {} bytes)",
            where, field.name, type.name, layout::kMaxFieldName));
      for (const char* reserved : layout::kReservedFieldNames)
        if (EqualsNoCase(field.name, reserved))
          throw ToolError(fmt::format("{}: type {} cannot have a field named {}", where, type.name,
                                      field.name));
      if (!fieldNames.insert(Lower(field.name)).second)
        throw ToolError(
            fmt::format("{}: field {} of type {} is listed twice", where, field.name, type.name));
      std::string reason;
      const std::string declared = CanonicalDeclaration(field.declared, &reason);
      if (declared.empty())
        throw ToolError(
            fmt::format("{}: field {} of type {}: {}", where, field.name, type.name, reason));
      field.declared = declared;
      field.type = ColumnTypeOf(declared);
    }
  }
}

std::string TypeDescriptionText(const std::vector<TypeDef>& types) {
  std::string text = "# Tag types: [name], id, function block library and module, fields.\n";
  for (const TypeDef& type : types) {
    text += fmt::format("\n[{}]\nid      = {}\nlibrary = {}\nmodule  = {}\n", type.name, type.id,
                        type.libId, type.moduleId);
    for (const FieldDef& field : type.fields)
      text += fmt::format("field   = {} {}\n", field.name, field.declared);
  }
  return text;
}
