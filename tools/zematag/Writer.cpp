#include "Writer.h"

#include <fmt/format.h>

#include <filesystem>

#include "ToolError.h"
#include "Tracking.h"

CWriter::CWriter(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error))
    throw ToolError(fmt::format("{}: no such database file", path));
  try {
    writer = CZEMAConfigAcs::Open(path.c_str());
  } catch (int) {
    tracking::ExplainRefusedWriter(path);
    throw ToolError(fmt::format("{}: does not open as a tag database", path));
  }
  if (writer == nullptr) throw ToolError(fmt::format("{}: does not open as a tag database", path));
}
