// The benchmark plant's tags as the write side takes them: TagRecord arrays with their field
// entries (VARIANTs of the columns' types) and display entries, built before any measurement.
#ifndef ZEMA_BENCH_TAGRECORDS_H
#define ZEMA_BENCH_TAGRECORDS_H

#include <vector>

#include "ZEMATagAcs.h"

namespace bench {

class TagRecords {
 public:
  // The records of tags 1..tags of a plant of `types` types.
  TagRecords(int tags, int types);
  ~TagRecords();  // clears every VARIANT
  TagRecords(const TagRecords&) = delete;
  TagRecords& operator=(const TagRecords&) = delete;

  const TagRecord* Records() const { return records.data(); }
  int Count() const { return static_cast<int>(records.size()); }

 private:
  std::vector<TagRecord> records;
  std::vector<TagFieldEntry> fieldEntries;
  std::vector<TagHMIEntry> hmiEntries;
};

}  // namespace bench

#endif
