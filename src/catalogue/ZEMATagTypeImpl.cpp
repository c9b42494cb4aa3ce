#include "catalogue/ZEMATagTypeImpl.h"

#include <cstring>

#include "platform/crt/crt.h"

namespace {

// The kind that an attribute text of a module file gives; the comparison is exact.
int KindFromAttribute(const char* attr) {
  if (std::strcmp(attr, "in") == 0) return ZEMA_KIND_INPUT;
  if (std::strcmp(attr, "out") == 0) return ZEMA_KIND_OUTPUT;
  return ZEMA_KIND_NONE;
}

}  // namespace

CZEMATagTypeImpl::~CZEMATagTypeImpl() = default;

void CZEMATagTypeImpl::AddField(const char* name) {
  auto field = std::make_unique<TagTypeField>();
  field->name = name != nullptr ? name : "";
  fields.push_back(std::move(field));
}

TagTypeField* CZEMATagTypeImpl::FieldAt(int index) const {
  if (index < 0 || index >= FieldCount()) return nullptr;
  return fields[static_cast<size_t>(index)].get();
}

void CZEMATagTypeImpl::SetFieldKind(const char* name, const char* attr) {
  if (name == nullptr) return;
  const int kind = KindFromAttribute(attr != nullptr ? attr : "");
  const auto* wanted = reinterpret_cast<const unsigned char*>(name);
  for (auto& field : fields) {
    const auto* have = reinterpret_cast<const unsigned char*>(field->name.c_str());
    if (crt::_mbsicmp(have, wanted) == 0) field->kind = kind;
  }
}
