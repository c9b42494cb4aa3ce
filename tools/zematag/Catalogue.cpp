#include "Catalogue.h"

#include <fmt/format.h>

#include <cstring>

#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"

CCatalogue::CCatalogue(const std::string& path) {
  types = CSchemaStore::OpenReadOnly(path).Types();
  CZEMATagAcs::Release();
  acs = CZEMATagAcs::Instance();
  if (acs == nullptr) throw ToolError("the tag library did not start");
  if (acs->Load(path.c_str()) != 1) {
    const std::string why = LibraryFailureText();
    CZEMATagAcs::Release();
    throw ToolError(
        fmt::format("{}: {}", Shown(path), why.empty() ? "does not load as a tag database" : why));
  }
  for (const TypeDef& type : types)
    for (const TagView& view : Tags(type.id))
      if (view.tag->GetType() != nullptr) typeOf[view.tag->GetType()] = &type;
}

CCatalogue::~CCatalogue() { CZEMATagAcs::Release(); }

const TypeDef* CCatalogue::TypeById(int id) const {
  for (const TypeDef& type : types)
    if (type.id == id) return &type;
  return nullptr;
}

const TypeDef* CCatalogue::TypeByName(const std::string& name) const {
  for (const TypeDef& type : types)
    if (EqualsNoCase(type.name, name)) return &type;
  return nullptr;
}

std::vector<TagView> CCatalogue::Tags(int typeId) const {
  const int capacity = acs->GetTagCount();
  std::vector<CZEMATag*> tags(static_cast<size_t>(capacity) + 1);
  int count = 0;
  acs->GetTags(typeId, capacity, &count, tags.data());
  std::vector<TagView> views;
  for (int i = 0; i < count && i < capacity; ++i) {
    TagView view;
    view.tag = tags[static_cast<size_t>(i)];
    const auto found = typeOf.find(view.tag->GetType());
    view.type = found != typeOf.end() ? found->second : nullptr;
    views.push_back(view);
  }
  return views;
}

TagView CCatalogue::Find(const std::string& name) const {
  for (const TagView& view : Tags())
    if (name == view.tag->GetName()) return view;
  return TagView();
}

std::vector<FieldValue> ReadFields(CZEMATag* tag) {
  const int capacity = tag->GetFieldCount() + 1;
  std::vector<TagFieldValue> raw(static_cast<size_t>(capacity));
  for (TagFieldValue& field : raw) VariantInit(&field.value);
  int count = 0;
  std::vector<FieldValue> fields;
  try {
    tag->GetFields(ZEMA_KIND_ALL, capacity, &count, raw.data());
  } catch (...) {
    for (TagFieldValue& field : raw) VariantClear(&field.value);
    throw;
  }
  fields.resize(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    TagFieldValue& source = raw[static_cast<size_t>(i)];
    FieldValue& field = fields[static_cast<size_t>(i)];
    field.name.assign(source.name, strnlen(source.name, sizeof source.name));
    field.kind = source.kind;
    field.value.value = source.value;  // takes over the copy
    VariantInit(&source.value);
    field.hasDisplay = tag->GetHMIInfo(field.name.c_str(), &field.display) == 1;
  }
  for (TagFieldValue& field : raw) VariantClear(&field.value);
  return fields;
}

const char* KindName(int kind) {
  if (kind == ZEMA_KIND_INPUT) return "input";
  if (kind == ZEMA_KIND_OUTPUT) return "output";
  return "other";
}
