// Audit functions on every connection, and the refusal of an AuditLog with other columns.
#include "platform/ado/audit.h"

#include <errno.h>
#include <pwd.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string_view>
#include <vector>

namespace platform {
namespace ado {

const char* const kAuditLogColumns[] = {"AuditID", "Time",      "OsUser",    "Host",
                                        "Program", "Operation", "TableName", "TagID",
                                        "TagName", "Before",    "After"};
const int kAuditLogColumnCount = sizeof(kAuditLogColumns) / sizeof(kAuditLogColumns[0]);

namespace {

// Who this process is, read once: the names do not change while it runs.
struct Identity {
  std::string user;
  std::string host;
  std::string program;
};

const Identity& ProcessIdentity() {
  static const Identity identity = [] {
    Identity found;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* result = nullptr;
    if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result) == 0 &&
        result != nullptr && result->pw_name != nullptr)
      found.user = result->pw_name;
    if (found.user.empty()) found.user = "uid " + std::to_string(geteuid());
    char host[256] = {};
    if (gethostname(host, sizeof(host) - 1) == 0) found.host = host;
    found.program = program_invocation_short_name != nullptr ? program_invocation_short_name : "";
    return found;
  }();
  return identity;
}

void AnswerUser(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().user.c_str(), -1, SQLITE_STATIC);
}
void AnswerHost(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().host.c_str(), -1, SQLITE_STATIC);
}
void AnswerProgram(sqlite3_context* context, int, sqlite3_value**) {
  sqlite3_result_text(context, ProcessIdentity().program.c_str(), -1, SQLITE_STATIC);
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return sqlite3_strnicmp(a.data(), b.data(), static_cast<int>(a.size())) == 0 &&
         a.size() == b.size();
}

}  // namespace

bool PrepareAuditConnection(sqlite3* db, bool readOnly, std::string* error) {
  // Innocuous: they may run from triggers even where the schema is not trusted.
  const int flags = SQLITE_UTF8 | SQLITE_INNOCUOUS;
  sqlite3_create_function(db, "zema_audit_user", 0, flags, nullptr, AnswerUser, nullptr, nullptr);
  sqlite3_create_function(db, "zema_audit_host", 0, flags, nullptr, AnswerHost, nullptr, nullptr);
  sqlite3_create_function(db, "zema_audit_program", 0, flags, nullptr, AnswerProgram, nullptr,
                          nullptr);
  if (readOnly) return true;
  // Looks at the schema SQLite already holds; only a database with the table runs a statement.
  if (sqlite3_table_column_metadata(db, "main", "AuditLog", nullptr, nullptr, nullptr, nullptr,
                                    nullptr, nullptr) != SQLITE_OK)
    return true;
  std::vector<std::string> columns;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('AuditLog')", -1, &statement,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* name = sqlite3_column_text(statement, 0);
      columns.emplace_back(name != nullptr ? reinterpret_cast<const char*>(name) : "");
    }
  }
  sqlite3_finalize(statement);
  bool same = columns.size() == static_cast<size_t>(kAuditLogColumnCount);
  for (size_t i = 0; same && i < columns.size(); ++i)
    same = EqualNoCase(columns[i], kAuditLogColumns[i]);
  if (same) return true;
  std::string expected;
  for (int i = 0; i < kAuditLogColumnCount; ++i)
    expected += std::string(i == 0 ? "" : ", ") + kAuditLogColumns[i];
  std::string found;
  for (size_t i = 0; i < columns.size(); ++i) found += (i == 0 ? "" : ", ") + columns[i];
  *error = "The audit trail table AuditLog has the wrong columns (" + found + "; expected " +
           expected + "): nothing is written to this database until it is repaired.";
  return false;
}

}  // namespace ado
}  // namespace platform
