// Writing change sets (see Changeset.h).
#include "Changeset.h"

// The session extension of Debian's SQLite: its declarations are compiled in on request.
#define SQLITE_ENABLE_SESSION 1
#define SQLITE_ENABLE_PREUPDATE_HOOK 1

#include <fmt/format.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "ChangesetSchema.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace changeset {

std::string CreateFixedTablesSql() {
  std::string sql = fmt::format("CREATE TABLE {} ({} PRIMARY KEY", QuoteName(kTags), "TagName");
  for (const char* column : kTagColumns) sql += ", " + QuoteName(column);
  sql += fmt::format(");\nCREATE TABLE {} (TagName, FieldName", QuoteName(kHmi));
  for (const char* column : kHmiColumns) sql += ", " + QuoteName(column);
  sql += ", PRIMARY KEY (TagName, FieldName));\n";
  sql +=
      fmt::format("CREATE TABLE {} (TypeName PRIMARY KEY, TypeID, Fields);\n", QuoteName(kTypes));
  sql += fmt::format(
      "CREATE TABLE {} (TypeName PRIMARY KEY, TypeID, TypeLibID, TypeModuleID, Fields);\n",
      QuoteName(kTypeDefs));
  sql += fmt::format("CREATE TABLE {} (Id INTEGER PRIMARY KEY, Changes, Bytes, Digest);\n",
                     QuoteName(kEnd));
  return sql;
}

std::string CreateValuesSql(const std::string& typeName,
                            const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string sql =
      fmt::format("CREATE TABLE {} (TagName PRIMARY KEY", QuoteName(kValuesPrefix + typeName));
  for (const auto& field : fields) sql += ", " + QuoteName(field.first);
  return sql + ");\n";
}

uint64_t Digest(const void* bytes, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  const auto* data = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < size; ++i) {
    hash ^= data[i];
    hash *= 1099511628211ull;
  }
  return hash;
}

std::string FieldsJson(const CTypeShape& type) {
  if (!type.hasTable) return "";
  nlohmann::json json = nlohmann::json::array();
  for (const auto& [name, declared] : type.fields) json.push_back({name, declared});
  return json.dump();
}

bool FieldsFromJson(const std::string& text,
                    std::vector<std::pair<std::string, std::string>>* fields) {
  fields->clear();
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_array()) return false;
  for (const nlohmann::json& field : json) {
    if (!field.is_array() || field.size() != 2 || !field[0].is_string() || !field[1].is_string() ||
        field[0].get<std::string>().empty())
      return false;
    fields->emplace_back(field[0].get<std::string>(), field[1].get<std::string>());
  }
  return true;
}

void BindCell(sqlite3_stmt* statement, int index, const CCell& cell) {
  switch (cell.kind) {
    case CCell::kNull:
      sqlite3_bind_null(statement, index);
      break;
    case CCell::kInteger:
      sqlite3_bind_int64(statement, index, cell.integer);
      break;
    case CCell::kReal:
      sqlite3_bind_double(statement, index, cell.real);
      break;
    case CCell::kText:
      sqlite3_bind_text(statement, index, cell.bytes.data(), static_cast<int>(cell.bytes.size()),
                        SQLITE_TRANSIENT);
      break;
    case CCell::kBlob:
      sqlite3_bind_blob(statement, index, cell.bytes.data(), static_cast<int>(cell.bytes.size()),
                        SQLITE_TRANSIENT);
      break;
  }
}

CScratch::CScratch() {
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
    sqlite3_close(db);
    db = nullptr;
    throw ToolError("no memory for a change set");
  }
}

CScratch::~CScratch() {
  for (sqlite3_stmt* statement : statements) sqlite3_finalize(statement);
  sqlite3_close(db);
}

void CScratch::Execute(const std::string& sql, const std::string& what) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message != nullptr ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw ToolError(fmt::format("{}: {}", what, text));
  }
}

sqlite3_stmt* CScratch::Prepare(const std::string& sql) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    throw ToolError(fmt::format("change set: {}", sqlite3_errmsg(db)));
  }
  statements.push_back(statement);
  return statement;
}

void CScratch::Run(sqlite3_stmt* statement) {
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  if (rc != SQLITE_DONE) throw ToolError(fmt::format("change set: {}", sqlite3_errmsg(db)));
}

}  // namespace changeset

namespace {

using changeset::CScratch;

struct SessionCloser {
  void operator()(sqlite3_session* session) const { sqlite3session_delete(session); }
};
using Session = std::unique_ptr<sqlite3_session, SessionCloser>;

Session StartSession(CScratch& scratch, const std::vector<std::string>& tables) {
  sqlite3_session* session = nullptr;
  if (sqlite3session_create(scratch.get(), "main", &session) != SQLITE_OK)
    throw ToolError("change set: the session cannot be started");
  Session owned(session);
  // The tables come out of the change set in the order they are attached: tags before their
  // display and value rows, which `apply` relies on.
  for (const std::string& table : tables)
    if (sqlite3session_attach(session, table.c_str()) != SQLITE_OK)
      throw ToolError("change set: the session cannot follow " + table);
  return owned;
}

std::string SessionBytes(sqlite3_session* session) {
  int size = 0;
  void* bytes = nullptr;
  if (sqlite3session_changeset(session, &size, &bytes) != SQLITE_OK)
    throw ToolError("change set: it cannot be made");
  std::string copy(static_cast<const char*>(bytes), static_cast<size_t>(size));
  sqlite3_free(bytes);
  return copy;
}

// The tables of one plant's tag, as rows of the logical tables.
class CRows {
 public:
  CRows(CScratch& rowsScratch, const std::map<std::string, const CTypeShape*>& typeLayouts)
      : scratch(rowsScratch), layouts(typeLayouts) {}

  void Remove(const std::string& name) {
    sqlite3_stmt* tags =
        Statement(fmt::format("DELETE FROM {} WHERE TagName = ?1", QuoteName(changeset::kTags)));
    sqlite3_bind_text(tags, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    scratch.Run(tags);
    sqlite3_stmt* hmi =
        Statement(fmt::format("DELETE FROM {} WHERE TagName = ?1", QuoteName(changeset::kHmi)));
    sqlite3_bind_text(hmi, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    scratch.Run(hmi);
    for (const auto& [key, layout] : layouts) {
      sqlite3_stmt* values = Statement(fmt::format(
          "DELETE FROM {} WHERE TagName = ?1", QuoteName(changeset::kValuesPrefix + layout->name)));
      sqlite3_bind_text(values, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
      scratch.Run(values);
    }
  }

  void Insert(const CPlantSnapshot& plant, const CTagSnapshot& tag) {
    sqlite3_stmt* tags = Statement(
        fmt::format("INSERT INTO {} VALUES (?1, ?2, ?3, ?4, ?5, ?6)", QuoteName(changeset::kTags)));
    sqlite3_bind_text(tags, 1, tag.name.data(), static_cast<int>(tag.name.size()),
                      SQLITE_TRANSIENT);
    const std::vector<CCell> head = DecodeCells(tag.head);
    for (size_t i = 0; i < head.size(); ++i)
      changeset::BindCell(tags, static_cast<int>(i) + 2, head[i]);
    scratch.Run(tags);

    sqlite3_stmt* hmi = Statement(
        fmt::format("INSERT INTO {} VALUES (?1, ?2, ?3, ?4, ?5, ?6)", QuoteName(changeset::kHmi)));
    for (const auto& [field, encoded] : tag.hmi) {
      sqlite3_bind_text(hmi, 1, tag.name.data(), static_cast<int>(tag.name.size()),
                        SQLITE_TRANSIENT);
      sqlite3_bind_text(hmi, 2, field.data(), static_cast<int>(field.size()), SQLITE_TRANSIENT);
      const std::vector<CCell> cells = DecodeCells(encoded);
      for (size_t i = 0; i < cells.size(); ++i)
        changeset::BindCell(hmi, static_cast<int>(i) + 3, cells[i]);
      scratch.Run(hmi);
    }

    const CTypeShape* type = plant.TypeById(tag.typeId);
    if (type == nullptr || !tag.hasValues) return;
    const auto found = layouts.find(Lower(type->name));
    if (found == layouts.end()) return;
    const CTypeShape& layout = *found->second;
    std::string sql =
        fmt::format("INSERT INTO {} VALUES (?1", QuoteName(changeset::kValuesPrefix + layout.name));
    for (size_t i = 0; i < layout.fields.size(); ++i) sql += fmt::format(", ?{}", i + 2);
    sqlite3_stmt* values = Statement(sql + ")");
    sqlite3_bind_text(values, 1, tag.name.data(), static_cast<int>(tag.name.size()),
                      SQLITE_TRANSIENT);
    // The plant's own fields, by name, in the layout's order (a field it lacks stays NULL).
    const std::vector<CCell> cells = DecodeCells(tag.values);
    for (size_t i = 0; i < layout.fields.size(); ++i)
      for (size_t k = 0; k < type->fields.size() && k < cells.size(); ++k)
        if (EqualsNoCase(type->fields[k].first, layout.fields[i].first))
          changeset::BindCell(values, static_cast<int>(i) + 2, cells[k]);
    scratch.Run(values);
  }

 private:
  sqlite3_stmt* Statement(const std::string& sql) {
    auto found = prepared.find(sql);
    if (found != prepared.end()) return found->second;
    return prepared[sql] = scratch.Prepare(sql);
  }

  CScratch& scratch;
  const std::map<std::string, const CTypeShape*>& layouts;
  std::map<std::string, sqlite3_stmt*> prepared;
};

}  // namespace

void WriteChangeset(const CPlantSnapshot& from, const CPlantSnapshot& to, const CPlantDiff& diff,
                    const std::string& file) {
  // The types the change set relies on: every type of a changed tag, before and after. A value
  // table takes the later plant's layout where it has one.
  std::map<std::string, const CTypeShape*> layouts;  // value tables, by lower-case name
  std::map<std::string, const CTypeShape*> types;    // zema:types rows, by lower-case name
  const auto use = [&](const CPlantSnapshot& plant, const CTagSnapshot* tag) {
    if (tag == nullptr) return;
    const CTypeShape* type = plant.TypeById(tag->typeId);
    if (type == nullptr) return;
    const CTypeShape* later = to.TypeByName(type->name);
    const CTypeShape* chosen = later != nullptr ? later : type;
    types.emplace(Lower(type->name), chosen);
    if (chosen->hasTable) layouts.emplace(Lower(type->name), chosen);
  };
  for (const CTagChange& change : diff.tags) {
    use(from, change.from);
    use(to, change.to);
  }

  CScratch scratch;
  std::string create = changeset::CreateFixedTablesSql();
  for (const auto& [key, layout] : layouts)
    create += changeset::CreateValuesSql(layout->name, layout->fields);
  scratch.Execute(create);

  // Types added or removed as a whole: a removed one is there before the session starts.
  sqlite3_stmt* typeDef = scratch.Prepare(
      fmt::format("INSERT INTO {} VALUES (?1, ?2, ?3, ?4, ?5)", QuoteName(changeset::kTypeDefs)));
  const auto insertTypeDef = [&](const CTypeShape& shape) {
    sqlite3_bind_text(typeDef, 1, shape.name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(typeDef, 2, shape.id);
    sqlite3_bind_int64(typeDef, 3, shape.libId);
    sqlite3_bind_int64(typeDef, 4, shape.moduleId);
    const std::string fields = changeset::FieldsJson(shape);
    if (shape.hasTable) sqlite3_bind_text(typeDef, 5, fields.c_str(), -1, SQLITE_TRANSIENT);
    scratch.Run(typeDef);
  };
  // A type removed, and one whose library or module id changes in place (the session then
  // records an update of just those ids), is there before the session starts.
  for (const CTypeChange& change : diff.types)
    if (change.kind == CTypeChange::kRemoved || change.OnlyLibraryModule())
      insertTypeDef(*change.from);

  CRows rows(scratch, layouts);
  // The earlier plant's rows of every changed tag, then the session records the way to the
  // later plant's rows: it keeps only what really differs.
  for (const CTagChange& change : diff.tags)
    if (change.from != nullptr) rows.Insert(from, *change.from);
  std::vector<std::string> tables = {changeset::kTypes, changeset::kTypeDefs, changeset::kTags,
                                     changeset::kHmi};
  for (const auto& [key, layout] : layouts)
    tables.push_back(changeset::kValuesPrefix + layout->name);
  Session session = StartSession(scratch, tables);
  sqlite3_stmt* type = scratch.Prepare(
      fmt::format("INSERT INTO {} VALUES (?1, ?2, ?3)", QuoteName(changeset::kTypes)));
  for (const auto& [key, shape] : types) {
    sqlite3_bind_text(type, 1, shape->name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(type, 2, shape->id);
    const std::string fields = shape->hasTable ? shape->FieldsText() : "";
    sqlite3_bind_text(type, 3, fields.c_str(), -1, SQLITE_TRANSIENT);
    scratch.Run(type);
  }
  for (const CTypeChange& change : diff.types) {
    if (change.kind == CTypeChange::kAdded) insertTypeDef(*change.to);
    if (change.OnlyLibraryModule()) {
      sqlite3_stmt* update = scratch.Prepare(
          fmt::format("UPDATE {} SET TypeLibID = ?1, TypeModuleID = ?2 WHERE TypeName = ?3",
                      QuoteName(changeset::kTypeDefs)));
      sqlite3_bind_int64(update, 1, change.to->libId);
      sqlite3_bind_int64(update, 2, change.to->moduleId);
      sqlite3_bind_text(update, 3, change.from->name.c_str(), -1, SQLITE_TRANSIENT);
      scratch.Run(update);
      continue;
    }
    if (change.kind != CTypeChange::kRemoved) continue;
    sqlite3_stmt* remove = scratch.Prepare(
        fmt::format("DELETE FROM {} WHERE TypeName = ?1", QuoteName(changeset::kTypeDefs)));
    sqlite3_bind_text(remove, 1, change.from->name.c_str(), -1, SQLITE_TRANSIENT);
    scratch.Run(remove);
  }
  for (const CTagChange& change : diff.tags) {
    rows.Remove(change.name);
    if (change.to != nullptr) rows.Insert(to, *change.to);
  }
  const std::string body = SessionBytes(session.get());
  session.reset();

  // The end row: a file cut anywhere loses it or no longer matches it.
  size_t changes = 0;
  sqlite3_changeset_iter* iterator = nullptr;
  if (sqlite3changeset_start(&iterator, static_cast<int>(body.size()),
                             const_cast<char*>(body.data())) != SQLITE_OK)
    throw ToolError("change set: it cannot be read back");
  while (sqlite3changeset_next(iterator) == SQLITE_ROW) ++changes;
  sqlite3changeset_finalize(iterator);
  Session end = StartSession(scratch, {changeset::kEnd});
  scratch.Execute(fmt::format("INSERT INTO {} VALUES (1, {}, {}, {})", QuoteName(changeset::kEnd),
                              changes, body.size(),
                              static_cast<int64_t>(changeset::Digest(body.data(), body.size()))));
  const std::string tail = SessionBytes(end.get());
  end.reset();

  const std::string temporary = file + ".zematag-new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(body.data(), static_cast<std::streamsize>(body.size()));
    out.write(tail.data(), static_cast<std::streamsize>(tail.size()));
    out.close();
    if (!out) {
      std::remove(temporary.c_str());
      throw ToolError(fmt::format("{}: cannot be written", file));
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::remove(temporary.c_str());
    throw ToolError(fmt::format("{}: {}", file, error.message()));
  }
}
