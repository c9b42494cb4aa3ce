#include "Report.h"

#include <fmt/format.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ServerDb.h"
#include "ToolError.h"
#include "ZEMABatch.h"
#include "halvkit.h"
#include "platform/ado/jet/jet_reader.h"

// Every message is masked: no password given in a URI ever reaches the terminal or a log.
void ReportError(const std::string& message) {
  fmt::print(stderr, "zematag: {}\n", MaskPasswords(message));
}

void RequireFile(const std::string& database, const std::string& command, const std::string& why) {
  if (IsServerUri(database))
    throw ToolError(fmt::format("{} needs an SQLite file: {} is a PostgreSQL database ({})",
                                command, Shown(database), why));
}

void RequireSqliteFile(const std::string& database, const std::string& command,
                       const std::string& why) {
  RequireFile(database, command, why);
  if (platform::ado::jet::IsJetFile(database))
    throw ToolError(fmt::format(
        "{} needs an SQLite file: {} is a Jet or ACE file, which opens read-only (make an SQLite "
        "file of it with zematag convert first)",
        command, database));
}

sqlite3* ReadJetIntoMemory(const std::string& path, const JetReadProgress& progress) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close(db);
    throw ToolError(fmt::format("{}: out of memory", path));
  }
  std::string error;
  if (!platform::ado::jet::ReadJetFile(path, db, &error, progress)) {
    sqlite3_close(db);
    throw ToolError(error);
  }
  return db;
}

std::string NlsDir() { return hvk_GetNlsDir(); }

void CheckDatabaseFile(const std::string& path) {
  if (IsServerUri(path)) return;
  namespace fs = std::filesystem;
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (error) {
    if (error.value() == ELOOP)
      throw ToolError(
          fmt::format("{}: symbolic link loop (too many levels of symbolic links)", path));
    if (error.value() == ENOENT || error.value() == ENOTDIR)
      throw ToolError(fmt::format("{}: no such database file", path));
    throw ToolError(fmt::format("{}: {}", path, error.message()));
  }
  if (status.type() == fs::file_type::not_found)
    throw ToolError(fmt::format("{}: no such database file", path));
  if (status.type() == fs::file_type::directory)
    throw ToolError(fmt::format("{}: is a directory, not a database file", path));
  if (status.type() != fs::file_type::regular)
    throw ToolError(fmt::format("{}: not a regular file", path));
}

std::string SqliteFailureText(int code, const std::string& message) {
  switch (code & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "the database is locked by another program";
    case SQLITE_READONLY:
      return "the database is read-only (" + message + ")";
    case SQLITE_FULL:
      return "disk full";
    case SQLITE_CORRUPT:
      return "the database file is damaged (" + message + ")";
    case SQLITE_NOTADB:
      return "not a tag database (not an SQLite database file)";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "permission denied (" + message + ")";
    case SQLITE_IOERR:
      return "input/output error (" + message + ")";
    default:
      return message;
  }
}

bool IsFatalLibraryFailure(int kind) {
  return kind == ZEMA_ERR_LOCKED || kind == ZEMA_ERR_READONLY || kind == ZEMA_ERR_DISK_FULL ||
         kind == ZEMA_ERR_CORRUPT || kind == ZEMA_ERR_NOT_FOUND;
}

std::string LibraryFailureText(int* kind) {
  char text[512] = {};
  const int found = ZemaLastError(text, sizeof text);
  if (kind != nullptr) *kind = found;
  std::string detail = text;
  while (!detail.empty() && (detail.back() == '.' || detail.back() == '\n')) detail.pop_back();
  // The library's text is "Its own sentence (the engine's words)": for a kind the tool names
  // itself, the engine's words are the detail worth adding.
  const size_t open = detail.find(" (");
  if (open != std::string::npos && !detail.empty() && detail.back() == ')')
    detail = detail.substr(open + 2, detail.size() - open - 3);
  const auto with = [&](const char* words) {
    return detail.empty() ? std::string(words) : fmt::format("{} ({})", words, detail);
  };
  switch (found) {
    case ZEMA_ERR_NONE:
      return "";
    case ZEMA_ERR_LOCKED:
      return with("the database is locked by another program");
    case ZEMA_ERR_READONLY:
      return with("the database is read-only");
    case ZEMA_ERR_DISK_FULL:
      return with("disk full");
    case ZEMA_ERR_CORRUPT:
      return with("the database file is damaged");
    case ZEMA_ERR_NOT_FOUND:
      return with("no such database file");
    default:
      detail = text;
      while (!detail.empty() && (detail.back() == '.' || detail.back() == '\n')) detail.pop_back();
      return detail.empty() ? "the library gave no reason" : detail;
  }
}
