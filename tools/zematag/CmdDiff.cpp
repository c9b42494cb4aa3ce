// zematag diff: what differs between two tag databases, for people (aligned text, coloured on a
// terminal), as JSON, and as a change set file for `zematag apply`.
#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>

#include "ChangeCommands.h"
#include "Changeset.h"
#include "PlantDiff.h"
#include "PlantSnapshot.h"
#include "Report.h"
#include "ToolError.h"

namespace {

struct Colours {
  const char* added = "";
  const char* removed = "";
  const char* changed = "";
  const char* dim = "";
  const char* reset = "";
};

std::string Shown(const std::optional<CCell>& cell) { return cell ? cell->Shown() : "(none)"; }

std::string ColumnLabel(const CColumnChange& change) {
  if (change.part == CColumnChange::kDisplay)
    return fmt::format("{}[{}].{}", change.table, change.field, change.column);
  return change.table + "." + change.column;
}

std::string TypeLabel(const CPlantSnapshot& plant, const CTagSnapshot& tag) {
  const CTypeShape* type = plant.TypeById(tag.typeId);
  return type != nullptr ? type->name : fmt::format("type {}", tag.typeId);
}

void PrintText(const CPlantSnapshot& from, const CPlantSnapshot& to, const CPlantDiff& diff) {
  Colours colour;
  if (isatty(STDOUT_FILENO)) colour = {"\033[32m", "\033[31m", "\033[33m", "\033[2m", "\033[0m"};
  std::string out;
  for (const CTypeChange& type : diff.types) {
    if (type.kind == CTypeChange::kAdded)
      out += fmt::format("{}+ type {} (id {}){}\n", colour.added, type.to->name, type.to->id,
                         colour.reset);
    else if (type.kind == CTypeChange::kRemoved)
      out += fmt::format("{}- type {} (id {}){}\n", colour.removed, type.from->name, type.from->id,
                         colour.reset);
    else
      out += fmt::format("{}~ type {}{}: {}\n", colour.changed, type.from->name, colour.reset,
                         type.what);
  }
  // Column labels of one tag line up; so do the tag names of added and removed tags.
  for (const CTagChange& tag : diff.tags) {
    if (tag.kind == CTagChange::kAdded) {
      out += fmt::format("{}+ {}{}  {}{}{}\n", colour.added, tag.name, colour.reset, colour.dim,
                         TypeLabel(to, *tag.to), colour.reset);
      continue;
    }
    if (tag.kind == CTagChange::kRemoved) {
      out += fmt::format("{}- {}{}  {}{}{}\n", colour.removed, tag.name, colour.reset, colour.dim,
                         TypeLabel(from, *tag.from), colour.reset);
      continue;
    }
    out += fmt::format("{}~ {}{}\n", colour.changed, tag.name, colour.reset);
    size_t width = 0, oldWidth = 0;
    for (const CColumnChange& change : tag.columns) {
      width = std::max(width, ColumnLabel(change).size());
      oldWidth = std::max(oldWidth, Shown(change.before).size());
    }
    for (const CColumnChange& change : tag.columns)
      out +=
          fmt::format("    {:<{}}  {}{:<{}}{} → {}\n", ColumnLabel(change), width, colour.removed,
                      Shown(change.before), oldWidth, colour.reset, Shown(change.after));
  }
  out += fmt::format("tags: {} added, {} removed, {} changed, {} unchanged; types: {} changed\n",
                     diff.added, diff.removed, diff.changed, diff.unchanged, diff.types.size());
  std::fwrite(out.data(), 1, out.size(), stdout);
}

nlohmann::ordered_json CellJson(const std::optional<CCell>& cell) {
  if (!cell || cell->kind == CCell::kNull) return nullptr;
  switch (cell->kind) {
    case CCell::kInteger:
      return cell->integer;
    case CCell::kReal:
      return cell->real;
    case CCell::kText:
      return cell->bytes;
    default:
      return cell->Shown();  // X'..'
  }
}

nlohmann::ordered_json TypeJson(const CTypeShape& type) {
  nlohmann::ordered_json json = {
      {"id", type.id}, {"name", type.name}, {"library", type.libId}, {"module", type.moduleId}};
  json["fields"] = nlohmann::ordered_json::array();
  for (const auto& [name, declared] : type.fields)
    json["fields"].push_back({{"name", name}, {"type", declared}});
  return json;
}

nlohmann::ordered_json ColumnJson(const CColumnChange& change, bool withBefore) {
  nlohmann::ordered_json json = {{"table", change.table}};
  if (change.part == CColumnChange::kDisplay) json["field"] = change.field;
  json["column"] = change.column;
  if (withBefore) json["old"] = CellJson(change.before);
  json["new"] = CellJson(change.after);
  if (withBefore && !change.before) json["oldMissing"] = true;
  if (withBefore && !change.after) json["newMissing"] = true;
  return json;
}

void PrintJson(const CPlantSnapshot& from, const CPlantSnapshot& to, const CPlantDiff& diff) {
  nlohmann::ordered_json json = {{"from", from.source}, {"to", to.source}};
  auto& types = json["types"] = {{"added", nlohmann::ordered_json::array()},
                                 {"removed", nlohmann::ordered_json::array()},
                                 {"changed", nlohmann::ordered_json::array()}};
  for (const CTypeChange& type : diff.types) {
    if (type.kind == CTypeChange::kAdded) types["added"].push_back(TypeJson(*type.to));
    if (type.kind == CTypeChange::kRemoved) types["removed"].push_back(TypeJson(*type.from));
    if (type.kind == CTypeChange::kChanged)
      types["changed"].push_back(
          {{"from", TypeJson(*type.from)}, {"to", TypeJson(*type.to)}, {"what", type.what}});
  }
  auto& tags = json["tags"] = {{"added", nlohmann::ordered_json::array()},
                               {"removed", nlohmann::ordered_json::array()},
                               {"changed", nlohmann::ordered_json::array()}};
  for (const CTagChange& tag : diff.tags) {
    const bool added = tag.kind == CTagChange::kAdded;
    if (tag.kind != CTagChange::kChanged) {
      const CPlantSnapshot& plant = added ? to : from;
      const CTagSnapshot& snapshot = added ? *tag.to : *tag.from;
      nlohmann::ordered_json entry = {{"name", tag.name}, {"type", TypeLabel(plant, snapshot)}};
      entry["columns"] = nlohmann::ordered_json::array();
      for (const CColumnChange& column : TagColumns(plant, snapshot)) {
        nlohmann::ordered_json value = ColumnJson(column, false);
        value["value"] = value["new"];
        value.erase("new");
        entry["columns"].push_back(value);
      }
      tags[added ? "added" : "removed"].push_back(entry);
      continue;
    }
    nlohmann::ordered_json entry = {{"name", tag.name}};
    entry["changes"] = nlohmann::ordered_json::array();
    for (const CColumnChange& change : tag.columns)
      entry["changes"].push_back(ColumnJson(change, true));
    tags["changed"].push_back(entry);
  }
  json["summary"] = {{"added", diff.added},
                     {"removed", diff.removed},
                     {"changed", diff.changed},
                     {"unchanged", diff.unchanged},
                     {"typeChanges", diff.types.size()}};
  const std::string text = json.dump(2) + "\n";
  std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace

int RunDiff(const DiffOptions& options) {
  if (!options.changeset.empty()) {
    const std::string why = "a change set is SQLite's own; diff two files to make one";
    RequireFile(options.from, "diff --changeset", why);
    RequireFile(options.to, "diff --changeset", why);
  }
  CPlantSnapshot from, to;
  ReadPlants(options.from, options.to, &from, &to);
  const CPlantDiff diff = DiffPlants(from, to);
  if (options.format == "json")
    PrintJson(from, to, diff);
  else
    PrintText(from, to, diff);
  if (!options.changeset.empty()) {
    WriteChangeset(from, to, diff, options.changeset);
    // A change set carries tags, whole types and a type's new library and module ids, not a
    // type whose id or fields changed in place: say so now rather than when `apply` refuses it.
    for (const CTypeChange& type : diff.types)
      if (type.kind == CTypeChange::kChanged && !type.OnlyLibraryModule())
        ReportError(fmt::format(
            "{}: type {} changed in place ({}); the change set does not carry that: it applies "
            "only to a database whose type {} is already as in {}",
            options.changeset, type.from->name, type.what, type.to->name, options.to));
  }
  return diff.Empty() ? 0 : 1;
}
