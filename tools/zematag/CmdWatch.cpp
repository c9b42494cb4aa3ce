// zematag watch: prints the generation of a tag database, and a line whenever it moves.
#include <fmt/format.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <thread>

#include "ChangeCommands.h"
#include "Report.h"
#include "ToolError.h"
#include "ZEMAGeneration.h"

namespace {

std::string UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

unsigned long long Generation(const std::string& database) {
  unsigned long long generation = 0;
  if (ZemaConfigGeneration(database.c_str(), &generation) != 1) {
    std::error_code error;
    if (!std::filesystem::exists(database, error))
      throw ToolError(fmt::format("{}: no such database file", database));
    throw ToolError(
        fmt::format("{}: the generation cannot be read (not a database, or locked)", database));
  }
  return generation;
}

}  // namespace

int RunWatch(const WatchOptions& options) {
  RequireSqliteFile(options.database, "watch",
                    "the generation and the audit trail are kept by triggers of an SQLite file");
  unsigned long long seen = Generation(options.database);
  if (options.once) {
    std::printf("%llu\n", seen);
    return 0;
  }
  std::printf("%s",
              fmt::format("{}  {}  generation {}\n", UtcNow(), options.database, seen).c_str());
  std::fflush(stdout);
  const auto pause = std::chrono::milliseconds(static_cast<long long>(options.interval * 1000));
  for (;;) {
    std::this_thread::sleep_for(pause);
    unsigned long long now = 0;
    if (ZemaConfigGeneration(options.database.c_str(), &now) != 1) continue;  // busy: next time
    if (now == seen) continue;
    seen = now;
    std::printf(
        "%s",
        fmt::format("{}  {}  generation {} (changed)\n", UtcNow(), options.database, now).c_str());
    std::fflush(stdout);
  }
}
