// zematag check: the soundness of the file (SQLite's integrity check) and the consistency of a
// tag database, which the library itself relies on but does not enforce. It reads the tables
// and loads the database through CZEMATagAcs; with --fix it removes what an interrupted or
// failed store left behind (orphan value and display rows, tags without their value row), in
// one transaction, after listing it.
#include <fmt/format.h>

#include <functional>
#include <map>
#include <set>

#include "Catalogue.h"
#include "Commands.h"
#include "Layout.h"
#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "platform/sql/quote.h"

using platform::sql::QuoteName;

namespace {

// Lists of this many problems of one kind are cut short unless --all.
constexpr int kShownPerKind = 20;

class CProblems {
 public:
  explicit CProblems(bool showAll) : all(showAll) {}
  void Add(const std::string& kind, const std::string& text) {
    int& count = counts[kind];
    if (all || ++count <= kShownPerKind) fmt::print("{}: {}\n", kind, text);
    if (all) ++count;
    ++total;
  }
  void Summarise() {
    for (const auto& [kind, count] : counts)
      if (!all && count > kShownPerKind)
        fmt::print("{}: ... and {} more (--all lists them)\n", kind, count - kShownPerKind);
  }
  int total = 0;

 private:
  bool all;
  std::map<std::string, int> counts;
};

// What --fix removes: statements that delete exactly the rows listed.
class CRepairs {
 public:
  // One problem that --fix removes, with the statements that remove it.
  void Add(const std::string& sql) {
    statements += sql + ";\n";
    ++problems;
  }
  void AddMore(const std::string& sql) { statements += sql + ";\n"; }
  std::string statements;
  int problems = 0;
};

}  // namespace

int RunCheck(const CheckOptions& options) {
  const std::string& database = options.database;
  CSchemaStore store =
      options.fix ? CSchemaStore::OpenForRepair(database) : CSchemaStore::OpenReadOnly(database);
  // What --fix removes is listed in full.
  CProblems problems(options.all || options.fix);

  // A damaged file first: the checks below would read garbage from it, and a repair would
  // make it worse.
  const std::vector<std::string> damage = store.IntegrityProblems();
  if (!damage.empty()) {
    for (const std::string& problem : damage) {
      size_t start = 0;
      while (start < problem.size()) {
        size_t end = problem.find('\n', start);
        if (end == std::string::npos) end = problem.size();
        if (end > start) problems.Add("damaged file", problem.substr(start, end - start));
        start = end + 1;
      }
    }
    problems.Summarise();
    fmt::print("{}: the database file is damaged ({} problem(s)); restore it from a backup{}\n",
               Shown(database), problems.total,
               options.fix ? ", --fix does not repair a damaged file" : "");
    return 1;
  }

  const std::vector<TypeDef> types = store.Types();
  CRepairs repairs;
  // Statements both engines read alike: every column name quoted, rows told apart by the
  // engine's own row id.
  const std::string tags = QuoteName(layout::kTags);
  const std::string hmi = QuoteName(layout::kHMIInfo);
  const std::string rowId = store.RowIdColumn();
  const std::string tagId = QuoteName(layout::kTagID), tagName = QuoteName(layout::kTagName),
                    tagType = QuoteName(layout::kTagType), fieldName = QuoteName("FieldName");
  const std::string shown = Shown(database);
  const auto each = [&](const std::string& sql,
                        const std::function<void(const std::vector<std::string>&)>& row) {
    store.Query(sql, [&](const std::vector<std::string>& values, const std::vector<bool>&) {
      row(values);
    });
  };
  const auto nullText = [](const std::string& text) { return text.empty() ? "NULL" : text; };

  std::map<std::string, int> typeNames;
  for (const TypeDef& type : types) {
    if (++typeNames[Lower(type.name)] == 2) problems.Add("duplicate type name", type.name);
    if (!type.hasTable) {
      problems.Add("type without value table", fmt::format("{} (id {})", type.name, type.id));
      continue;
    }
    const std::string table = QuoteName(type.name);
    const std::string orphan =
        fmt::format("{0} IS NULL OR {0} NOT IN (SELECT {0} FROM {1})", tagId, tags);
    each(fmt::format("SELECT {}, {} FROM {} WHERE {}", rowId, tagId, table, orphan),
         [&](const auto& row) {
           problems.Add("orphan value row", fmt::format("{} row for TagID {}, which no tag has",
                                                        type.name, nullText(row[1])));
           repairs.Add(fmt::format("DELETE FROM {} WHERE {} = {} AND ({})", table, rowId,
                                   store.RowIdLiteral(row[0]), orphan));
         });
    each(fmt::format("SELECT t.{1}, t.{2} FROM {3} v JOIN {4} t ON t.{0} = v.{0} "
                     "WHERE t.{2} IS DISTINCT FROM {5}",
                     tagId, tagName, tagType, table, tags, type.id),
         [&](const auto& row) {
           problems.Add(
               "value row of another type",
               fmt::format("{} has a row in {} but is of type {}", row[0], type.name, row[1]));
         });
    // A tag row without its value row is what a store stopped half way leaves.
    each(fmt::format("SELECT {1}, {0} FROM {3} WHERE {2} = {4} AND {0} NOT IN "
                     "(SELECT {0} FROM {5} WHERE {0} IS NOT NULL)",
                     tagId, tagName, tagType, tags, type.id, table),
         [&](const auto& row) {
           problems.Add("tag without values",
                        fmt::format("{} has no row in {}", row[0], type.name));
           const std::string half = fmt::format(
               "{0} IN (SELECT {0} FROM {2} WHERE {0} = {3} AND {1} = {4} AND {0} NOT IN "
               "(SELECT {0} FROM {5} WHERE {0} IS NOT NULL))",
               tagId, tagType, tags, std::atoll(row[1].c_str()), type.id, table);
           repairs.Add(fmt::format("DELETE FROM {} WHERE {}", hmi, half));
           repairs.AddMore(fmt::format("DELETE FROM {} WHERE {}", tags, half));
         });
    each(fmt::format("SELECT min(t.{1}), COUNT(*) FROM {2} v JOIN {3} t ON t.{0} = v.{0} "
                     "GROUP BY v.{0} HAVING COUNT(*) > 1",
                     tagId, tagName, table, tags),
         [&](const auto& row) {
           problems.Add("duplicate value rows",
                        fmt::format("{} has {} rows in {}", row[0], row[1], type.name));
         });
  }

  each(fmt::format("SELECT {0}, {1} FROM {2} WHERE {1} IS NULL OR {1} NOT IN "
                   "(SELECT {3} FROM {4} WHERE {3} IS NOT NULL)",
                   tagName, tagType, tags, QuoteName("TypeID"), QuoteName(layout::kTagTypes)),
       [&](const auto& row) {
         problems.Add("tag without a type",
                      fmt::format("{} (TagType {})", row[0], nullText(row[1])));
       });
  each(fmt::format("SELECT {0}, COUNT(*) FROM {1} GROUP BY {0} HAVING COUNT(*) > 1", tagName, tags),
       [&](const auto& row) {
         problems.Add("duplicate tag name", fmt::format("{} is used by {} tags", row[0], row[1]));
       });
  const std::string orphanDisplay =
      fmt::format("{0} IS NULL OR {0} NOT IN (SELECT {0} FROM {1})", tagId, tags);
  each(fmt::format("SELECT {}, {}, {} FROM {} WHERE {}", rowId, tagId, fieldName, hmi,
                   orphanDisplay),
       [&](const auto& row) {
         problems.Add("orphan display row",
                      fmt::format("{} of TagID {}, which no tag has", row[2], nullText(row[1])));
         repairs.Add(fmt::format("DELETE FROM {} WHERE {} = {} AND ({})", hmi, rowId,
                                 store.RowIdLiteral(row[0]), orphanDisplay));
       });
  std::map<int, const TypeDef*> typeById;
  for (const TypeDef& type : types) typeById.emplace(type.id, &type);
  each(fmt::format("SELECT min(t.{1}), min(t.{2}), h.{3}, COUNT(*) FROM {4} h JOIN {5} t "
                   "ON t.{0} = h.{0} GROUP BY h.{0}, h.{3}",
                   tagId, tagName, tagType, fieldName, hmi, tags),
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
  if (!options.fix) {
    try {
      CCatalogue catalogue(database);
      fmt::print("{}: {} tags of {} types\n", shown, catalogue.TagCount(), types.size());
    } catch (const ToolError& e) {
      problems.Add("library", e.what());
    }
  }

  problems.Summarise();
  if (problems.total == 0) {
    fmt::print("no problems found\n");
    return 0;
  }
  fmt::print("{} problem(s) found\n", problems.total);
  if (!options.fix) {
    if (repairs.problems > 0)
      fmt::print("check --fix removes the {} orphan row(s) and tag(s) without values\n",
                 repairs.problems);
    return 1;
  }
  if (repairs.problems == 0) {
    fmt::print("--fix: nothing to remove; the problems above need a decision of yours\n");
    return 1;
  }
  store.ExecuteInTransaction(repairs.statements);
  fmt::print("--fix removed the {} orphan row(s) and tag(s) without values listed above\n",
             repairs.problems);
  return problems.total > repairs.problems ? 1 : 0;
}
