#include "catalogue/ZEMATagImpl.h"

#include <cstring>
#include <string_view>

#include "platform/crt/crt.h"

namespace {

const unsigned char kTagIdName[] = "TagID";

// Copies a field name into the 32-byte name of a TagFieldValue: at most 31 bytes, never half a
// character, always terminated.
void CopyFieldName(const std::string& name, char (&out)[32]) {
  std::memset(out, 0, sizeof out);
  crt::_mbsnbcpy(reinterpret_cast<unsigned char*>(out),
                 reinterpret_cast<const unsigned char*>(name.c_str()), sizeof out - 1);
}

}  // namespace

CZEMATagImpl::~CZEMATagImpl() {
  // A destructor cannot pass an error on; a value that does not clear is abandoned.
  for (VARIANT& value : values) VariantClear(&value);
}

int CZEMATagImpl::GetFields(int kind, int capacity, int* count, TagFieldValue* fields) {
  if (count == nullptr) return 0;
  *count = 0;
  if (type == nullptr) return 0;
  if (capacity > 0 && fields == nullptr) return 0;

  const int fieldCount = type->FieldCount();
  for (int i = 0; i < fieldCount && *count < capacity; ++i) {
    const TagTypeField* field = type->FieldAt(i);
    if (kind != ZEMA_KIND_ALL && kind != field->kind) continue;
    const auto* fieldName = reinterpret_cast<const unsigned char*>(field->name.c_str());
    if (crt::_mbsicmp(fieldName, kTagIdName) == 0) continue;
    // A field without a value of this tag (no row in the type's table, or a field list that grew
    // on a second load) is skipped.
    if (static_cast<size_t>(i) >= values.size()) continue;

    TagFieldValue& out = fields[*count];
    CopyFieldName(field->name, out.name);
    out.kind = field->kind;
    HRESULT hr = VariantCopy(&out.value, &values[static_cast<size_t>(i)]);
    if (FAILED(hr)) throw PlatformError(hr);
    ++*count;
  }
  return 1;
}

int CZEMATagImpl::GetHMIInfo(const char* fieldName, TagHMIInfo* info) {
  if (fieldName == nullptr || info == nullptr) return 0;
  // In the order the rows came: the first row of a field wins.
  const std::string_view wanted(fieldName);
  for (const HMIEntry& entry : hmiInfo) {
    if (entry.fieldName != wanted) continue;
    *info = entry.info;
    return 1;
  }
  return 0;
}

void CZEMATagImpl::AppendValue(const VARIANT& value) {
  values.emplace_back();
  VariantInit(&values.back());
  HRESULT hr = VariantCopy(&values.back(), &value);
  if (FAILED(hr)) {
    values.pop_back();
    throw PlatformError(hr);
  }
}

void CZEMATagImpl::AppendValueMove(VARIANT& value) {
  values.push_back(value);
  VariantInit(&value);
}

void CZEMATagImpl::AddHMIInfo(const std::string& fieldName, const TagHMIInfo& info) {
  // Room for two at the first: most tags have display rows for one or two fields.
  if (hmiInfo.empty()) hmiInfo.reserve(2);
  hmiInfo.push_back(HMIEntry{fieldName, info});
}
