// zematag delete: tags by name, through CZEMAConfigAcs::DeleteTags, in one batch.
#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "Commands.h"
#include "Report.h"
#include "SchemaStore.h"
#include "ServerDb.h"
#include "ToolError.h"
#include "Writer.h"
#include "ZEMABatch.h"

int RunDelete(const std::string& database, const std::vector<std::string>& names) {
  CSchemaStore reader = CSchemaStore::OpenReadOnly(database);
  CWriter writer(database);
  if (ZemaBeginBatch(writer.Get()) != 1)
    throw ToolError(
        fmt::format("{}: {}; nothing was deleted", Shown(database), LibraryFailureText()));
  bool open = true;
  const auto fail = [&](const std::string& why) {
    if (open) ZemaRollbackBatch(writer.Get());
    open = false;
    return ToolError(fmt::format("{}: {}; nothing was deleted", Shown(database), why));
  };
  // The tags of each name, counted under the write lock (tags without a type included), so that
  // the count below is what this delete removed.
  int status = 0;
  std::map<std::string, size_t> before;
  std::vector<const char*> present;
  for (const std::string& name : names) {
    if (before.count(name) != 0) continue;
    const size_t count = reader.TagIdsNamed(name).size();
    before[name] = count;
    if (count == 0) {
      ReportError(fmt::format("{}: no tag named {}", Shown(database), name));
      status = 1;
    } else {
      // DeleteTags removes one tag per name it is given: a name that several tags share is
      // given once for each.
      present.insert(present.end(), count, name.c_str());
    }
  }
  if (!present.empty()) {
    int kind = ZEMA_ERR_NONE;
    try {
      writer->DeleteTags(present.data(), static_cast<int>(present.size()));
    } catch (const PlatformError& e) {
      const std::string why = LibraryFailureText(&kind);
      throw fail(why.empty() ? fmt::format("the database engine failed: {}", e.what()) : why);
    }
    // Whole tags or nothing: any failure the library noted undoes the batch.
    const std::string why = LibraryFailureText(&kind);
    if (kind != ZEMA_ERR_NONE) throw fail(why);
  }
  open = false;
  if (ZemaCommitBatch(writer.Get()) != 1)
    throw ToolError(
        fmt::format("{}: {}; nothing was deleted", Shown(database), LibraryFailureText()));
  size_t deleted = 0;
  for (const auto& [name, count] : before) {
    if (count == 0) continue;
    const size_t left = reader.TagIdsNamed(name).size();
    deleted += count - std::min(left, count);
    if (left > 0) {
      ReportError(fmt::format("{}: tag {} was not deleted", Shown(database), name));
      status = 1;
    }
  }
  fmt::print("deleted {} tag(s) from {}\n", deleted, Shown(database));
  return status;
}
