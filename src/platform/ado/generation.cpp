// Reading the generation of a tag database (see generation.h).
#include "platform/ado/generation.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/faults/faults.h"

namespace platform {
namespace ado {

namespace {

constexpr size_t kMaxKept = 16;
constexpr int kBusyTimeoutMs = 5000;
constexpr unsigned long long kLocalCount = 1ull << 63;
constexpr char kGenerationSql[] = "SELECT \"Generation\" FROM \"ConfigGeneration\" LIMIT 1";
constexpr char kAuditedGenerationSql[] =
    "SELECT \"Generation\" + ifnull((SELECT max(\"AuditID\") FROM \"AuditLog\"), 0) FROM "
    "\"ConfigGeneration\" LIMIT 1";

// One file looked at before, with the connection kept open on it.
struct Watched {
  std::string path;
  sqlite3* db = nullptr;
  dev_t device = 0;
  ino_t inode = 0;
  bool seen = false;             // dataVersion and value hold a reading
  long long dataVersion = 0;     // PRAGMA data_version at that reading
  unsigned long long value = 0;  // the generation reported then
  unsigned long long local = 0;  // this process's count, for a file without the counter
  unsigned long long lastUse = 0;
};

class WatchedFiles {
 public:
  ~WatchedFiles() { Forget(); }

  bool Read(const char* path, unsigned long long* generation);
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex);
    for (Watched& file : files) sqlite3_close_v2(file.db);
    files.clear();
  }

 private:
  Watched* Find(const std::string& path, const struct stat& status);
  static bool Open(Watched& file);

  std::mutex mutex;
  std::vector<Watched> files;
  unsigned long long uses = 0;
};

enum class QueryResult { kDone, kDoesNotCompile, kFailed };

// The single integer of a statement's first row (*hasRow false when there is none).
QueryResult QueryInteger(sqlite3* db, const char* sql, long long* value, bool* hasRow) {
  *hasRow = false;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(statement);
    // A file that is not a database fails here too, but for the first statement only, which
    // asks for nothing that could be missing.
    return QueryResult::kDoesNotCompile;
  }
  const int rc = sqlite3_step(statement);
  *hasRow = rc == SQLITE_ROW;
  if (*hasRow) *value = sqlite3_column_int64(statement, 0);
  sqlite3_finalize(statement);
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? QueryResult::kDone : QueryResult::kFailed;
}

bool WatchedFiles::Open(Watched& file) {
  if (sqlite3_open_v2(file.path.c_str(), &file.db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    sqlite3_close_v2(file.db);
    file.db = nullptr;
    return false;
  }
  sqlite3_busy_timeout(file.db, kBusyTimeoutMs);
  unsigned long long start = 0;
  sqlite3_randomness(sizeof(start), &start);
  file.local = start | kLocalCount;
  return true;
}

Watched* WatchedFiles::Find(const std::string& path, const struct stat& status) {
  for (Watched& file : files) {
    if (file.path != path) continue;
    if (file.device == status.st_dev && file.inode == status.st_ino) return &file;
    // Another file now has this path: open it afresh, and make sure the number moves.
    const unsigned long long before = file.seen ? file.value : file.local;
    sqlite3_close_v2(file.db);
    file.db = nullptr;
    if (!Open(file)) return nullptr;
    file.device = status.st_dev;
    file.inode = status.st_ino;
    file.seen = false;
    file.local = (before + 1) | kLocalCount;
    return &file;
  }
  if (files.size() >= kMaxKept) {
    size_t oldest = 0;
    for (size_t i = 1; i < files.size(); ++i)
      if (files[i].lastUse < files[oldest].lastUse) oldest = i;
    sqlite3_close_v2(files[oldest].db);
    files.erase(files.begin() + static_cast<std::ptrdiff_t>(oldest));
  }
  Watched file;
  file.path = path;
  file.device = status.st_dev;
  file.inode = status.st_ino;
  if (!Open(file)) return nullptr;
  files.push_back(file);
  return &files.back();
}

bool WatchedFiles::Read(const char* path, unsigned long long* generation) {
  struct stat status {};
  if (stat(path, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  std::lock_guard<std::mutex> lock(mutex);
  Watched* file = Find(path, status);
  if (file == nullptr) return false;
  file->lastUse = ++uses;
  long long dataVersion = 0;
  bool hasRow = false;
  // Fails for a file that is not a database, or a lock held past the timeout.
  if (QueryInteger(file->db, "PRAGMA data_version", &dataVersion, &hasRow) != QueryResult::kDone ||
      !hasRow)
    return false;
  if (file->seen && dataVersion == file->dataVersion) {
    *generation = file->value;
    return true;
  }
  // Something was committed since the last look (or this is the first): read the counter, or
  // count the commit here. A commit between the two statements is seen again next time.
  long long counter = 0;
  hasRow = false;
  unsigned long long value;
  // With an audit trail the trail's last id counts the writes (see the tools' triggers).
  QueryResult result = QueryInteger(file->db, kAuditedGenerationSql, &counter, &hasRow);
  if (result == QueryResult::kDoesNotCompile)
    result = QueryInteger(file->db, kGenerationSql, &counter, &hasRow);
  if (result == QueryResult::kFailed) return false;
  if (result == QueryResult::kDone && hasRow) {
    value = static_cast<unsigned long long>(counter) & ~kLocalCount;
  } else {
    if (file->seen) file->local = (file->local + 1) | kLocalCount;
    value = file->local;
  }
  file->seen = true;
  file->dataVersion = dataVersion;
  file->value = value;
  *generation = value;
  return true;
}

WatchedFiles& Files() {
  // Destroyed when the library unloads, which closes the kept connections.
  static WatchedFiles files;
  return files;
}

}  // namespace

bool ReadConfigGeneration(const char* path, unsigned long long* generation) {
  if (FaultCheck("ConfigGeneration")) return false;
  if (path == nullptr || generation == nullptr) return false;
  return Files().Read(path, generation);
}

void ForgetConfigGenerations() { Files().Forget(); }

}  // namespace ado
}  // namespace platform
