// A tag database as the diff sees it: its types, and per tag (by name) its Tags columns, its
// value row and its display rows, each kept as compact bytes so that two plants of 100,000 tags
// compare quickly and only the tags that differ are decoded.
//
// A reader fills a snapshot from one engine. CSqlitePlantReader reads an SQLite file in one
// read transaction; another engine gets a reader of its own (or the library's read side) and
// the diff stays as it is.
#ifndef ZEMATAG_PLANTSNAPSHOT_H
#define ZEMATAG_PLANTSNAPSHOT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

struct sqlite3_value;

// One stored value, as the engine keeps it.
struct CCell {
  enum Kind : uint8_t { kNull, kInteger, kReal, kText, kBlob };
  Kind kind = kNull;
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // text (UTF-8) or blob

  static CCell FromSqlite(sqlite3_value* value);
  // Same stored value: numbers compare by value (an integer 5 equals a real 5.0).
  bool operator==(const CCell& other) const;
  bool operator!=(const CCell& other) const { return !(*this == other); }
  // NULL, 5, 2.5, "text", X'00ff'.
  std::string Shown() const;
};

struct CTypeShape {
  long long id = 0;
  std::string name;
  long long libId = 0, moduleId = 0;
  bool hasTable = false;
  std::vector<std::pair<std::string, std::string>> fields;  // name, declared type
  // "PV DOUBLE, Mode SHORT": equal texts mean the same value table.
  std::string FieldsText() const;
};

// The tag columns the diff compares, in this order.
inline constexpr const char* kTagColumns[] = {"TagDesc", "TagType", "TagGroup", "TagLevel",
                                              "AlmLevel"};
inline constexpr size_t kTagColumnCount = 5;
// The display columns, in this order.
inline constexpr const char* kHmiColumns[] = {"SCH", "SCL", "EU", "Decimal"};
inline constexpr size_t kHmiColumnCount = 4;

struct CTagSnapshot {
  std::string name;
  int64_t tagId = 0;
  int64_t typeId = 0;      // TagType as stored (0 when not a number)
  std::string head;        // the kTagColumns, encoded
  bool hasValues = false;  // a row in its type's value table
  std::string values;      // that row's fields, encoded in the type's field order
  std::vector<std::pair<std::string, std::string>> hmi;  // field name, encoded kHmiColumns
};

class CPlantSnapshot {
 public:
  CPlantSnapshot() = default;
  // Moves keep the tags where they are; a copy would leave its names index on the original's.
  CPlantSnapshot(CPlantSnapshot&&) = default;
  CPlantSnapshot& operator=(CPlantSnapshot&&) = default;
  CPlantSnapshot(const CPlantSnapshot&) = delete;
  CPlantSnapshot& operator=(const CPlantSnapshot&) = delete;

  std::string source;  // what it was read from, for messages
  std::vector<CTypeShape> types;
  std::vector<CTagSnapshot> tags;  // in the order read; added through AddTag only
  size_t duplicateNames = 0;

  // Room for count tags: a reader that knows how many come saves the moves of a growing list.
  void ReserveTags(size_t count);
  // Appends tag unless a tag of its name is there already: the first tag of a name is the one
  // callers find, and a later one only counts in duplicateNames (false).
  bool AddTag(CTagSnapshot&& tag);
  // The tag of that name, or null.
  const CTagSnapshot* FindTag(std::string_view name) const;

  const CTypeShape* TypeById(int64_t id) const;
  const CTypeShape* TypeByName(const std::string& name) const;  // ignoring ASCII case

 private:
  // Index into tags by name; the keys are views of the tags' own names, made anew whenever the
  // list grows into new memory.
  std::unordered_map<std::string_view, size_t> byName;
};

// Encoded cells: append one, read them all back.
void AppendCell(std::string* encoded, const CCell& cell);
std::vector<CCell> DecodeCells(const std::string& encoded);

// Leaves each tag one display row per field, the first one read, in field-name order, so that
// the order of the rows does not count. Every reader calls it once it has read the rows.
void KeepFirstDisplayRows(CPlantSnapshot* plant);

class CPlantReader {
 public:
  virtual ~CPlantReader() = default;
  // Fills *plant; throws ToolError when the source is not a readable tag database.
  virtual void Read(CPlantSnapshot* plant) = 0;
};

// Reads an SQLite tag database file, all of it in one read transaction.
class CSqlitePlantReader : public CPlantReader {
 public:
  explicit CSqlitePlantReader(std::string file) : path(std::move(file)) {}
  void Read(CPlantSnapshot* plant) override;

 private:
  std::string path;
};

// Reads a tag database of either engine (a server's, or a file compared with one) through the
// values the library delivers, in one snapshot: numbers as numbers, dates, currency and
// decimals as their exact text, so that the same plant on a file and on a server reads alike.
class CEnginePlantReader : public CPlantReader {
 public:
  explicit CEnginePlantReader(std::string source) : database(std::move(source)) {}
  void Read(CPlantSnapshot* plant) override;

 private:
  std::string database;
};

#endif
