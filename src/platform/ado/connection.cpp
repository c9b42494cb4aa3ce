// Connection: one SQLite handle, opened from a Jet-style connection string.
#include <unistd.h>

#include <algorithm>

#include "platform/ado/ado_objects.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {
namespace {

// Answers QueryInterface with the implementation itself, for objects handed back to us.
constexpr IID kConnectionImplIid = {
    0x5a1c0e8d, 0x2b7e, 0x4f0a, {0x9d, 0x31, 0x6e, 0x42, 0x0b, 0x7c, 0x11, 0x5d}};

constexpr int kBusyTimeoutMs = 5000;

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

bool StartsWithWord(std::string_view text, size_t at, std::string_view word) {
  if (text.size() < at + word.size()) return false;
  for (size_t k = 0; k < word.size(); ++k) {
    char c = text[at + k];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != word[k]) return false;
  }
  const size_t after = at + word.size();
  if (after == text.size()) return true;
  const char next = text[after];
  return !((next >= 'A' && next <= 'Z') || (next >= 'a' && next <= 'z') ||
           (next >= '0' && next <= '9') || next == '_');
}

size_t SkipBlanks(std::string_view text, size_t at) {
  while (at < text.size() &&
         (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
    ++at;
  return at;
}

// Jet's "DELETE * FROM" as SQLite's "DELETE FROM".
std::string RewriteJetSyntax(std::string sql) {
  const size_t begin = SkipBlanks(sql, 0);
  if (!StartsWithWord(sql, begin, "DELETE")) return sql;
  const size_t star = SkipBlanks(sql, begin + 6);
  if (star >= sql.size() || sql[star] != '*') return sql;
  const size_t from = SkipBlanks(sql, star + 1);
  if (!StartsWithWord(sql, from, "FROM")) return sql;
  sql.erase(star, from - star);
  return sql;
}

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

ConnectionImpl::~ConnectionImpl() { CloseHandle(); }

HRESULT ConnectionImpl::QueryInterface(const IID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (iid == kConnectionImplIid) {
    *object = this;
  } else if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_Connection ||
             iid == IID_Connection15) {
    *object = static_cast<ADOConnection*>(this);
  } else if (iid == IID_ISupportErrorInfo) {
    *object = static_cast<ISupportErrorInfo*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG ConnectionImpl::Release() {
  const ULONG refs = --refs_;
  if (refs == 0) delete this;
  return refs;
}

HRESULT ConnectionImpl::InterfaceSupportsErrorInfo(const IID& iid) {
  return iid == IID_Connection15 || iid == IID_Connection ? S_OK : S_FALSE;
}

HRESULT ConnectionImpl::put_Mode(ConnectModeEnum mode) {
  if (HRESULT hr = FaultCheck("Connection.Mode.put"))
    return FailInjected(hr, kConnectionSite, "Connection.Mode.put");
  if (db_ != nullptr)
    return Fail(adErrObjectOpen, kConnectionSite,
                "The mode cannot be changed while the connection is open.");
  mode_ = mode;
  return S_OK;
}

HRESULT ConnectionImpl::put_ConnectionTimeout(LONG seconds) {
  if (HRESULT hr = FaultCheck("Connection.ConnectionTimeout.put"))
    return FailInjected(hr, kConnectionSite, "Connection.ConnectionTimeout.put");
  if (seconds < 0) return Fail(E_INVALIDARG, kConnectionSite, "The timeout is negative.");
  timeout_ = seconds;
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
  *state = db_ != nullptr ? adStateOpen : adStateClosed;
  return S_OK;
}

HRESULT ConnectionImpl::Open(BSTR connectionString, BSTR, BSTR, LONG) {
  if (HRESULT hr = FaultCheck("Connection.Open"))
    return FailInjected(hr, kConnectionSite, "Connection.Open");
  if (db_ != nullptr)
    return Fail(adErrObjectOpen, kConnectionSite, "The connection is already open.");
  const ConnectionSettings settings = ParseConnectionString(BstrToUtf8(connectionString));
  const std::string provider = LowerAscii(Trim(settings.provider));
  if (!settings.hasProvider ||
      std::find(std::begin(kProviders), std::end(kProviders), provider) == std::end(kProviders))
    return Fail(adErrProviderNotFound, kConnectionSite,
                "Provider cannot be found: '" + settings.provider + "'.");
  const std::string& path = settings.dataSource;
  if (path.empty())
    return Fail(E_FAIL, kConnectionSite, "The connection string names no Data Source.");

  const bool readOnly = (mode_ & adModeReadWrite) == adModeRead;
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOMUTEX;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    if (access(path.c_str(), F_OK) != 0)
      return Fail(E_FAIL, {&IID_Connection, "SQLite"}, "Could not find file '" + path + "'.");
    return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                "Could not open file '" + path + "': " + message + ".");
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  // A read-only connection reads one snapshot: the read transaction begins with the schema
  // read below and lasts until Close.
  if (readOnly) rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK && !readOnly)
    rc = sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    sqlite3_close_v2(db);
    return Fail(E_FAIL, {&IID_Connection, "SQLite"},
                "Could not open file '" + path + "': " + message + ".");
  }
  db_ = db;
  readOnly_ = readOnly;
  return S_OK;
}

void ConnectionImpl::CloseHandle() {
  if (db_ == nullptr) return;
  const std::vector<Cursor*> cursors = cursors_;
  for (Cursor* cursor : cursors) cursor->Close();
  cursors_.clear();
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  statements_.clear();
  if (readOnly_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
  db_ = nullptr;
}

HRESULT ConnectionImpl::Close() {
  if (HRESULT hr = FaultCheck("Connection.Close"))
    return FailInjected(hr, kConnectionSite, "Connection.Close");
  if (db_ == nullptr)
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
  if (db_ == nullptr)
    return Fail(adErrObjectClosed, kConnectionSite,
                "Operation is not allowed when the object is closed.");
  const std::string sql = RewriteJetSyntax(BstrToUtf8(commandText));
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc =
      sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()) + 1, &statement, &tail);
  if (rc != SQLITE_OK) return FailEngine(db_, rc, kConnectionSite, true);
  if (statement == nullptr)
    return Fail(DB_E_ERRORSINCOMMAND, kConnectionSite, "The command text is empty.");
  while (tail != nullptr && *tail != '\0' &&
         (*tail == ' ' || *tail == '\t' || *tail == '\r' || *tail == '\n' || *tail == ';'))
    ++tail;
  if (tail != nullptr && *tail != '\0') {
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
    const HRESULT failure = FailEngine(db_, rc, kConnectionSite, false);
    sqlite3_finalize(statement);
    return failure;
  }
  const LONG affected = sqlite3_stmt_readonly(statement) ? -1 : sqlite3_changes(db_);
  sqlite3_finalize(statement);
  if (recordsAffected != nullptr) {
    VariantClear(recordsAffected);
    recordsAffected->vt = VT_I4;
    recordsAffected->lVal = affected;
  }
  if (recordset != nullptr) *recordset = RecordsetImpl::New();
  return S_OK;
}

void ConnectionImpl::Attach(Cursor* cursor) { cursors_.push_back(cursor); }

void ConnectionImpl::Detach(Cursor* cursor) {
  cursors_.erase(std::remove(cursors_.begin(), cursors_.end(), cursor), cursors_.end());
}

sqlite3_stmt* ConnectionImpl::CachedStatement(const std::string& sql, int* rc) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) {
    *rc = SQLITE_OK;
    return it->second;
  }
  sqlite3_stmt* statement = nullptr;
  *rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                           SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (*rc != SQLITE_OK) {
    sqlite3_finalize(statement);
    return nullptr;
  }
  statements_.emplace(sql, statement);
  return statement;
}

}  // namespace ado
}  // namespace platform
