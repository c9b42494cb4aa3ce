// zematag apply: replays a change set made by `zematag diff --changeset` on a tag database, in
// one transaction, through SQLite's sqlite3changeset_apply.
//
// The change set's logical tables (keyed by tag name) live in a private in-memory database with
// the target attached. The target's current rows for the tags the change set touches are
// copied in first, so that the engine's conflict detection compares the change set's old values
// with what the target holds now; temporary triggers write every row the engine changes through
// to the target's own tables (finding tags by name), where the target's triggers keep its
// generation and audit trail. Nothing is committed unless every change applies.
// The session extension of Debian's SQLite: its declarations are compiled in on request.
#define SQLITE_ENABLE_SESSION 1
#define SQLITE_ENABLE_PREUPDATE_HOOK 1

#include <fmt/format.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>

#include "ChangeCommands.h"
#include "ChangesetSchema.h"
#include "Commands.h"
#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"
#include "platform/ado/audit.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace {

using changeset::CScratch;

struct ExpectedType {
  std::string name;
  int64_t id = 0;
  std::string fields;
};

// A value table of the target that the change set writes: its name there and its fields.
struct TargetTable {
  std::string name;
  std::vector<std::pair<std::string, std::string>> fields;
  bool missing = false;  // a type the change set removes, gone from the target already
};
using TargetTables = std::map<std::string, TargetTable>;  // by change set table

struct TableShape {
  std::string name;
  int columns = 0;
};

// A type the change set adds or removes as a whole.
struct TypeDefinition {
  std::string name;
  int64_t id = 0, libId = 0, moduleId = 0;
  bool hasTable = false;
  std::vector<std::pair<std::string, std::string>> fields;  // name, declared type
  std::string FieldsText() const {
    CTypeShape shape;
    shape.fields = fields;
    return shape.FieldsText();
  }
};

// A type whose library and/or module id the change set changes in place: the ids it changes,
// old and new (an id it leaves as it is is not there).
struct TypeUpdate {
  std::string name;
  struct Id {
    const char* column;  // "TypeLibID", "TypeModuleID"
    int64_t before = 0, after = 0;
  };
  std::vector<Id> ids;
};

// What the pre-pass learns from the file.
struct ChangesetContents {
  std::vector<TableShape> tables;                                  // in file order, end excluded
  std::map<std::string, ExpectedType> types;                       // by lower-case name
  std::map<std::string, TypeDefinition> addedTypes, removedTypes;  // by lower-case name
  std::map<std::string, TypeUpdate> updatedTypes;                  // by lower-case name
  size_t typeChanges = 0;                                          // types and typedefs records
  std::set<std::string> tagNames;
  size_t changes = 0;
};

std::string ValueText(sqlite3_value* value) {
  if (value == nullptr || sqlite3_value_type(value) == SQLITE_NULL) return "";
  const unsigned char* text = sqlite3_value_text(value);
  return text != nullptr ? std::string(reinterpret_cast<const char*>(text),
                                       static_cast<size_t>(sqlite3_value_bytes(value)))
                         : "";
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// An SQLite variable-length integer at *at; false when the bytes end inside it.
bool ReadVarint(const std::string& bytes, size_t* at, uint64_t* value) {
  *value = 0;
  for (int i = 0; i < 9; ++i) {
    if (*at >= bytes.size()) return false;
    const unsigned char byte = static_cast<unsigned char>(bytes[(*at)++]);
    if (i == 8) {
      *value = (*value << 8) | byte;
      return true;
    }
    *value = (*value << 7) | (byte & 0x7f);
    if ((byte & 0x80) == 0) return true;
  }
  return true;
}

// Whether the bytes are whole change records from start to end: table headers, operations and
// values that all end inside the file. The engine's own reader is not asked before this holds,
// because it can loop forever on a table header cut short.
bool WholeRecords(const std::string& bytes) {
  size_t at = 0;
  uint64_t columns = 0;
  const auto skipValue = [&]() {
    if (at >= bytes.size()) return false;
    const unsigned char type = static_cast<unsigned char>(bytes[at++]);
    if (type == 0 || type == 5) return true;  // undefined, NULL
    if (type == 1 || type == 2) {             // integer, real
      at += 8;
      return at <= bytes.size();
    }
    if (type != 3 && type != 4) return false;  // text, blob
    uint64_t size = 0;
    if (!ReadVarint(bytes, &at, &size) || size > bytes.size() - at) return false;
    at += size;
    return true;
  };
  while (at < bytes.size()) {
    const unsigned char kind = static_cast<unsigned char>(bytes[at++]);
    if (kind == 'T') {
      if (!ReadVarint(bytes, &at, &columns) || columns == 0 || columns > 32767 ||
          columns > bytes.size() - at)
        return false;
      at += columns;
      const size_t end = bytes.find('\0', at);
      if (end == std::string::npos) return false;
      at = end + 1;
      continue;
    }
    if (columns == 0 || (kind != SQLITE_INSERT && kind != SQLITE_DELETE && kind != SQLITE_UPDATE))
      return false;
    if (at++ >= bytes.size()) return false;  // the indirect flag
    const int records = kind == SQLITE_UPDATE ? 2 : 1;
    for (int record = 0; record < records; ++record)
      for (uint64_t i = 0; i < columns; ++i)
        if (!skipValue()) return false;
  }
  return columns != 0;
}

// An update of a typedefs row: only the library and module ids change, from one whole number to
// another, and at least one of them does.
TypeUpdate ReadTypeUpdate(sqlite3_changeset_iter* iterator, const std::string& name,
                          const std::string& damaged) {
  TypeUpdate update;
  update.name = name;
  for (int i : {1, 4}) {  // TypeID and Fields change only with a type removed and added
    sqlite3_value* value = nullptr;
    if (sqlite3changeset_new(iterator, i, &value) != SQLITE_OK || value != nullptr)
      throw ToolError(damaged);
  }
  const char* const columns[] = {"TypeLibID", "TypeModuleID"};
  for (int i : {2, 3}) {
    sqlite3_value* before = nullptr;
    sqlite3_value* after = nullptr;
    if (sqlite3changeset_old(iterator, i, &before) != SQLITE_OK ||
        sqlite3changeset_new(iterator, i, &after) != SQLITE_OK)
      throw ToolError(damaged);
    if (before == nullptr && after == nullptr) continue;
    if (before == nullptr || after == nullptr || sqlite3_value_type(before) != SQLITE_INTEGER ||
        sqlite3_value_type(after) != SQLITE_INTEGER)
      throw ToolError(damaged);
    update.ids.push_back({columns[i - 2], sqlite3_value_int64(before), sqlite3_value_int64(after)});
  }
  if (update.ids.empty()) throw ToolError(damaged);
  return update;
}

ChangesetContents ReadContents(const std::string& file, std::string& bytes) {
  const std::string damaged = fmt::format(
      "{}: not a complete change set of zematag diff (cut short, damaged or made otherwise)", file);
  if (!WholeRecords(bytes)) throw ToolError(damaged);
  ChangesetContents contents;
  sqlite3_changeset_iter* iterator = nullptr;
  if (sqlite3changeset_start(&iterator, static_cast<int>(bytes.size()), bytes.data()) != SQLITE_OK)
    throw ToolError(damaged);
  bool endSeen = false, afterEnd = false;
  int64_t endChanges = -1, endBytes = -1, endDigest = 0;
  while (sqlite3changeset_next(iterator) == SQLITE_ROW) {
    const char* table = nullptr;
    int columns = 0, operation = 0, indirect = 0;
    sqlite3changeset_op(iterator, &table, &columns, &operation, &indirect);
    const std::string name = table != nullptr ? table : "";
    if (endSeen) afterEnd = true;
    if (name == changeset::kEnd) {
      sqlite3_value* value = nullptr;
      if (operation != SQLITE_INSERT || columns != 4) break;
      sqlite3changeset_new(iterator, 1, &value);
      endChanges = value != nullptr ? sqlite3_value_int64(value) : -1;
      sqlite3changeset_new(iterator, 2, &value);
      endBytes = value != nullptr ? sqlite3_value_int64(value) : -1;
      sqlite3changeset_new(iterator, 3, &value);
      endDigest = value != nullptr ? sqlite3_value_int64(value) : 0;
      endSeen = true;
      continue;
    }
    ++contents.changes;
    if (contents.tables.empty() || contents.tables.back().name != name)
      contents.tables.push_back({name, columns});
    sqlite3_value* key = nullptr;
    if (operation == SQLITE_INSERT)
      sqlite3changeset_new(iterator, 0, &key);
    else
      sqlite3changeset_old(iterator, 0, &key);
    if (name == changeset::kTypeDefs) {
      ++contents.typeChanges;
      if (columns != 5) throw ToolError(damaged);
      const std::string typeKey = Lower(ValueText(key));
      if (typeKey.empty() || contents.addedTypes.count(typeKey) != 0 ||
          contents.removedTypes.count(typeKey) != 0 || contents.updatedTypes.count(typeKey) != 0)
        throw ToolError(damaged);  // one record per type
      if (operation == SQLITE_UPDATE) {
        contents.updatedTypes[typeKey] = ReadTypeUpdate(iterator, ValueText(key), damaged);
        continue;
      }
      if (operation != SQLITE_INSERT && operation != SQLITE_DELETE) throw ToolError(damaged);
      const auto value = [&](int i) {
        sqlite3_value* found = nullptr;
        if (operation == SQLITE_INSERT)
          sqlite3changeset_new(iterator, i, &found);
        else
          sqlite3changeset_old(iterator, i, &found);
        return found;
      };
      TypeDefinition type;
      type.name = ValueText(key);
      type.id = sqlite3_value_int64(value(1));
      type.libId = sqlite3_value_int64(value(2));
      type.moduleId = sqlite3_value_int64(value(3));
      type.hasTable = sqlite3_value_type(value(4)) != SQLITE_NULL;
      if (type.name.empty() ||
          (type.hasTable && !changeset::FieldsFromJson(ValueText(value(4)), &type.fields)))
        throw ToolError(damaged);
      (operation == SQLITE_INSERT ? contents.addedTypes : contents.removedTypes)[Lower(type.name)] =
          type;
      continue;
    }
    if (name == changeset::kTypes) {
      ++contents.typeChanges;
      if (operation != SQLITE_INSERT || columns != 3) continue;
      ExpectedType type;
      type.name = ValueText(key);
      sqlite3_value* value = nullptr;
      sqlite3changeset_new(iterator, 1, &value);
      type.id = value != nullptr ? sqlite3_value_int64(value) : 0;
      sqlite3changeset_new(iterator, 2, &value);
      type.fields = ValueText(value);
      contents.types[Lower(type.name)] = type;
    } else {
      contents.tagNames.insert(ValueText(key));
    }
  }
  const int rc = sqlite3changeset_finalize(iterator);
  if (rc != SQLITE_OK || !endSeen || afterEnd ||
      endChanges != static_cast<int64_t>(contents.changes) || endBytes < 0 ||
      static_cast<uint64_t>(endBytes) >= bytes.size() ||
      static_cast<uint64_t>(endDigest) !=
          changeset::Digest(bytes.data(), static_cast<size_t>(endBytes)))
    throw ToolError(damaged);
  for (const TableShape& table : contents.tables) {
    const bool known = table.name == changeset::kTypes || table.name == changeset::kTypeDefs ||
                       table.name == changeset::kTags || table.name == changeset::kHmi ||
                       StartsWith(table.name, changeset::kValuesPrefix);
    if (!known) throw ToolError(damaged);
  }
  return contents;
}

// The target's type of that name: id and fields, or false.
bool TargetType(tracking::CTrackedDb& db, const std::string& name, ExpectedType* type) {
  bool found = false;
  std::string literal = "'";
  for (char c : name) literal += c == '\'' ? std::string("''") : std::string(1, c);
  db.Query(fmt::format("SELECT TypeName, TypeID FROM \"TagTypes\" WHERE TypeName = {}' COLLATE "
                       "NOCASE LIMIT 1",
                       literal),
           [&](sqlite3_stmt* row) {
             found = true;
             type->name = reinterpret_cast<const char*>(sqlite3_column_text(row, 0));
             type->id = sqlite3_column_int64(row, 1);
           });
  if (!found) return false;
  type->fields.clear();
  if (db.HasTable(type->name)) {
    CTypeShape shape;
    for (auto& column : db.Columns(type->name))
      if (!EqualsNoCase(column.first, "TagID")) shape.fields.push_back(column);
    type->fields = shape.FieldsText();
  }
  return true;
}

// Refuses a change set whose tables do not fit the target. Returns the target's layout of each
// value table the change set writes.
// *audited and *counted say whether the target keeps an audit trail and a generation counter.
TargetTables CheckSchema(const std::string& file, const std::string& database,
                         const ChangesetContents& contents, bool* audited, bool* counted) {
  tracking::CTrackedDb db = tracking::CTrackedDb::Open(database, false);
  for (const char* table : {"TagTypes", "Tags", "HMIInfo"})
    if (!db.HasTable(table))
      throw ToolError(fmt::format("{}: not a tag database (no table {})", database, table));
  std::string found;
  if (tracking::AuditStateOf(db, &found) == tracking::AuditState::kWrongColumns)
    throw ToolError(fmt::format(
        "{}: table AuditLog has the wrong columns ({}); nothing is written to this database "
        "until it is repaired",
        database, found));
  *audited = tracking::AuditStateOf(db) == tracking::AuditState::kEnabled;
  *counted = db.HasTable(tracking::kGenerationTable);
  const std::string other =
      fmt::format("{} is a change set for another schema than {}: ", file, database);
  // A type whose id or fields changed in place between the two databases of the diff ends up
  // here too.
  static const char kNotCarried[] =
      " (a change set changes a type's library and module ids in place, not its id or fields: "
      "give the target's type the id and fields of the database the diff was made to first)";
  for (const auto& [key, update] : contents.updatedTypes) {
    ExpectedType target;
    if (!TargetType(db, update.name, &target))
      throw ToolError(other + fmt::format("it has no type {}", update.name));
  }
  for (const auto& [key, expected] : contents.types) {
    ExpectedType target;
    const auto added = contents.addedTypes.find(key);
    if (added != contents.addedTypes.end()) {
      // A type the change set itself adds: its tags rely on exactly that type.
      target.name = added->second.name;
      target.id = added->second.id;
      target.fields = added->second.hasTable ? added->second.FieldsText() : "";
    } else if (!TargetType(db, expected.name, &target)) {
      // A type that the change set removes may be gone already: apply names that conflict.
      if (contents.removedTypes.count(key) != 0) continue;
      throw ToolError(other + fmt::format("it has no type {}", expected.name));
    }
    if (target.id != expected.id)
      throw ToolError(other + fmt::format("type {} has id {} there, {} in the change set{}",
                                          expected.name, target.id, expected.id, kNotCarried));
    if (Lower(target.fields) != Lower(expected.fields))
      throw ToolError(other + fmt::format("type {} has fields ({}) there, ({}) in the change set{}",
                                          expected.name, target.fields, expected.fields,
                                          kNotCarried));
  }
  TargetTables layouts;
  for (const TableShape& table : contents.tables) {
    int expectedColumns = 0;
    if (table.name == changeset::kTags) expectedColumns = changeset::kTagsTableColumns;
    if (table.name == changeset::kHmi) expectedColumns = changeset::kHmiTableColumns;
    if (table.name == changeset::kTypes) expectedColumns = 3;
    if (table.name == changeset::kTypeDefs) expectedColumns = 5;
    if (StartsWith(table.name, changeset::kValuesPrefix)) {
      const std::string typeName = table.name.substr(std::strlen(changeset::kValuesPrefix));
      const auto type = contents.types.find(Lower(typeName));
      if (type == contents.types.end())
        throw ToolError(other + fmt::format("type {} is not described", typeName));
      TargetTable& layout = layouts[table.name];
      const auto added = contents.addedTypes.find(Lower(typeName));
      const auto removed = contents.removedTypes.find(Lower(typeName));
      ExpectedType there;
      if (added != contents.addedTypes.end()) {
        layout.name = added->second.name;
        layout.fields = added->second.fields;
      } else if (removed != contents.removedTypes.end() && !TargetType(db, typeName, &there)) {
        layout.name = removed->second.name;
        layout.fields = removed->second.fields;
        layout.missing = true;
      } else {
        ExpectedType target;
        TargetType(db, typeName, &target);
        layout.name = target.name;
        for (auto& column : db.Columns(target.name))
          if (!EqualsNoCase(column.first, "TagID")) layout.fields.push_back(column);
      }
      expectedColumns = 1 + static_cast<int>(layout.fields.size());
    }
    if (table.columns != expectedColumns)
      throw ToolError(other + fmt::format("table {} has {} columns in the change set, {} here",
                                          table.name, table.columns, expectedColumns));
  }
  return layouts;
}

// Conflicts found while applying: what the engine reported, tag by tag.
struct ApplyContext {
  bool force = false;
  std::map<std::string, std::vector<std::string>> columns;  // change set table → column names
  std::vector<std::string> problems;
  std::set<std::string> seen;
  bool aborted = false;
  bool refused = false;  // a conflict that --force does not override
};

std::string Shown(sqlite3_value* value) {
  if (value == nullptr) return "(none)";
  return CCell::FromSqlite(value).Shown();
}

std::string Where(const std::string& table, const std::vector<std::string>& columns,
                  sqlite3_changeset_iter* iterator, int operation, int column) {
  const std::string name = column >= 0 && column < static_cast<int>(columns.size())
                               ? columns[static_cast<size_t>(column)]
                               : "?";
  if (table == changeset::kTags) return "Tags." + name;
  if (table == changeset::kHmi) {
    sqlite3_value* field = nullptr;
    if (operation == SQLITE_INSERT)
      sqlite3changeset_new(iterator, 1, &field);
    else
      sqlite3changeset_old(iterator, 1, &field);
    return fmt::format("HMIInfo[{}]{}", ValueText(field), column < 0 ? "" : "." + name);
  }
  const std::string type = table.substr(std::strlen(changeset::kValuesPrefix));
  return column < 0 ? type : type + "." + name;
}

int OnConflict(void* context, int kind, sqlite3_changeset_iter* iterator) {
  ApplyContext& apply = *static_cast<ApplyContext*>(context);
  const char* tableName = nullptr;
  int columnCount = 0, operation = 0, indirect = 0;
  sqlite3changeset_op(iterator, &tableName, &columnCount, &operation, &indirect);
  const std::string table = tableName != nullptr ? tableName : "";
  const std::vector<std::string>& columns = apply.columns[table];
  sqlite3_value* key = nullptr;
  if (operation == SQLITE_INSERT)
    sqlite3changeset_new(iterator, 0, &key);
  else
    sqlite3changeset_old(iterator, 0, &key);
  const std::string tag = ValueText(key);
  const std::string row = table == changeset::kTags
                              ? "Tags row"
                              : Where(table, columns, iterator, operation, -1) + " row";
  const auto report = [&](const std::string& text) {
    if (apply.seen.insert(text).second) apply.problems.push_back(text);
  };
  switch (kind) {
    case SQLITE_CHANGESET_DATA:
      for (int i = 1; i < columnCount; ++i) {
        sqlite3_value* expected = nullptr;
        sqlite3_value* current = nullptr;
        if (sqlite3changeset_old(iterator, i, &expected) != SQLITE_OK || expected == nullptr)
          continue;  // an update leaves the columns it does not change out
        sqlite3changeset_conflict(iterator, i, &current);
        if (current != nullptr && CCell::FromSqlite(current) == CCell::FromSqlite(expected))
          continue;
        report(fmt::format("tag {}: {} is {} in the target, the change set expects {}", tag,
                           Where(table, columns, iterator, operation, i), Shown(current),
                           Shown(expected)));
      }
      return apply.force ? SQLITE_CHANGESET_REPLACE : SQLITE_CHANGESET_OMIT;
    case SQLITE_CHANGESET_NOTFOUND:
      report(fmt::format("tag {}: the target has no {} to {}", tag, row,
                         operation == SQLITE_DELETE ? "delete" : "change"));
      return SQLITE_CHANGESET_OMIT;
    case SQLITE_CHANGESET_CONFLICT:
      report(
          fmt::format("tag {}: the target already has the {} that the change set adds", tag, row));
      return apply.force ? SQLITE_CHANGESET_REPLACE : SQLITE_CHANGESET_OMIT;
    default:
      report(fmt::format("tag {}: the target's constraints refuse the {}", tag, row));
      apply.aborted = true;
      return SQLITE_CHANGESET_ABORT;
  }
}

int SkipDescriptions(void*, const char* table) {
  const std::string name = table;
  return name != changeset::kTypes && name != changeset::kTypeDefs && name != changeset::kEnd;
}

// Reads the target through the scratch connection (the target attached as "target").
class CTargetQuery {
 public:
  CTargetQuery(CScratch& scratch, const std::string& sql)
      : db(scratch.get()), statement(scratch.Prepare(sql)) {}
  CTargetQuery& Bind(int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
    return *this;
  }
  CTargetQuery& Bind(int index, int64_t number) {
    sqlite3_bind_int64(statement, index, number);
    return *this;
  }
  // Each row; resets the statement afterwards.
  void Rows(const std::function<void(sqlite3_stmt*)>& row) {
    while (sqlite3_step(statement) == SQLITE_ROW) row(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
  }
  // A write: throws ToolError with the engine's message when it fails (the caller's
  // transaction is then rolled back).
  void Write(const std::string& what) {
    const int rc = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (rc != SQLITE_DONE) throw ToolError(fmt::format("{}: {}", what, sqlite3_errmsg(db)));
  }

 private:
  sqlite3* db;
  sqlite3_stmt* statement;
};

std::string ColumnText(sqlite3_stmt* row, int i) {
  const unsigned char* text = sqlite3_column_text(row, i);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// The target's type of a name (any case), read inside the apply's transaction.
bool TargetDefinition(CScratch& scratch, const std::string& name, TypeDefinition* type) {
  bool found = false;
  CTargetQuery(scratch,
               "SELECT TypeName, TypeID, TypeLibID, TypeModuleID FROM target.\"TagTypes\" WHERE "
               "TypeName = ?1 COLLATE NOCASE LIMIT 1")
      .Bind(1, name)
      .Rows([&](sqlite3_stmt* row) {
        found = true;
        type->name = ColumnText(row, 0);
        type->id = sqlite3_column_int64(row, 1);
        type->libId = sqlite3_column_int64(row, 2);
        type->moduleId = sqlite3_column_int64(row, 3);
      });
  if (!found) return false;
  type->hasTable = false;
  type->fields.clear();
  CTargetQuery(scratch, "SELECT name, type FROM pragma_table_info(?1, 'target')")
      .Bind(1, type->name)
      .Rows([&](sqlite3_stmt* row) {
        type->hasTable = true;
        const std::string column = ColumnText(row, 0);
        if (!EqualsNoCase(column, "TagID")) type->fields.emplace_back(column, ColumnText(row, 1));
      });
  return true;
}

std::string Described(const TypeDefinition& type) {
  return fmt::format("id {}, library/module {}/{}, {}", type.id, type.libId, type.moduleId,
                     type.hasTable ? "fields (" + type.FieldsText() + ")" : "no value table");
}

bool SameType(const TypeDefinition& a, const TypeDefinition& b) {
  return a.id == b.id && a.libId == b.libId && a.moduleId == b.moduleId &&
         a.hasTable == b.hasTable && Lower(a.FieldsText()) == Lower(b.FieldsText());
}

void Report(ApplyContext& apply, const std::string& text, bool forceable) {
  if (apply.seen.insert(text).second) apply.problems.push_back(text);
  if (!forceable) apply.refused = true;
}

// Creates the types the change set adds, with their value tables, indexes and the target's
// change tracking, before any of their tags arrive. *valueTables gets each new value table.
void AddTypes(CScratch& scratch, const ChangesetContents& contents, bool audited, bool counted,
              ApplyContext& apply, std::vector<std::string>* valueTables) {
  for (const auto& [key, type] : contents.addedTypes) {
    TypeDefinition there;
    if (TargetDefinition(scratch, type.name, &there)) {
      if (SameType(type, there)) {
        Report(apply,
               fmt::format("type {}: the target already has the type that the change set adds",
                           type.name),
               true);
      } else {
        Report(apply,
               fmt::format("type {}: the target already has a type of that name ({}), the change "
                           "set adds {}",
                           type.name, Described(there), Described(type)),
               false);
      }
      continue;
    }
    bool clash = false;
    CTargetQuery(scratch, "SELECT TypeName FROM target.\"TagTypes\" WHERE TypeID = ?1 LIMIT 1")
        .Bind(1, type.id)
        .Rows([&](sqlite3_stmt* row) {
          clash = true;
          Report(apply,
                 fmt::format("type {}: id {} is type {}'s in the target", type.name, type.id,
                             ColumnText(row, 0)),
                 false);
        });
    CTargetQuery(scratch,
                 "SELECT name FROM target.sqlite_master WHERE name = ?1 COLLATE NOCASE LIMIT 1")
        .Bind(1, type.name)
        .Rows([&](sqlite3_stmt* row) {
          clash = true;
          Report(apply,
                 fmt::format("type {}: the target already has a table or index {}", type.name,
                             ColumnText(row, 0)),
                 false);
        });
    if (clash) continue;
    CTargetQuery(scratch,
                 "INSERT INTO target.\"TagTypes\" (TypeID, TypeName, TypeLibID, TypeModuleID) "
                 "VALUES (?1, ?2, ?3, ?4)")
        .Bind(1, type.id)
        .Bind(2, type.name)
        .Bind(3, type.libId)
        .Bind(4, type.moduleId)
        .Write("type " + type.name);
    if (!type.hasTable) continue;
    std::vector<std::pair<std::string, std::string>> columns = {{"TagID", "LONG"}};
    std::string sql = fmt::format("CREATE TABLE target.{} (\"TagID\" LONG", QuoteName(type.name));
    for (const auto& [field, declared] : type.fields) {
      sql += fmt::format(", {} {}", QuoteName(field), declared);
      columns.emplace_back(field, declared);
    }
    sql += fmt::format(");\nCREATE INDEX target.{} ON {} (\"TagID\");\n",
                       QuoteName("ix " + type.name + " TagID"), QuoteName(type.name));
    if (audited || counted)
      sql += tracking::TableTriggersSql("target", type.name, columns, audited);
    scratch.Execute(sql, "type " + type.name);
    valueTables->push_back(type.name);
  }
}

// Removes the types the change set removes, once their tags are gone.
void RemoveTypes(CScratch& scratch, const ChangesetContents& contents, ApplyContext& apply) {
  for (const auto& [key, type] : contents.removedTypes) {
    TypeDefinition there;
    if (!TargetDefinition(scratch, type.name, &there)) {
      Report(apply, fmt::format("type {}: the target has no such type to remove", type.name), true);
      continue;
    }
    if (!SameType(type, there))
      Report(apply,
             fmt::format("type {}: the target's type is {}, the change set expects {}", type.name,
                         Described(there), Described(type)),
             true);
    int64_t tags = 0;
    CTargetQuery(scratch, "SELECT count(*) FROM target.\"Tags\" WHERE TagType = ?1")
        .Bind(1, there.id)
        .Rows([&](sqlite3_stmt* row) { tags = sqlite3_column_int64(row, 0); });
    if (tags > 0) {
      Report(apply,
             fmt::format("type {}: the target still has {} tags of it, which the change set does "
                         "not remove",
                         type.name, tags),
             false);
      continue;
    }
    CTargetQuery(scratch, "DELETE FROM target.\"TagTypes\" WHERE TypeName = ?1 COLLATE NOCASE")
        .Bind(1, there.name)
        .Write("type " + type.name);
    if (there.hasTable)
      scratch.Execute(fmt::format("DROP TABLE target.{}", QuoteName(there.name)),
                      "type " + type.name);
  }
}

// Changes the library and module ids of the types the change set changes in place, where the
// target's ids are the old ones (forced: whatever they are). The target's own triggers on
// TagTypes keep its generation and audit trail.
void UpdateTypes(CScratch& scratch, const ChangesetContents& contents, ApplyContext& apply) {
  for (const auto& [key, update] : contents.updatedTypes) {
    int64_t row = 0;
    std::map<std::string, int64_t> there;
    CTargetQuery(scratch,
                 "SELECT rowid, TypeLibID, TypeModuleID FROM target.\"TagTypes\" WHERE TypeName "
                 "= ?1 COLLATE NOCASE ORDER BY rowid LIMIT 1")
        .Bind(1, update.name)
        .Rows([&](sqlite3_stmt* found) {
          row = sqlite3_column_int64(found, 0);
          there["TypeLibID"] = sqlite3_column_int64(found, 1);
          there["TypeModuleID"] = sqlite3_column_int64(found, 2);
        });
    if (there.empty()) {
      Report(apply, fmt::format("type {}: the target has no such type to change", update.name),
             false);
      continue;
    }
    bool conflict = false;
    for (const TypeUpdate::Id& id : update.ids) {
      if (there[id.column] == id.before) continue;
      conflict = true;
      Report(apply,
             fmt::format("type {}: TagTypes.{} is {} in the target, the change set expects {}",
                         update.name, id.column, there[id.column], id.before),
             true);
    }
    if (conflict && !apply.force) continue;
    // One statement: one row in the trail for the type.
    std::string assignments;
    for (size_t i = 0; i < update.ids.size(); ++i)
      assignments +=
          fmt::format("{}{} = ?{}", i == 0 ? "" : ", ", QuoteName(update.ids[i].column), i + 1);
    CTargetQuery write(scratch, fmt::format("UPDATE target.\"TagTypes\" SET {} WHERE rowid = ?{}",
                                            assignments, update.ids.size() + 1));
    for (size_t i = 0; i < update.ids.size(); ++i)
      write.Bind(static_cast<int>(i) + 1, update.ids[i].after);
    write.Bind(static_cast<int>(update.ids.size()) + 1, row).Write("type " + update.name);
  }
}

std::string Column(const std::string& name) { return QuoteName(name); }

// The temporary triggers that carry each row the engine writes into the scratch tables on to
// the target's tables. Unqualified names resolve to the target: the scratch tables all start
// with "zema:".
std::string WriteThroughSql(const TargetTables& layouts,
                            const std::vector<std::string>& targetValueTables) {
  const std::string tagId =
      "(SELECT min(\"TagID\") FROM \"Tags\" WHERE \"TagName\" = {}.\"TagName\")";
  const auto id = [&](const char* row) { return fmt::format(tagId, row); };
  std::string sql;
  const std::string tags = QuoteName(changeset::kTags);
  std::string columns, values, assignments;
  for (const char* column : kTagColumns) {
    columns += ", " + Column(column);
    values += ", NEW." + Column(column);
    assignments +=
        std::string(assignments.empty() ? "" : ", ") + Column(column) + " = NEW." + Column(column);
  }
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply tags insert\" AFTER INSERT ON main.{} BEGIN INSERT INTO "
      "\"Tags\" (\"TagName\"{}) VALUES (NEW.\"TagName\"{}); END;\n",
      tags, columns, values);
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply tags update\" AFTER UPDATE ON main.{} BEGIN UPDATE "
      "\"Tags\" SET {} WHERE \"TagID\" = {}; END;\n",
      tags, assignments, id("OLD"));
  // A removed tag leaves no row anywhere, as DeleteTags leaves none.
  std::string removal;
  for (const std::string& table : targetValueTables)
    removal += fmt::format("DELETE FROM {} WHERE \"TagID\" = {}; ", QuoteName(table), id("OLD"));
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply tags delete\" AFTER DELETE ON main.{} BEGIN {}DELETE "
      "FROM \"HMIInfo\" WHERE \"TagID\" = {}; DELETE FROM \"Tags\" WHERE \"TagID\" = {}; END;\n",
      tags, removal, id("OLD"), id("OLD"));

  const std::string hmi = QuoteName(changeset::kHmi);
  columns.clear();
  values.clear();
  assignments.clear();
  for (const char* column : kHmiColumns) {
    columns += ", " + Column(column);
    values += ", NEW." + Column(column);
    assignments +=
        std::string(assignments.empty() ? "" : ", ") + Column(column) + " = NEW." + Column(column);
  }
  const std::string hmiRow = fmt::format(
      "(SELECT min(rowid) FROM \"HMIInfo\" WHERE \"TagID\" = {} AND \"FieldName\" = "
      "OLD.\"FieldName\")",
      id("OLD"));
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply hmi insert\" AFTER INSERT ON main.{} BEGIN INSERT INTO "
      "\"HMIInfo\" (\"TagID\", \"FieldName\"{}) VALUES ({}, NEW.\"FieldName\"{}); END;\n",
      hmi, columns, id("NEW"), values);
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply hmi update\" AFTER UPDATE ON main.{} BEGIN UPDATE "
      "\"HMIInfo\" SET {} WHERE rowid = {}; END;\n",
      hmi, assignments, hmiRow);
  sql += fmt::format(
      "CREATE TEMP TRIGGER \"zema apply hmi delete\" AFTER DELETE ON main.{} BEGIN DELETE FROM "
      "\"HMIInfo\" WHERE \"TagID\" = {} AND \"FieldName\" = OLD.\"FieldName\"; END;\n",
      hmi, id("OLD"));

  int number = 0;
  for (const auto& [scratchTable, layout] : layouts) {
    if (layout.missing) continue;  // it holds no rows to change
    const std::string target = QuoteName(layout.name);
    columns.clear();
    values.clear();
    assignments.clear();
    for (const auto& field : layout.fields) {
      columns += ", " + Column(field.first);
      values += ", NEW." + Column(field.first);
      assignments += std::string(assignments.empty() ? "" : ", ") + Column(field.first) +
                     " = NEW." + Column(field.first);
    }
    const std::string scratch = QuoteName(scratchTable);
    ++number;
    sql += fmt::format(
        "CREATE TEMP TRIGGER \"zema apply values {0} insert\" AFTER INSERT ON main.{1} BEGIN "
        "INSERT INTO {2} (\"TagID\"{3}) VALUES ({4}{5}); END;\n",
        number, scratch, target, columns, id("NEW"), values);
    if (!assignments.empty())
      sql += fmt::format(
          "CREATE TEMP TRIGGER \"zema apply values {0} update\" AFTER UPDATE ON main.{1} BEGIN "
          "UPDATE {2} SET {3} WHERE rowid = (SELECT min(rowid) FROM {2} WHERE \"TagID\" = {4}); "
          "END;\n",
          number, scratch, target, assignments, id("OLD"));
    sql += fmt::format(
        "CREATE TEMP TRIGGER \"zema apply values {0} delete\" AFTER DELETE ON main.{1} BEGIN "
        "DELETE FROM {2} WHERE \"TagID\" = {3}; END;\n",
        number, scratch, target, id("OLD"));
  }
  return sql;
}

}  // namespace

int RunApply(const ApplyOptions& options) {
  RequireSqliteFile(
      options.database, "apply",
      "a change set is SQLite's own; copy the database to a file, apply, copy it back");
  std::ifstream in(options.changeset, std::ios::binary);
  if (!in) throw ToolError(fmt::format("{}: cannot be read", options.changeset));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const ChangesetContents contents = ReadContents(options.changeset, bytes);
  bool audited = false, counted = false;
  const auto layouts =
      CheckSchema(options.changeset, options.database, contents, &audited, &counted);

  // The scratch database with the target attached, writing with the tool's identity.
  CScratch scratch;
  platform::ado::RegisterAuditFunctions(scratch.get());
  sqlite3_busy_timeout(scratch.get(), 5000);
  sqlite3_stmt* attach = scratch.Prepare("ATTACH DATABASE ?1 AS target");
  sqlite3_bind_text(attach, 1, options.database.c_str(), -1, SQLITE_TRANSIENT);
  scratch.Run(attach);
  scratch.Execute("PRAGMA target.synchronous=NORMAL", options.database);

  std::vector<std::string> targetValueTables;
  {
    sqlite3_stmt* types = scratch.Prepare(
        "SELECT m.name FROM target.sqlite_master m WHERE m.type = 'table' AND lower(m.name) IN "
        "(SELECT lower(TypeName) FROM target.\"TagTypes\") AND lower(m.name) NOT IN ('tags', "
        "'hmiinfo', 'tagtypes', 'auditlog', 'configgeneration')");
    while (sqlite3_step(types) == SQLITE_ROW)
      targetValueTables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(types, 0)));
    sqlite3_reset(types);
  }

  // The write lock first: from here to the commit, no one else changes the target.
  scratch.Execute("BEGIN IMMEDIATE", options.database);
  bool committed = false;
  try {
    std::string create = changeset::CreateFixedTablesSql();
    ApplyContext context;
    context.force = options.force;
    context.columns[changeset::kTags].push_back("TagName");
    for (const char* column : kTagColumns) context.columns[changeset::kTags].push_back(column);
    context.columns[changeset::kHmi] = {"TagName", "FieldName"};
    for (const char* column : kHmiColumns) context.columns[changeset::kHmi].push_back(column);
    for (const auto& [table, layout] : layouts) {
      create += changeset::CreateValuesSql(table.substr(std::strlen(changeset::kValuesPrefix)),
                                           layout.fields);
      auto& names = context.columns[table];
      names.push_back("TagName");
      for (const auto& field : layout.fields) names.push_back(field.first);
    }
    scratch.Execute(create, options.database);
    const auto refuse = [&]() {
      scratch.Execute("ROLLBACK", options.database);
      for (const std::string& problem : context.problems) ReportError(problem);
      ReportError(fmt::format(
          "{}: nothing applied ({} conflicts{})", options.database, context.problems.size(),
          context.aborted || context.refused ? "" : "; --force applies the change set anyway"));
      return 1;
    };
    AddTypes(scratch, contents, audited, counted, context, &targetValueTables);
    if (!context.problems.empty() && (!options.force || context.refused)) return refuse();

    // The target's current rows of every tag the change set names: the first row of each.
    std::vector<sqlite3_stmt*> loads;
    const std::string tagId = "(SELECT min(\"TagID\") FROM target.\"Tags\" WHERE \"TagName\" = ?1)";
    std::string sql =
        fmt::format("INSERT INTO main.{} SELECT \"TagName\"", QuoteName(changeset::kTags));
    for (const char* column : kTagColumns) sql += ", " + Column(column);
    loads.push_back(scratch.Prepare(sql + " FROM target.\"Tags\" WHERE \"TagID\" = " + tagId));
    sql = fmt::format("INSERT OR IGNORE INTO main.{} SELECT ?1, \"FieldName\"",
                      QuoteName(changeset::kHmi));
    for (const char* column : kHmiColumns) sql += ", " + Column(column);
    loads.push_back(scratch.Prepare(sql + " FROM target.\"HMIInfo\" WHERE \"TagID\" = " + tagId +
                                    " ORDER BY rowid"));
    for (const auto& [table, layout] : layouts) {
      if (layout.missing) continue;
      sql = fmt::format("INSERT OR IGNORE INTO main.{} SELECT ?1", QuoteName(table));
      for (const auto& field : layout.fields) sql += ", " + Column(field.first);
      loads.push_back(scratch.Prepare(sql + " FROM target." + QuoteName(layout.name) +
                                      " WHERE \"TagID\" = " + tagId + " ORDER BY rowid"));
    }
    for (const std::string& name : contents.tagNames)
      for (sqlite3_stmt* load : loads) {
        sqlite3_bind_text(load, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        scratch.Run(load);
      }
    scratch.Execute(WriteThroughSql(layouts, targetValueTables), options.database);

    const int rc = sqlite3changeset_apply(scratch.get(), static_cast<int>(bytes.size()),
                                          bytes.data(), SkipDescriptions, OnConflict, &context);
    if (rc != SQLITE_OK && !context.aborted)
      throw ToolError(fmt::format("{}: {}", options.database, sqlite3_errmsg(scratch.get())));
    UpdateTypes(scratch, contents, context);
    RemoveTypes(scratch, contents, context);
    if (!context.problems.empty() && (!options.force || context.aborted || context.refused))
      return refuse();
    scratch.Execute("COMMIT", options.database);
    committed = true;
    for (const std::string& problem : context.problems)
      std::printf("%s", fmt::format("forced: {}\n", problem).c_str());
    std::string typesText;
    if (!contents.addedTypes.empty() || !contents.removedTypes.empty())
      typesText = fmt::format(" ({} types added, {} removed", contents.addedTypes.size(),
                              contents.removedTypes.size());
    if (!contents.updatedTypes.empty())
      typesText += fmt::format("{}{} types changed", typesText.empty() ? " (" : ", ",
                               contents.updatedTypes.size());
    if (!typesText.empty()) typesText += ")";
    std::printf("%s", fmt::format("applied {} changes of {} tags{} to {}\n",
                                  contents.changes - contents.typeChanges, contents.tagNames.size(),
                                  typesText, options.database)
                          .c_str());
  } catch (...) {
    if (!committed) sqlite3_exec(scratch.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return 0;
}
