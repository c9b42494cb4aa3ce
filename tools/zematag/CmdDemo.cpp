// zematag demo: builds the example plant (database and language directory) and shows it.
#include <fmt/format.h>

#include <cstdlib>
#include <filesystem>

#include "Catalogue.h"
#include "Commands.h"
#include "FbLib.h"
#include "ToolError.h"

namespace fs = std::filesystem;

namespace {

// How many tags the demo shows in full.
constexpr size_t kShownTags = 3;

std::string FindExample(const std::string& given) {
  std::vector<std::string> candidates;
  if (!given.empty()) candidates.push_back(given);
  candidates.push_back(ZEMATAG_SOURCE_EXAMPLE_DIR);
  candidates.push_back(ZEMATAG_INSTALLED_EXAMPLE_DIR);
  std::error_code error;
  for (const std::string& candidate : candidates) {
    if (fs::is_regular_file(fs::path(candidate) / "types.ini", error) &&
        fs::is_regular_file(fs::path(candidate) / "tags.csv", error))
      return candidate;
    if (candidate == given)
      throw ToolError(fmt::format("{}: not an example plant (types.ini, tags.csv, nls/)", given));
  }
  throw ToolError("the example plant was not found; name its folder with --example DIR");
}

}  // namespace

int RunDemo(const std::string& dir, const std::string& exampleDir) {
  const fs::path example = FindExample(exampleDir);
  const fs::path target = dir.empty() ? fs::path("demo-plant") : fs::path(dir);
  const fs::path nls = target / "nls";
  const fs::path database = target / "plant.db";
  std::error_code error;
  fs::create_directories(target, error);
  if (error) throw ToolError(fmt::format("{}: {}", target.string(), error.message()));
  fs::remove_all(nls, error);
  fs::copy(example / "nls", nls, fs::copy_options::recursive, error);
  if (error) throw ToolError(fmt::format("{}: {}", nls.string(), error.message()));
  setenv("HVK_NLS_DIR", nls.c_str(), 1);

  fmt::print("Building the example plant from {}\n", example.string());
  InitOptions init;
  init.database = database.string();
  init.typesFile = (example / "types.ini").string();
  init.force = true;
  RunInit(init);
  ImportOptions import;
  import.database = database.string();
  import.files = {(example / "tags.csv").string()};
  if (RunImport(import) != 0) throw ToolError("the example tags did not import cleanly");

  const std::vector<FbModule> modules = ReadFbLibCatalogue(nls.string());
  CCatalogue catalogue(database.string());
  fmt::print("\nThe example plant\n");
  fmt::print("  database            {}\n", database.string());
  fmt::print("  language directory  {} ({} function blocks in FBLib/FBLib.xml)\n\n", nls.string(),
             modules.size());

  fmt::print("  {:>4}  {:<16}  {:>7}  {:>6}  {:>7}  {:>6}  {:>5}\n", "id", "type", "lib/mod",
             "inputs", "outputs", "others", "tags");
  std::vector<TagView> firsts;  // the first tag of each type that has tags
  size_t total = 0;
  for (const TypeDef& type : catalogue.Types()) {
    const std::vector<TagView> tags = catalogue.Tags(type.id);
    int counts[4] = {0, 0, 0, 0};
    if (!tags.empty()) {
      for (const FieldValue& field : ReadFields(tags.front().tag))
        ++counts[field.kind >= 0 && field.kind <= 3 ? field.kind : 0];
      firsts.push_back(tags.front());
    }
    total += tags.size();
    fmt::print("  {:>4}  {:<16}  {:>7}  {:>6}  {:>7}  {:>6}  {:>5}\n", type.id, type.name,
               fmt::format("{}/{}", type.libId, type.moduleId), counts[ZEMA_KIND_INPUT],
               counts[ZEMA_KIND_OUTPUT], counts[ZEMA_KIND_NONE], tags.size());
  }
  fmt::print("  {:>4}  {:<16}  {:>7}  {:>6}  {:>7}  {:>6}  {:>5}\n\n", "", "all types", "", "", "",
             "", total);

  // The first type's first tag and those of the last types, which show the most column types.
  std::vector<TagView> samples;
  if (!firsts.empty()) samples.push_back(firsts.front());
  const size_t from = firsts.size() >= kShownTags ? firsts.size() - (kShownTags - 1) : 1;
  for (size_t i = from; i < firsts.size(); ++i) samples.push_back(firsts[i]);
  fmt::print("A few tags, with their inputs, outputs and display information:\n\n");
  for (const TagView& view : samples) {
    PrintTag(view);
    fmt::print("\n");
  }
  const std::string db = database.string();
  std::string tool = "zematag";
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (!error) {
    tool = fs::relative(self, error).string();
    if (error || tool.rfind("..", 0) == 0) tool = self.string();
  }
  if (error || tool.empty()) tool = "zematag";
  fmt::print("Try next:\n");
  fmt::print("  {} list {} --type Motor\n", tool, db);
  fmt::print("  {} --nls {} show {} {}\n", tool, nls.string(), db,
             samples.empty() ? "TAG" : samples.back().tag->GetName());
  fmt::print("  {} export {} --format json\n", tool, db);
  fmt::print("  {} check {}\n", tool, db);
  return 0;
}
