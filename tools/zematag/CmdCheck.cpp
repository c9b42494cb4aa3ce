// zematag check: the consistency of a tag database, which the library itself relies on but does
// not enforce. It reads the tables read-only and loads the database through CZEMATagAcs.
#include <fmt/format.h>

#include <map>
#include <set>

#include "Catalogue.h"
#include "Commands.h"
#include "Layout.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"

namespace {

// Lists of this many problems of one kind are cut short.
constexpr int kShownPerKind = 20;

class CProblems {
 public:
  void Add(const std::string& kind, const std::string& text) {
    int& count = counts[kind];
    if (++count <= kShownPerKind) fmt::print("{}: {}\n", kind, text);
    ++total;
  }
  void Summarise() {
    for (const auto& [kind, count] : counts)
      if (count > kShownPerKind) fmt::print("{}: ... and {} more\n", kind, count - kShownPerKind);
  }
  int total = 0;

 private:
  std::map<std::string, int> counts;
};

}  // namespace

int RunCheck(const std::string& database) {
  CSchemaStore store = CSchemaStore::OpenReadOnly(database);
  const std::vector<TypeDef> types = store.Types();
  CProblems problems;
  const std::string tags = QuoteName(layout::kTags);
  const std::string hmi = QuoteName(layout::kHMIInfo);
  const auto each = [&](const std::string& sql,
                        const std::function<void(const std::vector<std::string>&)>& row) {
    store.Query(sql, [&](const std::vector<std::string>& values, const std::vector<bool>&) {
      row(values);
    });
  };

  std::map<std::string, int> typeNames;
  for (const TypeDef& type : types) {
    if (++typeNames[Lower(type.name)] == 2) problems.Add("duplicate type name", type.name);
    if (!type.hasTable) {
      problems.Add("type without value table", fmt::format("{} (id {})", type.name, type.id));
      continue;
    }
    const std::string table = QuoteName(type.name);
    each(fmt::format("SELECT v.TagID FROM {} v WHERE v.TagID IS NULL OR v.TagID NOT IN "
                     "(SELECT TagID FROM {})",
                     table, tags),
         [&](const auto& row) {
           problems.Add("orphan value row",
                        fmt::format("{} row for TagID {}, which no tag has", type.name,
                                    row[0].empty() ? "NULL" : row[0]));
         });
    each(fmt::format("SELECT t.TagName, t.TagType FROM {} v JOIN {} t ON t.TagID = v.TagID "
                     "WHERE t.TagType IS NOT {}",
                     table, tags, type.id),
         [&](const auto& row) {
           problems.Add(
               "value row of another type",
               fmt::format("{} has a row in {} but is of type {}", row[0], type.name, row[1]));
         });
    each(fmt::format("SELECT TagName FROM {} WHERE TagType = {} AND TagID NOT IN (SELECT TagID "
                     "FROM {} WHERE TagID IS NOT NULL)",
                     tags, type.id, table),
         [&](const auto& row) {
           problems.Add("tag without values",
                        fmt::format("{} has no row in {}", row[0], type.name));
         });
    each(fmt::format("SELECT t.TagName, COUNT(*) FROM {} v JOIN {} t ON t.TagID = v.TagID "
                     "GROUP BY v.TagID HAVING COUNT(*) > 1",
                     table, tags),
         [&](const auto& row) {
           problems.Add("duplicate value rows",
                        fmt::format("{} has {} rows in {}", row[0], row[1], type.name));
         });
  }

  each(fmt::format("SELECT TagName, TagType FROM {} WHERE TagType IS NULL OR TagType NOT IN "
                   "(SELECT TypeID FROM {} WHERE TypeID IS NOT NULL)",
                   tags, QuoteName(layout::kTagTypes)),
       [&](const auto& row) {
         problems.Add("tag without a type",
                      fmt::format("{} (TagType {})", row[0], row[1].empty() ? "NULL" : row[1]));
       });
  each(fmt::format("SELECT TagName, COUNT(*) FROM {} GROUP BY TagName HAVING COUNT(*) > 1", tags),
       [&](const auto& row) {
         problems.Add("duplicate tag name", fmt::format("{} is used by {} tags", row[0], row[1]));
       });
  each(fmt::format("SELECT TagID, FieldName FROM {} WHERE TagID IS NULL OR TagID NOT IN "
                   "(SELECT TagID FROM {})",
                   hmi, tags),
       [&](const auto& row) {
         problems.Add("orphan display row", fmt::format("{} of TagID {}, which no tag has", row[1],
                                                        row[0].empty() ? "NULL" : row[0]));
       });
  std::map<int, const TypeDef*> typeById;
  for (const TypeDef& type : types) typeById.emplace(type.id, &type);
  each(fmt::format("SELECT t.TagName, t.TagType, h.FieldName, COUNT(*) FROM {} h JOIN {} t "
                   "ON t.TagID = h.TagID GROUP BY h.TagID, h.FieldName",
                   hmi, tags),
       [&](const auto& row) {
         if (row[3] != "1")
           problems.Add("duplicate display rows",
                        fmt::format("{}.{} has {} rows", row[0], row[2], row[3]));
         const auto type = typeById.find(std::atoi(row[1].c_str()));
         if (type != typeById.end() && type->second->hasTable &&
             type->second->Field(row[2]) == nullptr)
           problems.Add("display row of no field", fmt::format("{}.{}: type {} has no such field",
                                                               row[0], row[2], type->second->name));
       });

  // The library must load what the tables hold.
  try {
    CCatalogue catalogue(database);
    fmt::print("{}: {} tags of {} types\n", database, catalogue.TagCount(), types.size());
  } catch (const ToolError& e) {
    problems.Add("library", e.what());
  }

  problems.Summarise();
  if (problems.total == 0) {
    fmt::print("no problems found\n");
    return 0;
  }
  fmt::print("{} problem(s) found\n", problems.total);
  return 1;
}
