// zematag audit enable, zematag log: the audit trail of a tag database.
#include <fmt/format.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>

#include "ChangeCommands.h"
#include "Report.h"
#include "ToolError.h"
#include "Tracking.h"

using tracking::CTrackedDb;

namespace {

std::string ColumnText(sqlite3_stmt* row, int i) {
  const unsigned char* text = sqlite3_column_text(row, i);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

// A JSON value as the log shows it: text unquoted when it reads unambiguously, else as JSON.
std::string Shown(const nlohmann::ordered_json& value) {
  if (value.is_null()) return "NULL";
  if (value.is_string()) return nlohmann::json(value.get<std::string>()).dump();
  return value.dump();
}

// "a=1, b=\"x\"" for a whole row, "a: 1 → 2" for the columns an update changed.
std::string Details(const std::string& before, const std::string& after) {
  const auto parse = [](const std::string& text) {
    if (text.empty()) return nlohmann::ordered_json();
    return nlohmann::ordered_json::parse(text, nullptr, false);
  };
  const nlohmann::ordered_json old = parse(before), now = parse(after);
  std::string text;
  const auto add = [&](const std::string& part) { text += (text.empty() ? "" : ", ") + part; };
  if (old.is_object() && now.is_object()) {
    for (const auto& [key, value] : now.items()) {
      const auto was = old.find(key);
      if (was == old.end()) {
        add(fmt::format("{}: → {}", key, Shown(value)));
      } else if (*was != value) {
        add(fmt::format("{}: {} → {}", key, Shown(*was), Shown(value)));
      }
    }
    if (text.empty()) text = "no column changed";
    return text;
  }
  const nlohmann::ordered_json& row = now.is_object() ? now : old;
  if (!row.is_object()) return "";
  for (const auto& [key, value] : row.items())
    if (key != "TagID") add(fmt::format("{}={}", key, Shown(value)));
  return text;
}

// "2026-01-31", "2026-01-31 08:00", "2026-01-31T08:00:05Z" as the trail writes times.
std::string NormalisedTime(const std::string& text) {
  static const std::regex form(
      R"(^(\d{4}-\d{2}-\d{2})(?:[T ](\d{2}:\d{2})(:\d{2}(?:\.\d+)?)?)?Z?$)");
  std::smatch match;
  if (!std::regex_match(text, match, form))
    throw ToolError(fmt::format(
        "--since {}: give a UTC time as YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DDTHH:MM:SS",
        text));
  std::string time = match[1].str() + "T" + (match[2].matched ? match[2].str() : "00:00");
  return time + (match[3].matched ? match[3].str() : ":00");
}

}  // namespace

int RunAuditEnable(const std::string& database) {
  RequireSqliteFile(database, "audit enable",
                    "the generation and the audit trail are kept by triggers of an SQLite file");
  CTrackedDb db = CTrackedDb::Open(database, true);
  db.Execute("BEGIN IMMEDIATE");
  try {
    const bool had = tracking::AuditStateOf(db) == tracking::AuditState::kEnabled;
    tracking::InstallAudit(db);
    db.Execute("COMMIT");
    std::printf("%s", fmt::format("{}: audit trail {} ({} tables)\n", database,
                                  had ? "was already on; triggers renewed" : "enabled",
                                  tracking::TrackedTables(db).size())
                          .c_str());
  } catch (...) {
    sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return 0;
}

int RunLog(const LogOptions& options) {
  RequireFile(options.database, "log",
              "the generation and the audit trail are kept by triggers of an SQLite file");
  CTrackedDb db = CTrackedDb::Open(options.database, false);
  std::string found;
  switch (tracking::AuditStateOf(db, &found)) {
    case tracking::AuditState::kNone:
      throw ToolError(
          fmt::format("{}: has no audit trail (see zematag audit enable)", options.database));
    case tracking::AuditState::kWrongColumns:
      throw ToolError(
          fmt::format("{}: table AuditLog has the wrong columns ({})", options.database, found));
    case tracking::AuditState::kEnabled:
      break;
  }
  const std::string since = options.since.empty() ? "" : NormalisedTime(options.since);
  // Names of tags by id, from the trail itself, for rows written after the tag's row was gone.
  std::map<long long, std::string> names;
  int shown = 0;
  db.Query(
      "SELECT Time, OsUser, Host, Program, Operation, TableName, TagID, TagName, Before, After "
      "FROM AuditLog ORDER BY AuditID",
      [&](sqlite3_stmt* row) {
        const bool hasId = sqlite3_column_type(row, 6) != SQLITE_NULL;
        const long long tagId = sqlite3_column_int64(row, 6);
        std::string name = ColumnText(row, 7);
        if (hasId && sqlite3_column_type(row, 7) != SQLITE_NULL) names[tagId] = name;
        if (hasId && sqlite3_column_type(row, 7) == SQLITE_NULL) {
          const auto known = names.find(tagId);
          if (known != names.end()) name = known->second;
        }
        const std::string time = ColumnText(row, 0);
        if (!since.empty() && time < since) return;
        if (!options.tag.empty() && name != options.tag) return;
        ++shown;
        const std::string tag = hasId ? fmt::format("{} (#{})", name, tagId) : "-";
        std::printf("%s", fmt::format("{}  {}@{}  {}  {} {}  {}  {}\n", time, ColumnText(row, 1),
                                      ColumnText(row, 2), ColumnText(row, 3), ColumnText(row, 4),
                                      ColumnText(row, 5), tag,
                                      Details(ColumnText(row, 8), ColumnText(row, 9)))
                              .c_str());
      });
  if (shown == 0 && isatty(STDOUT_FILENO)) std::printf("no entries\n");
  return 0;
}
