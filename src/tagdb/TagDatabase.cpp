// Opening and closing tag database files, and the formatting of statements.
#include "tagdb/TagDatabase.h"

#include <stdarg.h>
#include <stdio.h>

#include <memory>

#include "tagdb/TagDbNames.h"

namespace {

// The connection on path in the given mode, or null when the file does not open. A failure to
// set the mode passes on as a PlatformError; either way nothing is left behind.
CADODataBase* OpenWithMode(const char* path, LONG mode) {
  const std::string connectionString =
      tagdb::FormatStatement(tagdb::kConnectionTemplate, path != nullptr ? path : "");
  std::unique_ptr<CADODataBase> database(new CADODataBase);
  database->SetConnectionMode(mode);
  database->SetConnectionString(connectionString.c_str());
  if (!database->OpenConnection("", "", "")) return nullptr;
  return database.release();
}

}  // namespace

CADODataBase* OpenTagDatabase(const char* path) { return OpenWithMode(path, adModeWrite); }

CADODataBase* OpenTagDatabaseReadOnly(const char* path) { return OpenWithMode(path, adModeRead); }

void CloseTagDatabase(CADODataBase* database) {
  std::unique_ptr<CADODataBase> owned(database);  // destroyed even when the close fails
  if (owned) owned->CloseConnection();
}

namespace tagdb {

void DatabaseCloser::operator()(CADODataBase* database) const {
  try {
    CloseTagDatabase(database);
  } catch (const PlatformError&) {
  }
}

std::unique_ptr<CADORecordset> OpenTable(CADODataBase& database, const char* table) {
  auto recordset = std::make_unique<CADORecordset>(&database);
  if (!recordset->OpenRecordset(table, SourceTable)) return nullptr;
  return recordset;
}

std::string FormatStatement(const char* templateText, ...) {
  if (templateText == nullptr) return std::string();
  va_list arguments;
  va_start(arguments, templateText);
  va_list retry;
  va_copy(retry, arguments);
  // Statements fit the buffer on the stack; a longer one is formatted again at its length.
  char buffer[512];
  const int length = vsnprintf(buffer, sizeof buffer, templateText, arguments);
  std::string statement;
  if (length > 0 && static_cast<size_t>(length) < sizeof buffer) {
    statement.assign(buffer, static_cast<size_t>(length));
  } else if (length > 0) {
    statement.resize(static_cast<size_t>(length) + 1);
    vsnprintf(&statement[0], statement.size(), templateText, retry);
    statement.resize(static_cast<size_t>(length));
  }
  va_end(retry);
  va_end(arguments);
  return statement;
}

std::string QuoteSqlText(const char* text) {
  std::string quoted;
  if (text == nullptr) return quoted;
  for (const char* c = text; *c != '\0'; ++c) {
    quoted.push_back(*c);
    if (*c == '\'') quoted.push_back('\'');
  }
  return quoted;
}

}  // namespace tagdb
