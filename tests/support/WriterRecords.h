// Tags to save through CZEMAConfigAcs in tests: each TestTag owns the arrays its TagRecord points
// to, and Writer closes a writer when it goes.
#ifndef ZEMA_TESTS_SUPPORT_WRITERRECORDS_H
#define ZEMA_TESTS_SUPPORT_WRITERRECORDS_H

#include <memory>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"

struct CloseWriter {
  void operator()(CZEMAConfigAcs* writer) const { writer->Close(); }
};
using Writer = std::unique_ptr<CZEMAConfigAcs, CloseWriter>;

// Opens a writer on path; lets Open's exceptions pass.
Writer OpenWriter(const std::string& path);

class TestTag {
 public:
  TestTag(const std::string& name, int tagType, const std::string& desc = "");
  ~TestTag();  // clears the field values
  TestTag(TestTag&&) = default;
  TestTag& operator=(TestTag&&) = delete;
  TestTag(const TestTag&) = delete;
  TestTag& operator=(const TestTag&) = delete;

  TestTag& Levels(uint8_t group, uint8_t level, uint8_t almLevel);
  // Takes over value (the tag clears it).
  TestTag& Field(const std::string& fieldName, const VARIANT& value);
  TestTag& Hmi(const std::string& fieldName, float sch, float scl, const std::string& eu,
               int32_t decimals);

  // The record, pointing into this tag's arrays (null when they are empty).
  TagRecord Record() const;

 private:
  TagRecord base;
  std::vector<TagFieldEntry> fields;
  std::vector<TagHMIEntry> hmi;
};

std::vector<TagRecord> Records(const std::vector<const TestTag*>& tags);

// VARIANTs of every kind a value table stores; the caller owns them.
VARIANT LongValue(LONG value);
VARIANT ShortValue(SHORT value);
VARIANT ByteValue(BYTE value);
VARIANT BoolValue(bool value);
VARIANT DoubleValue(double value);
VARIANT SingleValue(float value);
VARIANT CurrencyValue(LONGLONG scaled);
VARIANT DateValue(DATE value);
VARIANT DecimalValue(ULONGLONG lo64, BYTE scale, bool negative);
VARIANT TextValue(const char16_t* text);

#endif
