// Knowing what changed, against the work it saves: the diff of two plants (1% of the tags
// changed) against one Load of one plant, SaveTags with the audit trail against SaveTags
// without, and reading the generation against a Load of the plant. Each benchmark measures one
// call per iteration, except the generation reads (many calls, their mean); repetitions and
// random interleaving come from Google Benchmark's flags.
//
// Changes/save_floor is SaveTags into a trail whose triggers write constants: what any trail
// that adds a row to each of SaveTags' commits costs at the least. The *_batch pair saves the
// same tags in one batch, with the trail and without.
//
//   zema_bench_changes --data=DIR --tags=N --types=T [--saves=N] [benchmark flags]
//
// DIR holds plant-N.db, empty.db and nls/ as zema_bench_gen writes them.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "PlantDiff.h"
#include "PlantFiles.h"
#include "PlantModel.h"
#include "Sqlite.h"
#include "TagRecords.h"
#include "Tracking.h"
#include "ZEMABatch.h"
#include "ZEMAGeneration.h"
#include "ZEMATagAcs.h"
#include "platform/sql/quote.h"

namespace {

struct Setup {
  std::string data;
  int tags = bench::kDefaultTags;
  int types = bench::kDefaultTypes;
  int saves = 10000;
  std::string Plant() const { return data + "/plant-" + std::to_string(tags) + ".db"; }
  // The plant with every hundredth tag changed: its description, a value and a display unit.
  std::string Changed() const { return data + "/changes-" + std::to_string(tags) + ".db"; }
  // The plant with the generation counter and its triggers.
  std::string Counted() const { return data + "/counted-" + std::to_string(tags) + ".db"; }
  std::string Cold(int i) const { return data + "/counted-link-" + std::to_string(i) + ".db"; }
  std::string Empty() const { return data + "/empty.db"; }
  std::string Work() const { return data + "/changes-work.db"; }
  std::string Nls() const { return data + "/nls"; }
};

Setup setup;
constexpr int kColdPaths = 17;  // one more than the reader keeps open

void Prepare() {
  bench::CopyDatabase(setup.Plant(), setup.Changed());
  {
    bench::SqliteDb db(setup.Changed(), SQLITE_OPEN_READWRITE);
    db.Exec(
        "UPDATE Tags SET TagDesc = TagDesc || ' (changed)' WHERE TagID % 100 = 0;"
        "UPDATE HMIInfo SET EU = 'chg' WHERE TagID % 100 = 0;");
    std::string field;
    for (const bench::FieldSpec& spec : bench::Fields())
      if (field.empty() && spec.type == bench::FieldType::Double) field = spec.name;
    for (int id = 1; id <= setup.types; ++id)
      db.Exec("UPDATE " + bench::QuoteIdentifier(bench::TypeName(id)) + " SET " +
              bench::QuoteIdentifier(field) + " = " + bench::QuoteIdentifier(field) +
              " + 1 WHERE TagID % 100 = 0");
    db.Exec("PRAGMA wal_checkpoint(TRUNCATE)");
  }
  bench::CopyDatabase(setup.Plant(), setup.Counted());
  {
    tracking::CTrackedDb db = tracking::CTrackedDb::Open(setup.Counted(), true);
    db.Execute("BEGIN IMMEDIATE");
    tracking::InstallGeneration(db);
    db.Execute("COMMIT");
  }
  for (int i = 0; i < kColdPaths; ++i) {
    unlink(setup.Cold(i).c_str());
    if (link(setup.Counted().c_str(), setup.Cold(i).c_str()) != 0)
      throw std::runtime_error("cannot link " + setup.Cold(i));
  }
}

void Diff(benchmark::State& state) {
  size_t changed = 0;
  try {
    for (auto _ : state) {
      // As `zematag diff` reads two files.
      CPlantSnapshot from, to;
      CSqlitePlantReader fromReader(setup.Plant()), toReader(setup.Changed());
      ReadSideBySide(fromReader, toReader, &from, &to);
      changed = DiffPlants(from, to).changed;
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
    return;
  }
  state.counters["changed"] = static_cast<double>(changed);
  if (changed != static_cast<size_t>(setup.tags / 100))
    state.SkipWithError(("the diff found " + std::to_string(changed) + " changed tags").c_str());
}

void LoadPlant(benchmark::State& state) {
  setenv("HVK_NLS_DIR", setup.Nls().c_str(), 1);
  CZEMATagAcs::Release();
  int result = 0;
  for (auto _ : state) result = CZEMATagAcs::Instance()->Load(setup.Plant().c_str());
  if (result != 1 || CZEMATagAcs::Instance()->GetTagCount() != setup.tags)
    state.SkipWithError("Load failed");
  CZEMATagAcs::Release();
}

enum class Trail { kNone, kAudit, kConstants };

// Replaces the audit triggers of the tracked tables by triggers that add a row of constants to
// the trail, so that only the row itself and its page in each commit are left to pay for.
void WriteConstantsToTrail(tracking::CTrackedDb& db) {
  std::vector<std::string> triggers;
  db.Query(
      "SELECT name FROM sqlite_master WHERE type = 'trigger' AND sql LIKE '%INSERT INTO "
      "\"AuditLog\"%'",
      [&](sqlite3_stmt* row) {
        triggers.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(row, 0)));
      });
  if (triggers.empty()) throw std::runtime_error("no audit trigger to replace");
  std::string sql;
  for (const std::string& trigger : triggers)
    sql += "DROP TRIGGER " + platform::sql::QuoteName(trigger) + ";\n";
  for (const std::string& table : tracking::TrackedTables(db)) {
    bool hasTagId = false;
    for (const auto& column : db.Columns(table)) hasTagId = hasTagId || column.first == "TagID";
    sql += "CREATE TRIGGER " + platform::sql::QuoteName("constants " + table) +
           " AFTER INSERT ON " + platform::sql::QuoteName(table) +
           " BEGIN INSERT INTO AuditLog (Time, OsUser, Host, Program, Operation, TableName, "
           "TagID, TagName, Before, After) VALUES ('2026-01-01T00:00:00.000Z', 'user', 'host', "
           "'program', 'insert', 'table', " +
           std::string(hasTagId ? "NEW.TagID" : "NULL") + ", NULL, NULL, NULL); END;\n";
  }
  db.Execute(sql);
}

void Save(benchmark::State& state, Trail trail, bool batch) {
  static const bench::TagRecords records(setup.saves, setup.types);
  CZEMAConfigAcs* writer = nullptr;
  const bool audit = trail != Trail::kNone;
  try {
    bench::CopyDatabase(setup.Empty(), setup.Work());
    if (audit) {
      tracking::CTrackedDb db = tracking::CTrackedDb::Open(setup.Work(), true);
      db.Execute("BEGIN IMMEDIATE");
      tracking::InstallAudit(db);
      if (trail == Trail::kConstants) WriteConstantsToTrail(db);
      db.Execute("COMMIT");
    }
    writer = CZEMAConfigAcs::Open(setup.Work().c_str());
    for (auto _ : state) {
      if (batch && ZemaBeginBatch(writer) != 1) throw std::runtime_error("no batch");
      writer->SaveTags(records.Records(), records.Count());
      if (batch && ZemaCommitBatch(writer) != 1) throw std::runtime_error("the batch failed");
    }
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  } catch (...) {
    state.SkipWithError("Open or SaveTags threw");
  }
  if (writer != nullptr) writer->Close();
  if (state.error_occurred()) return;
  bench::SqliteDb db(setup.Work(), SQLITE_OPEN_READONLY);
  state.counters["tags_after"] = static_cast<double>(db.QueryInt("SELECT count(*) FROM Tags"));
  if (audit)
    state.counters["audit_rows"] =
        static_cast<double>(db.QueryInt("SELECT count(*) FROM AuditLog"));
}

void Generation(benchmark::State& state, bool cold) {
  unsigned long long generation = 0;
  int failures = 0, next = 0;
  for (auto _ : state) {
    const std::string& path = cold ? setup.Cold(next++ % kColdPaths) : setup.Counted();
    if (ZemaConfigGeneration(path.c_str(), &generation) != 1) ++failures;
  }
  if (failures != 0) state.SkipWithError("ZemaConfigGeneration failed");
}

}  // namespace

int main(int argc, char** argv) {
  bench::BenchOptions options(&argc, argv, {"data", "tags", "types", "saves"});
  setup.data = options.Text("data", ".");
  setup.tags = options.Int("tags", bench::kDefaultTags);
  setup.types = options.Int("types", bench::kDefaultTypes);
  setup.saves = options.Int("saves", 10000);
  try {
    Prepare();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zema_bench_changes: %s\n", error.what());
    return 1;
  }
  const auto once = [](benchmark::internal::Benchmark* b) {
    b->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
  };
  once(benchmark::RegisterBenchmark("Changes/diff", Diff));
  once(benchmark::RegisterBenchmark("Changes/load", LoadPlant));
  once(benchmark::RegisterBenchmark("Changes/save_audit", Save, Trail::kAudit, false));
  once(benchmark::RegisterBenchmark("Changes/save_floor", Save, Trail::kConstants, false));
  once(benchmark::RegisterBenchmark("Changes/save_plain", Save, Trail::kNone, false));
  once(benchmark::RegisterBenchmark("Changes/save_audit_batch", Save, Trail::kAudit, true));
  once(benchmark::RegisterBenchmark("Changes/save_plain_batch", Save, Trail::kNone, true));
  benchmark::RegisterBenchmark("Changes/generation", Generation, false)
      ->Iterations(2000)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Changes/generation_cold", Generation, true)
      ->Iterations(200)
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bench::RemoveDatabase(setup.Work());
  return 0;
}
