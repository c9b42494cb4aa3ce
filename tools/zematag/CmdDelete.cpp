// zematag delete: tags by name, through CZEMAConfigAcs::DeleteTags.
#include <fmt/format.h>

#include "Catalogue.h"
#include "Commands.h"
#include "ToolError.h"
#include "Writer.h"

int RunDelete(const std::string& database, const std::vector<std::string>& names) {
  int status = 0;
  std::vector<const char*> present;
  {
    CCatalogue catalogue(database);
    for (const std::string& name : names) {
      if (catalogue.Find(name).tag != nullptr) {
        present.push_back(name.c_str());
      } else {
        ReportError(fmt::format("{}: no tag named {}", database, name));
        status = 1;
      }
    }
  }
  if (present.empty()) return status;
  {
    CWriter writer(database);
    writer->DeleteTags(present.data(), static_cast<int>(present.size()));
  }
  // The writer's result speaks only for the last name: read the catalogue again to be sure.
  CCatalogue after(database);
  int deleted = 0;
  for (const char* name : present) {
    if (after.Find(name).tag != nullptr) {
      ReportError(fmt::format("{}: tag {} was not deleted", database, name));
      status = 1;
    } else {
      ++deleted;
    }
  }
  fmt::print("deleted {} tag(s) from {}\n", deleted, database);
  return status;
}
