// zematag list and zematag show: the tags of a database as the library reads them.
#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "Catalogue.h"
#include "Commands.h"
#include "Text.h"
#include "ToolError.h"

namespace {

std::string TypeName(const TagView& view) { return view.type != nullptr ? view.type->name : "?"; }

std::string Unit(const TagHMIInfo& info) { return std::string(info.EU, strnlen(info.EU, 8)); }

std::string DisplayText(const FieldValue& field) {
  if (!field.hasDisplay) return "";
  return fmt::format("{} .. {} {} ({} decimal{})", FloatText(field.display.SCL),
                     FloatText(field.display.SCH), Unit(field.display), field.display.Decimal,
                     field.display.Decimal == 1 ? "" : "s");
}

}  // namespace

void PrintTag(const TagView& view) {
  CZEMATag* tag = view.tag;
  const TypeDef* type = view.type;
  fmt::print("{}  {}\n", tag->GetName(), tag->GetDesc());
  if (type != nullptr)
    fmt::print("  type {} (id {}, library {}, module {})\n", type->name, type->id, type->libId,
               type->moduleId);
  fmt::print("  group {}, level {}, alarm level {}\n", tag->GetGroup(), tag->GetLevel(),
             tag->GetAlmLevel());
  const std::vector<FieldValue> fields = ReadFields(tag);
  size_t width = 5;
  for (const FieldValue& field : fields) width = std::max(width, field.name.size());
  const struct {
    int kind;
    const char* title;
  } groups[] = {
      {ZEMA_KIND_INPUT, "inputs"}, {ZEMA_KIND_OUTPUT, "outputs"}, {ZEMA_KIND_NONE, "others"}};
  for (const auto& group : groups) {
    bool any = false;
    for (const FieldValue& field : fields) {
      const bool other = field.kind != ZEMA_KIND_INPUT && field.kind != ZEMA_KIND_OUTPUT;
      if (field.kind != group.kind && !(group.kind == ZEMA_KIND_NONE && other)) continue;
      if (!any) fmt::print("  {}:\n", group.title);
      any = true;
      std::string value = IsNoValue(field.value.value) ? "-" : VariantToText(field.value.value);
      if (field.value.value.vt == VT_BSTR) value = "\"" + value + "\"";
      const std::string display = DisplayText(field);
      if (display.empty())
        fmt::print("    {:<{}}  {}\n", field.name, width, value);
      else
        fmt::print("    {:<{}}  {:<16}  {}\n", field.name, width, value, display);
    }
  }
}

int RunList(const std::string& database, const std::string& typeText) {
  CCatalogue catalogue(database);
  int typeId = 0;
  if (!typeText.empty()) {
    long long id = 0;
    const TypeDef* type = ParseInteger(typeText, INT32_MIN, INT32_MAX, &id)
                              ? catalogue.TypeById(static_cast<int>(id))
                              : catalogue.TypeByName(typeText);
    if (type == nullptr) throw ToolError(fmt::format("{}: no tag type '{}'", database, typeText));
    typeId = type->id;
  }
  const std::vector<TagView> tags = catalogue.Tags(typeId);
  size_t nameWidth = 7, typeWidth = 4;
  for (const TagView& view : tags) {
    nameWidth = std::max(nameWidth, std::strlen(view.tag->GetName()));
    typeWidth = std::max(typeWidth, TypeName(view).size());
  }
  fmt::print("{:<{}}  {:<{}}  {:>5}  {:>5}  {:>5}  {}\n", "TagName", nameWidth, "Type", typeWidth,
             "Group", "Level", "Alarm", "Description");
  for (const TagView& view : tags) {
    std::string line =
        fmt::format("{:<{}}  {:<{}}  {:>5}  {:>5}  {:>5}  {}", view.tag->GetName(), nameWidth,
                    TypeName(view), typeWidth, view.tag->GetGroup(), view.tag->GetLevel(),
                    view.tag->GetAlmLevel(), view.tag->GetDesc());
    line.erase(line.find_last_not_of(' ') + 1);
    fmt::print("{}\n", line);
  }
  const int untyped = typeId == 0 ? catalogue.TagCount() - static_cast<int>(tags.size()) : 0;
  fmt::print("{} tag(s){}\n", tags.size(),
             untyped > 0 ? fmt::format(" and {} without a type (see zematag check)", untyped)
                         : std::string());
  return 0;
}

int RunShow(const std::string& database, const std::vector<std::string>& names) {
  CCatalogue catalogue(database);
  int status = 0;
  bool first = true;
  for (const std::string& name : names) {
    const TagView view = catalogue.Find(name);
    if (view.tag == nullptr) {
      ReportError(fmt::format("{}: no tag named {}", database, name));
      status = 1;
      continue;
    }
    if (!first) fmt::print("\n");
    first = false;
    PrintTag(view);
  }
  return status;
}
