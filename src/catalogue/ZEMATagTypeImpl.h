// CZEMATagTypeImpl: one row of TagTypes with the fields of its value table.
#ifndef ZEMA_CATALOGUE_ZEMATAGTYPEIMPL_H
#define ZEMA_CATALOGUE_ZEMATAGTYPEIMPL_H

#include <memory>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"

// One field of a type: a column of its value table and the field's direction.
struct TagTypeField {
  std::string name;
  int kind = ZEMA_KIND_NONE;
};

class CZEMATagTypeImpl : public CZEMATagType {
 public:
  CZEMATagTypeImpl() = default;
  virtual ~CZEMATagTypeImpl();

  int GetLibID() override { return TypeLibID; }
  int GetModuleID() override { return TypeModuleID; }

  int TypeIdValue() const { return TypeID; }
  std::string TypeNameValue() const { return TypeName; }
  const std::string& TypeNameRef() const { return TypeName; }
  void SetTypeID(int id) { TypeID = id; }
  void SetTypeName(const std::string& name) { TypeName = name; }
  void SetTypeLibID(int id) { TypeLibID = id; }
  void SetTypeModuleID(int id) { TypeModuleID = id; }

  // Appends a field of kind 0; duplicate names are accepted.
  void AddField(const char* name);
  int FieldCount() const { return static_cast<int>(fields.size()); }
  // The field at index, or null when index is out of range.
  TagTypeField* FieldAt(int index) const;
  // Sets the kind given by attr ("in" 2, "out" 3, anything else 0) on every field whose name
  // equals name without regard to case.
  void SetFieldKind(const char* name, const char* attr);

 private:
  int TypeID = 0;
  std::string TypeName;
  std::vector<std::unique_ptr<TagTypeField>> fields;
  int TypeLibID = 0;
  int TypeModuleID = 0;
};

#endif
