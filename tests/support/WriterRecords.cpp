#include "support/WriterRecords.h"

#include <string.h>

namespace {

template <size_t N>
void CopyText(const std::string& text, char (&out)[N]) {
  memset(out, 0, N);
  memcpy(out, text.data(), text.size() < N ? text.size() : N);
}

VARIANT Typed(VARTYPE vt) {
  VARIANT value;
  memset(&value, 0, sizeof value);
  value.vt = vt;
  return value;
}

}  // namespace

Writer OpenWriter(const std::string& path) { return Writer(CZEMAConfigAcs::Open(path.c_str())); }

TestTag::TestTag(const std::string& name, int tagType, const std::string& desc) {
  memset(&base, 0, sizeof base);
  CopyText(name, base.TagName);
  CopyText(desc, base.TagDesc);
  base.TagType = tagType;
}

TestTag::~TestTag() {
  for (TagFieldEntry& entry : fields) VariantClear(&entry.Value);
}

TestTag& TestTag::Levels(uint8_t group, uint8_t level, uint8_t almLevel) {
  base.TagGroup = group;
  base.TagLevel = level;
  base.AlmLevel = almLevel;
  return *this;
}

TestTag& TestTag::Field(const std::string& fieldName, const VARIANT& value) {
  TagFieldEntry entry;
  CopyText(fieldName, entry.FieldName);
  entry.Value = value;
  fields.push_back(entry);
  return *this;
}

TestTag& TestTag::Hmi(const std::string& fieldName, float sch, float scl, const std::string& eu,
                      int32_t decimals) {
  TagHMIEntry entry;
  CopyText(fieldName, entry.FieldName);
  entry.SCH = sch;
  entry.SCL = scl;
  CopyText(eu, entry.EU);
  entry.Decimal = decimals;
  hmi.push_back(entry);
  return *this;
}

TagRecord TestTag::Record() const {
  TagRecord record = base;
  record.FieldValueCount = static_cast<int32_t>(fields.size());
  record.FieldValues = fields.empty() ? nullptr : fields.data();
  record.HMICount = static_cast<int32_t>(hmi.size());
  record.HMIEntries = hmi.empty() ? nullptr : hmi.data();
  return record;
}

std::vector<TagRecord> Records(const std::vector<const TestTag*>& tags) {
  std::vector<TagRecord> records;
  for (const TestTag* tag : tags) records.push_back(tag->Record());
  return records;
}

VARIANT LongValue(LONG value) {
  VARIANT v = Typed(VT_I4);
  v.lVal = value;
  return v;
}

VARIANT ShortValue(SHORT value) {
  VARIANT v = Typed(VT_I2);
  v.iVal = value;
  return v;
}

VARIANT ByteValue(BYTE value) {
  VARIANT v = Typed(VT_UI1);
  v.bVal = value;
  return v;
}

VARIANT BoolValue(bool value) {
  VARIANT v = Typed(VT_BOOL);
  v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

VARIANT DoubleValue(double value) {
  VARIANT v = Typed(VT_R8);
  v.dblVal = value;
  return v;
}

VARIANT SingleValue(float value) {
  VARIANT v = Typed(VT_R4);
  v.fltVal = value;
  return v;
}

VARIANT CurrencyValue(LONGLONG scaled) {
  VARIANT v = Typed(VT_CY);
  v.cyVal.int64 = scaled;
  return v;
}

VARIANT DateValue(DATE value) {
  VARIANT v = Typed(VT_DATE);
  v.date = value;
  return v;
}

VARIANT DecimalValue(ULONGLONG lo64, BYTE scale, bool negative) {
  VARIANT v;
  memset(&v, 0, sizeof v);
  v.decVal.Lo64 = lo64;
  v.decVal.scale = scale;
  v.decVal.sign = negative ? DECIMAL_NEG : 0;
  v.vt = VT_DECIMAL;  // after the DECIMAL, whose first word it shares
  return v;
}

VARIANT TextValue(const char16_t* text) {
  VARIANT v = Typed(VT_BSTR);
  v.bstrVal = SysAllocString(text);
  return v;
}
