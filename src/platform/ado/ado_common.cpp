// Identifiers, error reporting and class registration shared by the data-access objects.
#include <errno.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <mutex>

#include "platform/ado/ado_objects.h"

namespace {
constexpr GUID AdoGuid(uint32_t data1) {
  return GUID{data1, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
}
}  // namespace

const CLSID CLSID_Connection = AdoGuid(0x00000514);
const CLSID CLSID_Recordset = AdoGuid(0x00000535);
const CLSID CLSID_Command = AdoGuid(0x00000507);
const IID IID_Connection = AdoGuid(0x00000550);
const IID IID_Recordset = AdoGuid(0x00000556);
const IID IID_Command = {
    0xB08400BD, 0xF9D1, 0x4D02, {0xB8, 0x56, 0x71, 0xD5, 0xDB, 0xA1, 0x23, 0xE9}};
const IID IID_Fields = AdoGuid(0x0000054D);
const IID IID_Field = AdoGuid(0x0000054C);
const IID IID_Connection15 = AdoGuid(0x00000515);
const IID IID_Recordset15 = AdoGuid(0x0000050E);
const IID IID_Command15 = AdoGuid(0x00000508);
const IID IID_Fields15 = AdoGuid(0x00000506);
const IID IID_Field20 = AdoGuid(0x0000054C);
const IID IID_ADOCollection = AdoGuid(0x00000512);

void RegisterAdoClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    CoRegisterClass(CLSID_Connection, &platform::ado::ConnectionImpl::Create);
    CoRegisterClass(CLSID_Recordset, &platform::ado::RecordsetImpl::Create);
    CoRegisterClass(CLSID_Command, &platform::ado::CommandImpl::Create);
  });
}

namespace platform {
namespace ado {

const ErrorSite kConnectionSite = {&IID_Connection, "ADODB.Connection"};
const ErrorSite kRecordsetSite = {&IID_Recordset, "ADODB.Recordset"};
const ErrorSite kCommandSite = {&IID_Command, "ADODB.Command"};
const ErrorSite kFieldsSite = {&IID_Fields, "ADODB.Fields"};
const ErrorSite kFieldSite = {&IID_Field, "ADODB.Field"};

namespace {

HRESULT SetError(HRESULT code, const IID& iid, std::string_view source,
                 std::string_view description) {
  const std::u16string wideSource = Utf8ToUtf16(source);
  const std::u16string wideDescription = Utf8ToUtf16(description);
  if (IErrorInfo* info = CreateErrorInfoObject(iid, wideSource.c_str(), wideDescription.c_str())) {
    SetErrorInfo(0, info);
    info->Release();
  }
  return code;
}

}  // namespace

HRESULT Fail(HRESULT code, const ErrorSite& site, std::string_view description, FailureKind kind) {
  NoteFailure(kind, description);
  return SetError(code, *site.iid, site.source, description);
}

FailureKind EngineFailureKind(int rc, int systemErrno) {
  switch (rc & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return FailureKind::kLocked;
    case SQLITE_READONLY:
      return FailureKind::kReadOnly;
    case SQLITE_FULL:
      return FailureKind::kDiskFull;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return FailureKind::kCorrupt;
    case SQLITE_IOERR:
      // A write cut short by a full disk, a quota or the process's file-size limit.
      if (systemErrno == ENOSPC || systemErrno == EFBIG || systemErrno == EDQUOT)
        return FailureKind::kDiskFull;
      return FailureKind::kOther;
    default:
      return FailureKind::kOther;
  }
}

namespace {

// Whether a file of the database (the file, its write-ahead log or its rollback journal) has
// reached the process's file-size limit: a write past it fails with EFBIG, which the engine
// reports as an I/O error without keeping the reason. A write stops at the limit or begins
// past it, so a file within the largest page of the limit counts.
bool AtFileSizeLimit(sqlite3* db) {
  rlimit limit;
  if (db == nullptr || getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return false;
  const char* name = sqlite3_db_filename(db, "main");
  if (name == nullptr || *name == '\0') return false;
  constexpr off_t kLargestPage = 65536;
  for (const char* suffix : {"", "-wal", "-journal"}) {
    struct stat file;
    const std::string path = std::string(name) + suffix;
    if (stat(path.c_str(), &file) == 0 &&
        static_cast<rlim_t>(file.st_size + kLargestPage) >= limit.rlim_cur)
      return true;
  }
  return false;
}

}  // namespace

std::string EngineMessage(sqlite3* db, int rc, FailureKind* kind) {
  const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const std::string text(message != nullptr ? message : "");
  const int extended = db != nullptr ? sqlite3_extended_errcode(db) : rc;
  *kind = EngineFailureKind(rc, db != nullptr ? sqlite3_system_errno(db) : 0);
  if (*kind == FailureKind::kOther && (rc & 0xFF) == SQLITE_IOERR && AtFileSizeLimit(db)) {
    *kind = FailureKind::kDiskFull;
    return "The disk is full: a file of the database reached the file-size limit of this "
           "process (" +
           text + ").";
  }
  switch (*kind) {
    case FailureKind::kLocked:
      return "The database is locked by another program (" + text + ").";
    case FailureKind::kReadOnly:
      if (extended == SQLITE_READONLY_DIRECTORY || extended == SQLITE_READONLY_CANTINIT)
        return "The database is read-only: the engine cannot make its shared-memory file in the "
               "folder (" +
               text + ").";
      return "The database is read-only (" + text + ").";
    case FailureKind::kDiskFull:
      return "The disk is full (" + text + ").";
    case FailureKind::kCorrupt:
      return "The database file is corrupt (" + text + ").";
    default:
      return text;
  }
}

HRESULT FailEngine(sqlite3* db, int rc, const ErrorSite& site, bool compiling) {
  const char* message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  const std::string_view text(message != nullptr ? message : "");
  HRESULT code = E_FAIL;
  switch (rc & 0xFF) {
    case SQLITE_ERROR:
      if (text.rfind("no such table", 0) == 0)
        code = DB_E_NOTABLE;
      else if (compiling)
        code = DB_E_ERRORSINCOMMAND;
      break;
    case SQLITE_CONSTRAINT:
      code = DB_E_INTEGRITYVIOLATION;
      break;
    case SQLITE_NOMEM:
      code = E_OUTOFMEMORY;
      break;
    case SQLITE_TOOBIG:
      code = DB_E_DATAOVERFLOW;
      break;
    default:
      break;
  }
  FailureKind kind = FailureKind::kOther;
  const std::string description = EngineMessage(db, rc, &kind);
  NoteFailure(kind, description);
  return SetError(code, *site.iid, "SQLite", description);
}

HRESULT FailInjected(HRESULT code, const ErrorSite& site, const char* call) {
  return Fail(code, site, std::string(call) + " failed.");
}

std::string BstrToUtf8(BSTR text) {
  std::string utf8;
  if (text != nullptr) AppendUtf8(text, SysStringLen(text), &utf8);
  return utf8;
}

bool VariantText(const VARIANT& value, std::string* text) {
  const VARIANT* v = &value;
  if (v->vt == (VT_BYREF | VT_VARIANT) && v->byref != nullptr)
    v = static_cast<const VARIANT*>(v->byref);
  if (v->vt == VT_BSTR) {
    *text = BstrToUtf8(v->bstrVal);
    return true;
  }
  if (v->vt == (VT_BYREF | VT_BSTR) && v->byref != nullptr) {
    *text = BstrToUtf8(*static_cast<BSTR*>(v->byref));
    return true;
  }
  return false;
}

}  // namespace ado
}  // namespace platform
