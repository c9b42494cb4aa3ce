#include "PlantModel.h"

#include <cstdio>

namespace bench {

namespace {

std::vector<FieldSpec> MakeFields() {
  std::vector<FieldSpec> fields;
  for (int i = 1; i <= 8; ++i)
    fields.push_back({"Long" + std::to_string(i), FieldType::Long, "LONG", kKindNone});
  for (int i = 1; i <= 6; ++i)
    fields.push_back({"Real" + std::to_string(i), FieldType::Double, "DOUBLE", kKindNone});
  for (int i = 1; i <= 4; ++i)
    fields.push_back({"Flag" + std::to_string(i), FieldType::Bit, "BIT", kKindNone});
  for (int i = 1; i <= 4; ++i)
    fields.push_back({"Text" + std::to_string(i), FieldType::Text, "VARCHAR(16)", kKindNone});
  fields.push_back({"Stamp", FieldType::DateTime, "DATETIME", kKindNone});
  fields.push_back({"Cost", FieldType::Currency, "CURRENCY", kKindNone});
  // Inputs and outputs alternate over the kinds of columns; the last two have no direction.
  static const int kKinds[24] = {2, 3, 2, 3, 2, 3, 2, 3, 2, 3, 2, 3,
                                 2, 3, 2, 3, 2, 3, 2, 3, 2, 2, 0, 0};
  const int order[24] = {0, 8,  14, 18, 1, 9,  15, 19, 2, 10, 16, 20,
                         3, 11, 17, 21, 4, 12, 5,  13, 6, 7,  22, 23};
  for (int i = 0; i < 24; ++i) fields[order[i]].kind = kKinds[i];
  return fields;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

}  // namespace

const std::vector<FieldSpec>& Fields() {
  static const std::vector<FieldSpec> fields = MakeFields();
  return fields;
}

std::string TypeName(int typeId) {
  char name[32];
  std::snprintf(name, sizeof name, "FBType%03d", typeId);
  return name;
}

int TypeLibId(int typeId) { return 1 + (typeId - 1) % kCatalogueLibraries; }
int TypeModuleId(int typeId) { return 1 + (typeId - 1) / kCatalogueLibraries; }

std::string LibraryFolder(int libId) { return "Lib" + std::to_string(libId); }

std::string ModuleFile(int libId, int moduleId) {
  char name[32];
  std::snprintf(name, sizeof name, "FB%d_%03d.xml", libId, moduleId);
  return name;
}

int TagType(int tag, int types) { return 1 + (tag - 1) % types; }

std::string TagName(int tag) {
  char name[32];
  std::snprintf(name, sizeof name, "U%02d-TAG-%07d", tag % 97, tag);
  return name;
}

std::string TagDesc(int tag, int types) {
  return "Tag " + std::to_string(tag) + " of " + TypeName(TagType(tag, types)) + " in unit " +
         std::to_string(tag % 97);
}

int TagGroup(int tag) { return tag % 16; }
int TagLevel(int tag) { return tag % 4; }
int AlmLevel(int tag) { return tag % 3; }

int32_t LongValue(int tag, int field) {
  return static_cast<int32_t>((static_cast<int64_t>(tag) * 7919 + field * 104729) % 2000003) -
         1000000;
}

double DoubleValue(int tag, int field) { return tag * 0.25 + field * 1.0 / 3.0; }

bool BitValue(int tag, int field) { return ((tag + field) & 1) != 0; }

std::string TextValue(int tag, int field) {
  char text[17];
  std::snprintf(text, sizeof text, "S%d-%09d", field % 10, (tag * 31 + field) % 1000000000);
  return text;
}

DateTimeValue DateValue(int tag, int field) {
  return {2020 + tag % 7, 1 + tag % 12, 1 + tag % 28, tag % 24, (tag + field) % 60, field % 60};
}

std::string DateText(const DateTimeValue& v) {
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", v.year, v.month, v.day, v.hour,
                v.minute, v.second);
  return text;
}

double OleDate(const DateTimeValue& v) {
  const int64_t days = DaysFromCivil(v.year, v.month, v.day) - DaysFromCivil(1899, 12, 30);
  return static_cast<double>(days) + (v.hour * 3600 + v.minute * 60 + v.second) / 86400.0;
}

int64_t CurrencyTenThousandths(int tag, int field) {
  return (static_cast<int64_t>(tag) * 1234567 + field * 89) % 100000000000LL;
}

HmiSpec Hmi(int tag, int row) {
  if (row == 0) return {"Real1", 100.0 + tag % 50, 0.0, "degC", 1};
  return {"Real2", 16.0, -1.0 * (tag % 8), "bar", 2};
}

std::vector<std::string> SpreadTagNames(int tags, int count) {
  std::vector<std::string> names;
  if (count <= 0 || tags <= 0) return names;
  names.reserve(count);
  for (int i = 0; i < count; ++i) {
    const int tag = 1 + static_cast<int>(static_cast<int64_t>(i) * tags / count);
    names.push_back(TagName(tag));
  }
  return names;
}

}  // namespace bench
