#include "TagRecords.h"

#include <cstring>
#include <string>

#include "PlantModel.h"

namespace bench {

namespace {

void CopyText(char* to, size_t size, const std::string& text) {
  std::memset(to, 0, size);
  std::memcpy(to, text.data(), text.size() < size - 1 ? text.size() : size - 1);
}

BSTR AllocBstr(const std::string& ascii) {
  std::u16string wide(ascii.begin(), ascii.end());
  return SysAllocString(wide.c_str());
}

}  // namespace

TagRecords::TagRecords(int tags, int types) {
  const std::vector<FieldSpec>& fields = Fields();
  const size_t perTag = fields.size();
  records.resize(tags > 0 ? tags : 0);
  fieldEntries.resize(records.size() * perTag);
  hmiEntries.resize(records.size() * kHmiRowsPerTag);
  for (int tag = 1; tag <= tags; ++tag) {
    TagRecord& record = records[tag - 1];
    std::memset(&record, 0, sizeof record);
    CopyText(record.TagName, sizeof record.TagName, TagName(tag));
    CopyText(record.TagDesc, sizeof record.TagDesc, TagDesc(tag, types));
    record.TagGroup = static_cast<uint8_t>(TagGroup(tag));
    record.AlmLevel = static_cast<uint8_t>(AlmLevel(tag));
    record.TagLevel = static_cast<uint8_t>(TagLevel(tag));
    record.TagType = TagType(tag, types);
    TagFieldEntry* entries = &fieldEntries[(tag - 1) * perTag];
    for (size_t f = 0; f < perTag; ++f) {
      TagFieldEntry& entry = entries[f];
      const int field = static_cast<int>(f);
      CopyText(entry.FieldName, sizeof entry.FieldName, fields[f].name);
      VariantInit(&entry.Value);
      switch (fields[f].type) {
        case FieldType::Long:
          entry.Value.vt = VT_I4;
          entry.Value.lVal = LongValue(tag, field);
          break;
        case FieldType::Double:
          entry.Value.vt = VT_R8;
          entry.Value.dblVal = DoubleValue(tag, field);
          break;
        case FieldType::Bit:
          entry.Value.vt = VT_BOOL;
          entry.Value.boolVal = BitValue(tag, field) ? VARIANT_TRUE : VARIANT_FALSE;
          break;
        case FieldType::Text:
          entry.Value.vt = VT_BSTR;
          entry.Value.bstrVal = AllocBstr(TextValue(tag, field));
          break;
        case FieldType::DateTime:
          entry.Value.vt = VT_DATE;
          entry.Value.date = OleDate(DateValue(tag, field));
          break;
        case FieldType::Currency:
          entry.Value.vt = VT_CY;
          entry.Value.cyVal.int64 = CurrencyTenThousandths(tag, field);
          break;
      }
    }
    record.FieldValueCount = static_cast<int32_t>(perTag);
    record.FieldValues = entries;
    TagHMIEntry* hmi = &hmiEntries[(tag - 1) * kHmiRowsPerTag];
    for (int row = 0; row < kHmiRowsPerTag; ++row) {
      const HmiSpec spec = Hmi(tag, row);
      std::memset(&hmi[row], 0, sizeof hmi[row]);
      CopyText(hmi[row].FieldName, sizeof hmi[row].FieldName, spec.fieldName);
      hmi[row].SCH = static_cast<float>(spec.sch);
      hmi[row].SCL = static_cast<float>(spec.scl);
      CopyText(hmi[row].EU, sizeof hmi[row].EU, spec.eu);
      hmi[row].Decimal = spec.decimals;
    }
    record.HMICount = kHmiRowsPerTag;
    record.HMIEntries = hmi;
  }
}

TagRecords::~TagRecords() {
  for (TagFieldEntry& entry : fieldEntries) VariantClear(&entry.Value);
}

}  // namespace bench
