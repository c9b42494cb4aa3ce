// The logical tables of a change set (see Changeset.h; their names are in Layout.h), shared by
// the writer and `apply`.
#ifndef ZEMATAG_CHANGESETSCHEMA_H
#define ZEMATAG_CHANGESETSCHEMA_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Layout.h"
#include "PlantSnapshot.h"

struct sqlite3;
struct sqlite3_stmt;

namespace changeset {

// Column counts of the fixed tables.
inline constexpr int kTagsTableColumns = 1 + static_cast<int>(kTagColumnCount);
inline constexpr int kHmiTableColumns = 2 + static_cast<int>(kHmiColumnCount);

// CREATE TABLE statements (in the main schema). Columns have no declared type, so that values
// keep their storage class and compare as the engine compares them.
std::string CreateFixedTablesSql();
std::string CreateValuesSql(const std::string& typeName,
                            const std::vector<std::pair<std::string, std::string>>& fields);

// The digest of the change records before the end row (64-bit FNV-1a).
uint64_t Digest(const void* bytes, size_t size);

// The fields of a type as the typedefs table keeps them: a JSON array of [name, declared type]
// pairs; NULL (an empty text here) for a type without a value table.
std::string FieldsJson(const CTypeShape& type);
// Reads FieldsJson back; false when the text is not such an array.
bool FieldsFromJson(const std::string& text,
                    std::vector<std::pair<std::string, std::string>>* fields);

// Binds a cell to a statement parameter (1-based).
void BindCell(sqlite3_stmt* statement, int index, const CCell& cell);

// A connection to a private in-memory database; closes itself.
class CScratch {
 public:
  CScratch();
  ~CScratch();
  CScratch(const CScratch&) = delete;
  CScratch& operator=(const CScratch&) = delete;
  sqlite3* get() const { return db; }
  // Runs statements; throws ToolError with the engine's message, prefixed by `what`.
  void Execute(const std::string& sql, const std::string& what = "change set");
  // A prepared statement kept until the scratch closes.
  sqlite3_stmt* Prepare(const std::string& sql);
  // Steps a prepared statement to its end and resets it; throws ToolError on failure.
  void Run(sqlite3_stmt* statement);

 private:
  sqlite3* db = nullptr;
  std::vector<sqlite3_stmt*> statements;
};

}  // namespace changeset

#endif
