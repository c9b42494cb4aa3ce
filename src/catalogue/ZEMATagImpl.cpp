#include "catalogue/ZEMATagImpl.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/crt/crt.h"

namespace {

const unsigned char kTagIdName[] = "TagID";

// The first entry whose name is not less than name.
template <class Entries>
auto FirstNotBelow(Entries& entries, std::string_view name) {
  return std::lower_bound(entries.begin(), entries.end(), name,
                          [](const auto& entry, std::string_view key) {
                            return std::string_view(entry.fieldName) < key;
                          });
}

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
  const std::string_view wanted(fieldName);
  auto found = FirstNotBelow(hmiInfo, wanted);
  if (found == hmiInfo.end() || found->fieldName != wanted) return 0;
  *info = found->info;
  return 1;
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
  // Rows of a tag mostly come in name order: then the entry goes last without a search.
  auto at = hmiInfo.empty() || hmiInfo.back().fieldName < fieldName
                ? hmiInfo.end()
                : FirstNotBelow(hmiInfo, fieldName);
  if (at != hmiInfo.end() && at->fieldName == fieldName) return;  // the first row of a field wins
  hmiInfo.insert(at, HMIEntry{fieldName, info});
}
