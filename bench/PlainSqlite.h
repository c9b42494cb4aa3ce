// The baselines: the work of Load, SaveTags and DeleteTags done with the plain SQLite C API and
// nothing between, on the same files and rows.
#ifndef ZEMA_BENCH_PLAINSQLITE_H
#define ZEMA_BENCH_PLAINSQLITE_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "Sqlite.h"

namespace bench {

// A tagged value of 16 bytes; text is a copy that the holder frees.
struct PlainValue {
  uint8_t type;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL
  uint8_t unused[3];
  uint32_t length;  // bytes of text or blob
  union {
    int64_t integer;
    double real;
    char* bytes;
  };
};
static_assert(sizeof(PlainValue) == 16, "a plain value is 16 bytes");

struct PlainTable {
  std::string name;
  std::vector<std::string> columns;
  std::vector<PlainValue> values;  // row after row
  size_t rows = 0;
};

// Every row and column of TagTypes, Tags, HMIInfo and each value table named in TagTypes.
class PlainCatalogue {
 public:
  PlainCatalogue() = default;
  ~PlainCatalogue();
  PlainCatalogue(const PlainCatalogue&) = delete;
  PlainCatalogue& operator=(const PlainCatalogue&) = delete;

  // Reads the whole database at path (read-only, one snapshot). Throws on failure.
  void Read(const std::string& path);
  size_t Rows(const std::string& table) const;

 private:
  void ReadTable(SqliteDb& db, const std::string& name);
  std::vector<PlainTable> tables;
};

// One tag to insert, built before the measurement.
struct PlainTagRow {
  std::string name;
  std::string desc;
  int type;
  int group;
  int level;
  int almLevel;
  struct Hmi {
    std::string fieldName;
    double sch;
    double scl;
    std::string eu;
    int decimals;
  };
  std::vector<Hmi> hmi;
  struct Value {
    int kind;  // SQLITE_INTEGER, SQLITE_FLOAT or SQLITE_TEXT
    int64_t integer;
    double real;
    std::string text;
  };
  std::vector<Value> values;  // one per field, in field order
};

// The rows of tags 1..tags of the benchmark plant.
std::vector<PlainTagRow> MakePlainTagRows(int tags, int types);

// A writer on one database file, opened like the library's writer (WAL from the file,
// synchronous=NORMAL, every statement its own commit).
class PlainWriter {
 public:
  explicit PlainWriter(const std::string& path);

  // Inserts each row into Tags, HMIInfo and its value table with prepared statements.
  void Insert(const std::vector<PlainTagRow>& rows);
  // The same inside one transaction, committed at the end.
  void InsertInOneTransaction(const std::vector<PlainTagRow>& rows);
  // Deletes each named tag from Tags, every value table and HMIInfo, by the TagID found by name.
  void Delete(const std::vector<std::string>& names);

 private:
  std::unique_ptr<SqliteDb> db;
};

}  // namespace bench

#endif
