// The benchmark plant: a deterministic description of N tags over T types, from which the
// generator writes the database and the catalogue, and from which the write benchmarks build the
// same rows again. Tag numbers run from 1 to N and are the TagIDs the generator stores.
#ifndef ZEMA_BENCH_PLANTMODEL_H
#define ZEMA_BENCH_PLANTMODEL_H

#include <stdint.h>

#include <string>
#include <vector>

namespace bench {

constexpr int kDefaultTags = 100000;
constexpr int kDefaultTypes = 40;
// Function block entries of the library catalogue, spread over kCatalogueLibraries libraries.
constexpr int kCatalogueBlocks = 400;
constexpr int kCatalogueLibraries = 4;
constexpr int kMaxTypes = kCatalogueBlocks;
constexpr int kHmiRowsPerTag = 2;

enum class FieldType { Long, Double, Bit, Text, DateTime, Currency };

// Field kinds as the library reports them.
constexpr int kKindNone = 0;
constexpr int kKindInput = 2;
constexpr int kKindOutput = 3;

struct FieldSpec {
  std::string name;
  FieldType type;
  const char* declaredType;  // as the value table declares the column
  int kind;                  // the direction the module file gives the field
};

// The 24 fields of every type, in column order (TagID not included): 8 LONG, 6 DOUBLE, 4 BIT,
// 4 VARCHAR(16), 1 DATETIME, 1 CURRENCY; 12 inputs, 10 outputs, 2 without direction.
const std::vector<FieldSpec>& Fields();

// Types are numbered 1..T; their TypeID is their number.
std::string TypeName(int typeId);
int TypeLibId(int typeId);
int TypeModuleId(int typeId);
std::string LibraryFolder(int libId);
std::string ModuleFile(int libId, int moduleId);

// Tag tag (1..N) of a plant of the given number of types.
int TagType(int tag, int types);
std::string TagName(int tag);
std::string TagDesc(int tag, int types);
int TagGroup(int tag);
int TagLevel(int tag);
int AlmLevel(int tag);

// The value of field `field` (index into Fields()) of tag `tag`.
int32_t LongValue(int tag, int field);
double DoubleValue(int tag, int field);
bool BitValue(int tag, int field);
std::string TextValue(int tag, int field);  // at most 16 characters
struct DateTimeValue {
  int year, month, day, hour, minute, second;
};
DateTimeValue DateValue(int tag, int field);
std::string DateText(const DateTimeValue& value);  // "YYYY-MM-DD HH:MM:SS"
// OLE Automation date: days since 1899-12-30, the time of day as the fraction.
double OleDate(const DateTimeValue& value);
// Currency in units of 1/10,000.
int64_t CurrencyTenThousandths(int tag, int field);

struct HmiSpec {
  std::string fieldName;
  double sch;
  double scl;
  std::string eu;
  int decimals;
};
// Display row `row` (0..kHmiRowsPerTag-1) of tag `tag`.
HmiSpec Hmi(int tag, int row);

// The names of `count` tags spread evenly over a plant of `tags` tags.
std::vector<std::string> SpreadTagNames(int tags, int count);

}  // namespace bench

#endif
