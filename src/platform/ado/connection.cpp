// Connection: one SQLite handle (an SQLite file, or a Jet or ACE file read into memory) or one
// engine connection (a server), opened from a Jet-style connection string.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "platform/ado/ado_objects.h"
#include "platform/ado/audit.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/ado/statement_form.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {
namespace {

// Answers QueryInterface with the implementation itself, for objects handed back to us.
constexpr IID kConnectionImplIid = {
    0x5a1c0e8d, 0x2b7e, 0x4f0a, {0x9d, 0x31, 0x6e, 0x42, 0x0b, 0x7c, 0x11, 0x5d}};

const IID* const kConnectionInterfaces[] = {&IID_Connection, &IID_Connection15, nullptr};

const char* const kProviders[] = {"microsoft.jet.oledb.4.0", "microsoft.ace.oledb.12.0"};

std::string LowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

struct ConnectionSettings {
  bool hasProvider = false;
  std::string provider;
  std::string dataSource;
};

// "Key = value; Key2 = "value;with;semicolons"": keys compared without case and blanks.
ConnectionSettings ParseConnectionString(std::string_view text) {
  ConnectionSettings settings;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = i;
    bool quoted = false;
    while (end < text.size() && (quoted || text[end] != ';')) {
      if (text[end] == '"') quoted = !quoted;
      ++end;
    }
    const std::string_view part = text.substr(i, end - i);
    i = end + 1;
    const size_t equals = part.find('=');
    if (equals == std::string_view::npos) continue;
    std::string key;
    for (char c : part.substr(0, equals))
      if (c != ' ' && c != '\t') key.push_back(c);
    key = LowerAscii(key);
    std::string_view value = Trim(part.substr(equals + 1));
    if (value.size() >= 2 && ((value.front() == '"' && value.back() == '"') ||
                              (value.front() == '\'' && value.back() == '\'')))
      value = value.substr(1, value.size() - 2);
    if (key == "provider") {
      settings.hasProvider = true;
      settings.provider = std::string(value);
    } else if (key == "datasource") {
      settings.dataSource = std::string(value);
    }
  }
  return settings;
}

// The most compiled DELETE forms kept per connection; further forms run as written.
constexpr size_t kMaxCachedDeletes = 256;

}  // namespace

HRESULT ConnectionImpl::Create(IUnknown** object) {
  if (object == nullptr) return E_POINTER;
  *object = static_cast<ADOConnection*>(new ConnectionImpl);
  return S_OK;
}

ConnectionImpl* ConnectionImpl::FromUnknown(IUnknown* object) {
  void* impl = nullptr;
  if (object == nullptr || FAILED(object->QueryInterface(kConnectionImplIid, &impl)))
    return nullptr;
  return static_cast<ConnectionImpl*>(impl);
}

ConnectionImpl::ConnectionImpl() : ComObject(kConnectionInterfaces) {}

ConnectionImpl::~ConnectionImpl() { CloseHandle(); }

HRESULT ConnectionImpl::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr || iid != kConnectionImplIid) return ComObject::QueryInterface(iid, object);
  *object = this;
  AddRef();
  return S_OK;
}

HRESULT ConnectionImpl::put_Mode(ConnectModeEnum mode) {
  if (HRESULT hr = FaultCheck("Connection.Mode.put"))
    return FailInjected(hr, kConnectionSite, "Connection.Mode.put");
  if (IsOpen())
    return Fail(adErrObjectOpen, kConnectionSite,
                "The mode cannot be changed while the connection is open.");
  openMode = mode;
  return S_OK;
}

HRESULT ConnectionImpl::put_ConnectionTimeout(LONG seconds) {
  if (HRESULT hr = FaultCheck("Connection.ConnectionTimeout.put"))
    return FailInjected(hr, kConnectionSite, "Connection.ConnectionTimeout.put");
  if (seconds < 0) return Fail(E_INVALIDARG, kConnectionSite, "The timeout is negative.");
  timeout = seconds;
  return S_OK;
}

HRESULT ConnectionImpl::put_CursorLocation(CursorLocationEnum location) {
  if (HRESULT hr = FaultCheck("Connection.CursorLocation.put"))
    return FailInjected(hr, kConnectionSite, "Connection.CursorLocation.put");
  if (location != adUseServer && location != adUseClient)
    return Fail(E_INVALIDARG, kConnectionSite, "Unknown cursor location.");
  return S_OK;
}

HRESULT ConnectionImpl::get_State(LONG* state) {
  if (HRESULT hr = FaultCheck("Connection.State.get"))
    return FailInjected(hr, kConnectionSite, "Connection.State.get");
  if (state == nullptr) return Fail(E_POINTER, kConnectionSite, "No place for the state.");
  *state = IsOpen() ? adStateOpen : adStateClosed;
  return S_OK;
}

namespace {

// A writer that died inside a transaction leaves a hot journal (SQLite's rollback journal of the
// unfinished transaction), which only a connection allowed to write may roll back: a read-only one
// fails with SQLITE_READONLY_ROLLBACK until then. Rolls it back through a short read-write
// connection, as any writer opening the file would; false when that cannot be done (the file is not
// writable, or a writer holds it past the timeout).
bool RollBackHotJournal(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db, kLockWaitMs);
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  }
  sqlite3_close_v2(db);
  return rc == SQLITE_OK;
}

// Starts a connection: the lock wait of failure_note.h, and for a read-only one the snapshot,
// which begins with the schema read and lasts until Close.
int StartConnection(sqlite3* db, bool readOnly) {
  sqlite3_busy_handler(db, &WaitForLock, nullptr);
  int rc = readOnly ? sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr) : SQLITE_OK;
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  return rc;
}

// The folder that holds the file at path (after symbolic links, as the engine places its
// journal beside the real file).
std::string FolderOf(const std::string& path) {
  std::string real = path;
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    real = resolved;
    free(resolved);
  }
  const size_t slash = real.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : real.substr(0, slash);
}

// Why a connection opened for writing could not write, or "" when it can: the engine opened a
// write-protected file for reading only, or a rollback journal cannot be made in its folder.
std::string WriteRefusal(sqlite3* db, const std::string& path) {
  if (sqlite3_db_readonly(db, "main") == 1) return "the file is read-only.";
  std::string mode;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr) == SQLITE_OK &&
      sqlite3_step(statement) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(statement, 0);
    mode = LowerAscii(text != nullptr ? reinterpret_cast<const char*>(text) : "");
  }
  sqlite3_finalize(statement);
  if (mode != "delete" && mode != "truncate" && mode != "persist") return "";
  // A kept journal file may serve again; a deleted one must be made anew in the folder.
  const std::string journal = path + "-journal";
  if (mode != "delete" && access(journal.c_str(), W_OK) == 0) return "";
  const std::string folder = FolderOf(path);
  if (access(folder.c_str(), W_OK | X_OK) == 0) return "";
  return "its folder '" + folder +
         "' is write-protected, and the engine must make its rollback journal there.";
}

// A WAL database whose write-ahead log may hold changes not yet in the file itself.
bool WalMayHoldChanges(const std::string& path) {
  struct stat log;
  return stat((path + "-wal").c_str(), &log) == 0 && log.st_size > 0;
}

// The URI that opens path for reading without locks or shared memory ("immutable").
std::string ImmutableUri(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '.' || c == '-' || c == '_' || c == '~';
    if (plain) {
      uri.push_back(static_cast<char>(c));
    } else {
      uri.push_back('%');
      uri.push_back(kHex[c >> 4]);
      uri.push_back(kHex[c & 15]);
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

HRESULT ConnectionImpl::Open(BSTR connectionString, BSTR, BSTR, LONG) {
  if (HRESULT hr = FaultCheck("Connection.Open"))
    return FailInjected(hr, kConnectionSite, "Connection.Open");
  if (IsOpen()) return Fail(adErrObjectOpen, kConnectionSite, "The connection is already open.");
  const ConnectionSettings settings = ParseConnectionString(BstrToUtf8(connectionString));
  const std::string provider = LowerAscii(Trim(settings.provider));
  if (!settings.hasProvider ||
      std::find(std::begin(kProviders), std::end(kProviders), provider) == std::end(kProviders))
    return Fail(adErrProviderNotFound, kConnectionSite,
                "Provider cannot be found: '" + settings.provider + "'.");
  const std::string& path = settings.dataSource;
  if (path.empty())
    return Fail(E_FAIL, kConnectionSite, "The connection string names no Data Source.");

  const bool readOnly = (openMode & adModeReadWrite) == adModeRead;
  if (const Engine* engine = EngineFor(path)) {
    EngineOpenRequest request;
    request.dataSource = path;
    request.readOnly = readOnly;
    request.timeoutSeconds = timeout;
    std::unique_ptr<EngineConnection> opened;
    if (HRESULT hr = engine->Open(request, &opened); FAILED(hr)) return hr;
    engineConnection = std::move(opened);
    isReadOnly = readOnly;
    return S_OK;
  }
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  sqlite3* db = nullptr;
  std::string jetFailure;  // a Jet or ACE file is read into an in-memory database
  const jet::OpenResult jet = jet::OpenJetAsSqlite(path, readOnly, &db, &jetFailure);
  if (jet == jet::OpenResult::kFailed)
    return Fail(E_FAIL, {&IID_Connection, "Jet"}, jetFailure,
                readOnly ? FailureKind::kCorrupt : FailureKind::kReadOnly);
  int rc = jet == jet::OpenResult::kOpened ? SQLITE_OK
                                           : sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    FailureKind kind = FailureKind::kOther;
    const std::string message = EngineMessage(db, rc, &kind);
    sqlite3_close_v2(db);
    if (access(path.c_str(), F_OK) != 0)
      return Fail(E_FAIL, {&IID_Connection, "SQLite"}, "Could not find file '" + path + "'.",
                  FailureKind::kNotFound);
    return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                "Could not open file '" + path + "': " + message + ".", kind);
  }
  rc = StartConnection(db, readOnly);
  if (readOnly && rc != SQLITE_OK && sqlite3_extended_errcode(db) == SQLITE_READONLY_ROLLBACK &&
      RollBackHotJournal(path))
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  // The engine says READONLY_DIRECTORY or READONLY_CANTINIT when it cannot make the
  // shared-memory file of a WAL database, and CANTOPEN when a write-ahead log lies there too.
  const int extended = rc != SQLITE_OK ? sqlite3_extended_errcode(db) : SQLITE_OK;
  const bool noSharedMemory =
      extended == SQLITE_READONLY_DIRECTORY || extended == SQLITE_READONLY_CANTINIT ||
      ((extended & 0xFF) == SQLITE_CANTOPEN && access((path + "-shm").c_str(), F_OK) != 0 &&
       access((path + "-wal").c_str(), F_OK) == 0);
  if (readOnly && noSharedMemory) {
    // A WAL database where the shared-memory file cannot be made (a write-protected folder):
    // read it as it lies, without locks, unless its log may hold changes, which only the
    // shared memory lets us read.
    sqlite3_close_v2(db);
    db = nullptr;
    if (WalMayHoldChanges(path))
      return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                  "Could not open file '" + path +
                      "' for reading: its write-ahead log holds changes, and the shared-memory "
                      "file needed to read them cannot be made in its write-protected folder.",
                  FailureKind::kReadOnly);
    rc = sqlite3_open_v2(ImmutableUri(path).c_str(), &db,
                         SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) rc = StartConnection(db, true);
  }
  if (rc == SQLITE_OK && !readOnly)
    rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    FailureKind kind = FailureKind::kOther;
    const std::string message = EngineMessage(db, rc, &kind);
    sqlite3_close_v2(db);
    return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                "Could not open file '" + path + "': " + message + ".", kind);
  }
  if (!readOnly) {
    // The engine quietly opens for reading what it cannot write; a writer that cannot write
    // must not open.
    const std::string refusal = WriteRefusal(db, path);
    if (!refusal.empty()) {
      sqlite3_close_v2(db);
      return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                  "Could not open file '" + path + "' for writing: " + refusal,
                  FailureKind::kReadOnly);
    }
  }
  std::string auditError;
  if (!PrepareAuditConnection(db, readOnly, &auditError)) {
    sqlite3_close_v2(db);
    return Fail(E_FAIL, {&IID_Connection, "SQLite"}, "'" + path + "': " + auditError);
  }
  sqlite = db;
  isReadOnly = readOnly;
  return S_OK;
}

void ConnectionImpl::CloseHandle() {
  if (engineConnection != nullptr) {
    const std::vector<Cursor*> cursors = openCursors;
    for (Cursor* cursor : cursors) cursor->Close();
    openCursors.clear();
    engineConnection.reset();  // the server rolls back what is still open
    transaction = false;
    return;
  }
  if (sqlite == nullptr) return;
  const std::vector<Cursor*> cursors = openCursors;
  for (Cursor* cursor : cursors) cursor->Close();
  openCursors.clear();
  for (auto& entry : statements) sqlite3_finalize(entry.second);
  statements.clear();
  for (auto& entry : deletes) sqlite3_finalize(entry.second);
  deletes.clear();
  if (isReadOnly || transaction) sqlite3_exec(sqlite, "ROLLBACK", nullptr, nullptr, nullptr);
  transaction = false;
  sqlite3_close_v2(sqlite);
  sqlite = nullptr;
}

HRESULT ConnectionImpl::CheckTransaction(const ErrorSite& site) {
  if (!transaction) return S_OK;
  if (engineConnection != nullptr ? engineConnection->InTransaction()
                                  : !sqlite3_get_autocommit(sqlite))
    return S_OK;
  return Fail(E_FAIL, site,
              "The transaction was rolled back after an earlier failure; nothing of it is kept "
              "and nothing more is written until it ends.");
}

HRESULT ConnectionImpl::BeginTrans(LONG* level) {
  if (HRESULT hr = FaultCheck("Connection.BeginTrans"))
    return FailInjected(hr, kConnectionSite, "Connection.BeginTrans");
  if (!IsOpen())
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  if (isReadOnly)
    return Fail(E_FAIL, kConnectionSite, "The connection was opened for reading only.",
                FailureKind::kReadOnly);
  if (transaction) return Fail(E_FAIL, kConnectionSite, "A transaction is already open.");
  if (engineConnection != nullptr) {
    if (HRESULT hr = engineConnection->Begin(kConnectionSite); FAILED(hr)) return hr;
    transaction = true;
    if (level != nullptr) *level = 1;
    return S_OK;
  }
  const int rc = sqlite3_exec(sqlite, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return FailEngine(sqlite, rc, kConnectionSite, false);
  transaction = true;
  if (level != nullptr) *level = 1;
  return S_OK;
}

HRESULT ConnectionImpl::CommitTrans() {
  if (HRESULT hr = FaultCheck("Connection.CommitTrans"))
    return FailInjected(hr, kConnectionSite, "Connection.CommitTrans");
  if (!IsOpen())
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  if (!transaction) return Fail(E_FAIL, kConnectionSite, "No transaction is open.");
  if (engineConnection != nullptr) {
    // A transaction the server ended (or failed) is rolled back there; the commit fails.
    const bool ended = !engineConnection->InTransaction();
    transaction = false;
    if (ended) {
      engineConnection->Rollback(kConnectionSite);
      transaction = true;
      const HRESULT hr = CheckTransaction(kConnectionSite);
      transaction = false;
      return hr;
    }
    return engineConnection->Commit(kConnectionSite);
  }
  if (HRESULT hr = CheckTransaction(kConnectionSite); FAILED(hr)) {
    transaction = false;
    return hr;
  }
  const int rc = sqlite3_exec(sqlite, "COMMIT", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) {
    transaction = false;
    return S_OK;
  }
  // A commit that did not happen (readers kept the lock, the disk filled) is rolled back, so
  // that the transaction leaves nothing behind either way.
  const HRESULT failure = FailEngine(sqlite, rc, kConnectionSite, false);
  if (!sqlite3_get_autocommit(sqlite)) sqlite3_exec(sqlite, "ROLLBACK", nullptr, nullptr, nullptr);
  transaction = !sqlite3_get_autocommit(sqlite);  // only when even the rollback failed
  return failure;
}

HRESULT ConnectionImpl::RollbackTrans() {
  if (HRESULT hr = FaultCheck("Connection.RollbackTrans"))
    return FailInjected(hr, kConnectionSite, "Connection.RollbackTrans");
  if (!IsOpen())
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  // Nothing open (a failed commit already rolled back): nothing to do.
  if (!transaction) return S_OK;
  transaction = false;
  if (engineConnection != nullptr) return engineConnection->Rollback(kConnectionSite);
  if (sqlite3_get_autocommit(sqlite)) return S_OK;  // the engine already rolled it back
  const int rc = sqlite3_exec(sqlite, "ROLLBACK", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    // Still open: closing the connection rolls it back.
    transaction = true;
    return FailEngine(sqlite, rc, kConnectionSite, false);
  }
  return S_OK;
}

HRESULT ConnectionImpl::Close() {
  if (HRESULT hr = FaultCheck("Connection.Close"))
    return FailInjected(hr, kConnectionSite, "Connection.Close");
  if (!IsOpen())
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  CloseHandle();
  return S_OK;
}

HRESULT ConnectionImpl::Execute(BSTR commandText, VARIANT* recordsAffected, LONG options,
                                ADORecordset** recordset) {
  if (recordset != nullptr) *recordset = nullptr;
  if (HRESULT hr = FaultCheck("Connection.Execute"))
    return FailInjected(hr, kConnectionSite, "Connection.Execute");
  if (!IsOpen())
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  if (HRESULT hr = CheckTransaction(kConnectionSite); FAILED(hr)) return hr;
  const std::string sql = RewriteJetSyntax(BstrToUtf8(commandText));
  if (engineConnection != nullptr) return ExecuteOnEngine(sql, recordsAffected, options, recordset);
  HRESULT cached = S_OK;
  if (ExecuteCachedDelete(sql, recordsAffected, recordset, &cached)) return cached;
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc =
      sqlite3_prepare_v2(sqlite, sql.c_str(), static_cast<int>(sql.size()) + 1, &statement, &tail);
  if (rc != SQLITE_OK) return FailEngine(sqlite, rc, kConnectionSite, true);
  if (statement == nullptr)
    return Fail(DB_E_ERRORSINCOMMAND, kConnectionSite, "The command text is empty.");
  if (!IsEmptyTail(tail)) {
    sqlite3_finalize(statement);
    return Fail(DB_E_ERRORSINCOMMAND, kConnectionSite,
                "The command text holds more than one statement.");
  }
  if (sqlite3_column_count(statement) > 0 && recordset != nullptr &&
      (options & adExecuteNoRecords) == 0) {
    RecordsetImpl* result = RecordsetImpl::New();
    result->OpenOnStatement(this, statement);
    if (recordsAffected != nullptr) {
      VariantClear(recordsAffected);
      recordsAffected->vt = VT_I4;
      recordsAffected->lVal = -1;
    }
    *recordset = result;
    return S_OK;
  }
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(sqlite, rc, kConnectionSite, false);
    sqlite3_finalize(statement);
    return failure;
  }
  const LONG affected = sqlite3_stmt_readonly(statement) ? -1 : sqlite3_changes(sqlite);
  sqlite3_finalize(statement);
  if (recordsAffected != nullptr) {
    VariantClear(recordsAffected);
    recordsAffected->vt = VT_I4;
    recordsAffected->lVal = affected;
  }
  if (recordset != nullptr) *recordset = RecordsetImpl::New();
  return S_OK;
}

HRESULT ConnectionImpl::ExecuteOnEngine(const std::string& sql, VARIANT* recordsAffected,
                                        LONG options, ADORecordset** recordset) {
  const bool wantRows = recordset != nullptr && (options & adExecuteNoRecords) == 0;
  std::vector<Column> columns;
  std::unique_ptr<EngineRows> rows;
  LONG affected = -1;
  if (HRESULT hr = engineConnection->Run(sql, &columns, wantRows ? &rows : nullptr, &affected,
                                         kConnectionSite);
      FAILED(hr))
    return hr;
  if (recordsAffected != nullptr) {
    VariantClear(recordsAffected);
    recordsAffected->vt = VT_I4;
    recordsAffected->lVal = rows != nullptr ? -1 : affected;
  }
  if (rows != nullptr) {
    RecordsetImpl* result = RecordsetImpl::New();
    result->OpenOnRows(this, std::move(columns), std::move(rows));
    *recordset = result;
  } else if (recordset != nullptr) {
    *recordset = RecordsetImpl::New();
  }
  return S_OK;
}

bool ConnectionImpl::ExecuteCachedDelete(const std::string& sql, VARIANT* recordsAffected,
                                         ADORecordset** recordset, HRESULT* result) {
  if (!IsDeleteStatement(sql)) return false;
  std::string form;
  std::vector<int64_t> values;
  if (!DeleteParameterForm(sql, &form, &values)) return false;
  sqlite3_stmt* statement = nullptr;
  auto found = deletes.find(form);
  if (found != deletes.end()) {
    statement = found->second;
  } else {
    // Only a form that compiles to one statement without rows is kept; anything else (an error
    // included) is left to the path that runs the text as written and reports what it finds.
    if (deletes.size() >= kMaxCachedDeletes) return false;
    const char* tail = nullptr;
    const int rc = sqlite3_prepare_v3(sqlite, form.c_str(), static_cast<int>(form.size()) + 1,
                                      SQLITE_PREPARE_PERSISTENT, &statement, &tail);
    if (rc != SQLITE_OK || statement == nullptr || !IsEmptyTail(tail) ||
        sqlite3_column_count(statement) != 0 ||
        sqlite3_bind_parameter_count(statement) != static_cast<int>(values.size())) {
      sqlite3_finalize(statement);
      return false;
    }
    found = deletes.emplace(std::move(form), statement).first;
  }
  for (size_t k = 0; k < values.size(); ++k)
    sqlite3_bind_int64(statement, static_cast<int>(k) + 1, values[k]);
  int rc;
  while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) {
    if ((rc & 0xFF) == SQLITE_ERROR || (rc & 0xFF) == SQLITE_SCHEMA) {
      // The statement no longer compiles (the schema changed) or failed as it ran, which undid
      // its changes: the text as written reports it the way it is reported uncompiled.
      sqlite3_finalize(statement);
      deletes.erase(found);
      return false;
    }
    *result = FailEngine(sqlite, rc, kConnectionSite, false);
    sqlite3_reset(statement);
    return true;
  }
  const LONG affected = sqlite3_stmt_readonly(statement) ? -1 : sqlite3_changes(sqlite);
  sqlite3_reset(statement);
  if (recordsAffected != nullptr) {
    VariantClear(recordsAffected);
    recordsAffected->vt = VT_I4;
    recordsAffected->lVal = affected;
  }
  if (recordset != nullptr) *recordset = RecordsetImpl::New();
  *result = S_OK;
  return true;
}

void ConnectionImpl::Attach(Cursor* cursor) { openCursors.push_back(cursor); }

void ConnectionImpl::Detach(Cursor* cursor) {
  openCursors.erase(std::remove(openCursors.begin(), openCursors.end(), cursor), openCursors.end());
}

sqlite3_stmt* ConnectionImpl::CachedStatement(const std::string& sql, int* rc) {
  auto it = statements.find(sql);
  if (it != statements.end()) {
    *rc = SQLITE_OK;
    return it->second;
  }
  sqlite3_stmt* statement = nullptr;
  *rc = sqlite3_prepare_v3(sqlite, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (*rc != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  statements.emplace(sql, statement);
  return statement;
}

}  // namespace ado
}  // namespace platform
