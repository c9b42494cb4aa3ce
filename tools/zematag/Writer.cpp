#include "Writer.h"

#include <fmt/format.h>

#include "Report.h"
#include "ServerDb.h"
#include "ToolError.h"
#include "Tracking.h"

CWriter::CWriter(const std::string& path) {
  CheckDatabaseFile(path);
  const auto failed = [&] {
    const std::string why = LibraryFailureText();
    return ToolError(
        fmt::format("{}: {}", Shown(path), why.empty() ? "does not open as a tag database" : why));
  };
  try {
    writer = CZEMAConfigAcs::Open(path.c_str());
  } catch (int) {
    if (!IsServerUri(path)) tracking::ExplainRefusedWriter(path);
    throw failed();
  }
  if (writer == nullptr) throw failed();
}
