// CZEMATagImpl: one tag of the catalogue, with its values and display information.
#ifndef ZEMA_CATALOGUE_ZEMATAGIMPL_H
#define ZEMA_CATALOGUE_ZEMATAGIMPL_H

#include <string>
#include <utility>
#include <vector>

#include "ZEMATagAcs.h"
#include "catalogue/ZEMATagTypeImpl.h"

class CZEMATagImpl : public CZEMATag {
 public:
  CZEMATagImpl() = default;
  // Clears every value; a failing clear raises PlatformError.
  virtual ~CZEMATagImpl();
  CZEMATagImpl(const CZEMATagImpl&) = delete;
  CZEMATagImpl& operator=(const CZEMATagImpl&) = delete;

  const char* GetName() override { return name.c_str(); }
  const char* GetDesc() override { return desc.c_str(); }
  uint8_t GetGroup() override { return group; }
  uint8_t GetAlmLevel() override { return almLevel; }
  uint8_t GetLevel() override { return level; }
  CZEMATagType* GetType() override { return type; }
  int GetFields(int kind, int capacity, int* count, TagFieldValue* fields) override;
  int GetFieldCount() override { return static_cast<int>(values.size()); }
  int GetHMIInfo(const char* fieldName, TagHMIInfo* info) override;

  // For the loader.
  void SetName(std::string text) { name = std::move(text); }
  void SetDesc(std::string text) { desc = std::move(text); }
  void SetGroup(uint8_t value) { group = value; }
  void SetAlmLevel(uint8_t value) { almLevel = value; }
  void SetLevel(uint8_t value) { level = value; }
  void SetType(CZEMATagTypeImpl* tagType) { type = tagType; }
  CZEMATagTypeImpl* TypeImpl() const { return type; }
  // Appends a copy of value; a failing copy raises PlatformError.
  void AppendValue(const VARIANT& value);
  // Appends value, taking over its payload; value is left VT_EMPTY.
  void AppendValueMove(VARIANT& value);
  void ReserveValues(size_t count) { values.reserve(values.size() + count); }
  // Appends count VT_EMPTY values and returns the first, for the loader to read into; valid
  // until the next append.
  VARIANT* AppendEmptyValues(size_t count) {
    const size_t first = values.size();
    values.resize(first + count);  // zeroed: VT_EMPTY
    return values.data() + first;
  }
  // Adds the display information of a field; when the field has one from an earlier row, that
  // one is what GetHMIInfo gives.
  void AddHMIInfo(const std::string& fieldName, const TagHMIInfo& info);

 private:
  uint8_t group = 0;
  uint8_t almLevel = 0;
  uint8_t level = 0;
  std::string name;
  std::string desc;
  CZEMATagTypeImpl* type = nullptr;
  std::vector<VARIANT> values;
  // The display information of fields (names compared as exact bytes) in the order of their
  // rows; a later row of a field is never found. A tag has it for a few fields: one small array
  // holds them, where a tree took an allocation for each, and adding a row costs the same
  // however many there are (a search when the tag is asked is linear in its rows).
  struct HMIEntry {
    std::string fieldName;
    TagHMIInfo info;
  };
  std::vector<HMIEntry> hmiInfo;
};

#endif
