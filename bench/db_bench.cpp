// The database side of the library against plain SQLite doing the same work: Load against a
// plain read of every row and column, SaveTags against prepared inserts, DeleteTags against
// prepared deletes. Each benchmark measures one call (one iteration); repetitions and random
// interleaving come from Google Benchmark's flags, so that ours and the baseline alternate.
//
//   zema_bench_db --data=DIR --tags=N --types=T --deletes=D1,D2 [benchmark flags]
//
// DIR holds plant-N.db, empty.db, nls/ and nls-empty/ as zema_bench_gen writes them.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchOptions.h"
#include "PlainSqlite.h"
#include "PlantFiles.h"
#include "PlantModel.h"
#include "Sqlite.h"
#include "TagRecords.h"
#include "ZEMABatch.h"
#include "ZEMATagAcs.h"

namespace {

struct Setup {
  std::string data;
  int tags = bench::kDefaultTags;
  int types = bench::kDefaultTypes;

  std::string Plant() const { return data + "/plant-" + std::to_string(tags) + ".db"; }
  std::string Empty() const { return data + "/empty.db"; }
  std::string Work() const { return data + "/work.db"; }
  std::string Nls() const { return data + "/nls"; }
  std::string NlsEmpty() const { return data + "/nls-empty"; }
};

Setup setup;

long long CountRows(const std::string& path, const std::string& table) {
  bench::SqliteDb db(path, SQLITE_OPEN_READONLY);
  return db.QueryInt("SELECT count(*) FROM " + bench::QuoteIdentifier(table));
}

// What a caught exception says, for SkipWithError.
std::string Describe(const std::exception& error) { return error.what(); }

void LoadOurs(benchmark::State& state, bool withCatalogue) {
  setenv("HVK_NLS_DIR", (withCatalogue ? setup.Nls() : setup.NlsEmpty()).c_str(), 1);
  CZEMATagAcs::Release();
  CZEMATagAcs* catalogue = CZEMATagAcs::Instance();
  int result = 0;
  try {
    for (auto _ : state) result = catalogue->Load(setup.Plant().c_str());
  } catch (const std::exception& error) {
    state.SkipWithError(("Load threw: " + Describe(error)).c_str());
  } catch (...) {
    state.SkipWithError("Load threw");
  }
  const int count = catalogue->GetTagCount();
  if (result != 1 || count != setup.tags) {
    const std::string message =
        "Load returned " + std::to_string(result) + " with " + std::to_string(count) + " tags";
    state.SkipWithError(message.c_str());
  }
  // How many inputs the first tag reports: the catalogue's kinds reached the tags.
  CZEMATag* first = nullptr;
  int delivered = 0;
  catalogue->GetTags(0, 1, &delivered, &first);
  if (delivered == 1) {
    std::vector<TagFieldValue> fields(bench::Fields().size() + 1);
    for (TagFieldValue& field : fields) VariantInit(&field.value);
    int inputs = 0;
    first->GetFields(ZEMA_KIND_INPUT, static_cast<int>(fields.size()), &inputs, fields.data());
    for (TagFieldValue& field : fields) VariantClear(&field.value);
    state.counters["inputs"] = inputs;
  }
  state.counters["tags"] = count;
  CZEMATagAcs::Release();
}

void LoadPlain(benchmark::State& state) {
  bench::PlainCatalogue catalogue;
  try {
    for (auto _ : state) catalogue.Read(setup.Plant());
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
    return;
  }
  state.counters["tags"] = static_cast<double>(catalogue.Rows("Tags"));
}

const bench::TagRecords& Records() {
  static const auto records = std::make_unique<bench::TagRecords>(setup.tags, setup.types);
  return *records;
}

const std::vector<bench::PlainTagRow>& PlainRows() {
  static const auto rows = std::make_unique<std::vector<bench::PlainTagRow>>(
      bench::MakePlainTagRows(setup.tags, setup.types));
  return *rows;
}

void CheckTagCount(benchmark::State& state, long long expected) {
  const long long stored = CountRows(setup.Work(), "Tags");
  state.counters["tags_after"] = static_cast<double>(stored);
  if (stored != expected) {
    const std::string message =
        std::to_string(stored) + " tags stored, " + std::to_string(expected) + " expected";
    state.SkipWithError(message.c_str());
  }
}

void SaveOurs(benchmark::State& state) {
  const bench::TagRecords& records = Records();
  CZEMAConfigAcs* writer = nullptr;
  try {
    bench::CopyDatabase(setup.Empty(), setup.Work());
    writer = CZEMAConfigAcs::Open(setup.Work().c_str());
    for (auto _ : state) writer->SaveTags(records.Records(), records.Count());
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
  } catch (...) {
    state.SkipWithError("Open or SaveTags threw");
  }
  if (writer != nullptr) writer->Close();
  if (!state.error_occurred()) CheckTagCount(state, records.Count());
}

void SavePlain(benchmark::State& state) {
  const std::vector<bench::PlainTagRow>& rows = PlainRows();
  try {
    bench::CopyDatabase(setup.Empty(), setup.Work());
    bench::PlainWriter writer(setup.Work());
    for (auto _ : state) writer.Insert(rows);
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
    return;
  }
  CheckTagCount(state, static_cast<long long>(rows.size()));
}

// SaveTags of every record inside one batch, against the same inserts in one transaction.
void SaveBatchOurs(benchmark::State& state) {
  const bench::TagRecords& records = Records();
  CZEMAConfigAcs* writer = nullptr;
  try {
    bench::CopyDatabase(setup.Empty(), setup.Work());
    writer = CZEMAConfigAcs::Open(setup.Work().c_str());
    for (auto _ : state) {
      if (ZemaBeginBatch(writer) != 1) throw std::runtime_error("ZemaBeginBatch failed");
      writer->SaveTags(records.Records(), records.Count());
      if (ZemaCommitBatch(writer) != 1) throw std::runtime_error("ZemaCommitBatch failed");
    }
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
  } catch (...) {
    state.SkipWithError("Open or SaveTags threw");
  }
  if (writer != nullptr) writer->Close();
  if (!state.error_occurred()) CheckTagCount(state, records.Count());
}

void SaveBatchPlain(benchmark::State& state) {
  const std::vector<bench::PlainTagRow>& rows = PlainRows();
  try {
    bench::CopyDatabase(setup.Empty(), setup.Work());
    bench::PlainWriter writer(setup.Work());
    for (auto _ : state) writer.InsertInOneTransaction(rows);
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
    return;
  }
  CheckTagCount(state, static_cast<long long>(rows.size()));
}

void DeleteOurs(benchmark::State& state, int count) {
  const std::vector<std::string> names = bench::SpreadTagNames(setup.tags, count);
  std::vector<const char*> pointers;
  for (const std::string& name : names) pointers.push_back(name.c_str());
  CZEMAConfigAcs* writer = nullptr;
  try {
    bench::CopyDatabase(setup.Plant(), setup.Work());
    writer = CZEMAConfigAcs::Open(setup.Work().c_str());
    for (auto _ : state) writer->DeleteTags(pointers.data(), static_cast<int>(pointers.size()));
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
  } catch (...) {
    state.SkipWithError("Open or DeleteTags threw");
  }
  if (writer != nullptr) writer->Close();
  state.counters["deleted"] = count;
  if (!state.error_occurred()) CheckTagCount(state, setup.tags - count);
}

void DeletePlain(benchmark::State& state, int count) {
  const std::vector<std::string> names = bench::SpreadTagNames(setup.tags, count);
  try {
    bench::CopyDatabase(setup.Plant(), setup.Work());
    bench::PlainWriter writer(setup.Work());
    for (auto _ : state) writer.Delete(names);
  } catch (const std::exception& error) {
    state.SkipWithError(Describe(error).c_str());
    return;
  }
  state.counters["deleted"] = count;
  CheckTagCount(state, setup.tags - count);
}

void Register(benchmark::internal::Benchmark* benchmark) {
  benchmark->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);
}

std::vector<int> ParseCounts(const std::string& text) {
  std::vector<int> counts;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ','))
    if (!item.empty()) counts.push_back(std::stoi(item));
  return counts;
}

}  // namespace

int main(int argc, char** argv) {
  bench::BenchOptions options(&argc, argv, {"data", "tags", "types", "deletes"});
  setup.data = options.Text("data", ".");
  setup.tags = options.Int("tags", bench::kDefaultTags);
  setup.types = options.Int("types", bench::kDefaultTypes);
  std::vector<int> deletes = ParseCounts(options.Text("deletes"));
  if (deletes.empty()) deletes = {setup.tags / 10, setup.tags / 5};

  Register(benchmark::RegisterBenchmark("Load/ours", LoadOurs, true));
  Register(benchmark::RegisterBenchmark("Load/ours_no_catalogue", LoadOurs, false));
  Register(benchmark::RegisterBenchmark("Load/plain_sqlite", LoadPlain));
  Register(benchmark::RegisterBenchmark("SaveTags/ours", SaveOurs));
  Register(benchmark::RegisterBenchmark("SaveTags/plain_sqlite", SavePlain));
  Register(benchmark::RegisterBenchmark("SaveTagsBatch/ours", SaveBatchOurs));
  Register(benchmark::RegisterBenchmark("SaveTagsBatch/plain_sqlite", SaveBatchPlain));
  for (int count : deletes) {
    const std::string suffix = "/" + std::to_string(count);
    Register(benchmark::RegisterBenchmark(("DeleteTags/ours" + suffix).c_str(), DeleteOurs, count));
    Register(benchmark::RegisterBenchmark(("DeleteTags/plain_sqlite" + suffix).c_str(), DeletePlain,
                                          count));
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  bench::RemoveDatabase(setup.Work());
  return 0;
}
