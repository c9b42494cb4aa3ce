// Cursor: the columns and rows of an open recordset, and the new row being added.
#include <string.h>

#include "platform/ado/ado_objects.h"
#include "platform/ado/statement_form.h"
#include "platform/ado/stored_bind.h"
#include "platform/win32/codepage.h"

namespace platform {
namespace ado {
namespace {

constexpr char kNoCurrentRow[] =
    "Either BOF or EOF is True, or the current record has been deleted.";

std::u16string FoldAscii(std::u16string_view name) {
  std::u16string folded(name);
  for (char16_t& c : folded)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return folded;
}

std::string UpperAscii(const char* text) {
  std::string upper(text != nullptr ? text : "");
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// True when the process code page maps ASCII to itself and back, unit for byte.
bool AsciiCodePage() {
  const CodePageKind kind = ProcessCodePageKind();
  return kind == CodePageKind::kUtf8 || kind == CodePageKind::kWindows1252;
}

}  // namespace

// RowBuffer

void RowBuffer::Reset(int columns) {
  columns_ = columns;
  cells_.clear();
  arena_.clear();
}

void RowBuffer::Append(const StoredValue& value) {
  Cell cell;
  cell.storage = value.storage;
  cell.size = value.size;
  switch (value.storage) {
    case StoredValue::kInteger:
      cell.integer = value.integer;
      break;
    case StoredValue::kReal:
      cell.real = value.real;
      break;
    case StoredValue::kText:
    case StoredValue::kBlob:
      cell.offset = arena_.size();
      arena_.append(value.bytes != nullptr ? value.bytes : "", static_cast<size_t>(value.size));
      break;
    default:
      cell.integer = 0;
      break;
  }
  cells_.push_back(cell);
}

void RowBuffer::AppendRow(sqlite3_stmt* statement) {
  for (int column = 0; column < columns_; ++column) Append(ReadStored(statement, column));
}

void RowBuffer::AppendRow(const StoredValue* values) {
  for (int column = 0; column < columns_; ++column) Append(values[column]);
}

StoredValue RowBuffer::Get(size_t row, int column) const {
  const Cell& cell = cells_[row * columns_ + column];
  StoredValue value;
  value.storage = cell.storage;
  value.size = cell.size;
  switch (cell.storage) {
    case StoredValue::kInteger:
      value.integer = cell.integer;
      break;
    case StoredValue::kReal:
      value.real = cell.real;
      break;
    case StoredValue::kText:
    case StoredValue::kBlob:
      value.bytes = arena_.data() + cell.offset;
      break;
    default:
      break;
  }
  return value;
}

// Cursor

Cursor::Cursor(ConnectionImpl* connection) : connection_(connection) {}

Cursor::~Cursor() { Close(); }

void Cursor::Close() {
  if (!open_) return;
  open_ = false;
  CancelUpdate();
  sqlite3_finalize(statement_);
  statement_ = nullptr;
  engineRows_.reset();
  rows_.Reset(0);
  inserted_.Reset(0);
  insert_ = nullptr;  // owned by the connection
  readBack_ = nullptr;
  readBackPending_ = false;
  connection_->Detach(this);
  connection_->Release();
}

void Cursor::BuildNameIndex() {
  exactNames_.clear();
  foldedNames_.clear();
  for (size_t i = 0; i < columns_.size(); ++i) {
    exactNames_.emplace(columns_[i].wideName, static_cast<int>(i));
    foldedNames_.emplace(FoldAscii(columns_[i].wideName), static_cast<int>(i));
  }
  const int count = static_cast<int>(columns_.size());
  rows_.Reset(count);
  inserted_.Reset(count);
  pendingValues_.assign(columns_.size(), VARIANT());
  for (VARIANT& v : pendingValues_) VariantInit(&v);
  assigned_.assign(columns_.size(), false);
  scratch_.assign(columns_.size(), std::string());
  values_.assign(columns_.size(), StoredValue());
  included_.assign(columns_.size(), 0);
  insertColumns_.clear();
  streaming_ = connection_->readOnly();
  open_ = true;
  connection_->AddRef();
  connection_->Attach(this);
}

int Cursor::FindColumn(std::u16string_view name) const {
  auto exact = exactNames_.find(name);
  if (exact != exactNames_.end()) return exact->second;
  auto folded = foldedNames_.find(FoldAscii(name));
  return folded != foldedNames_.end() ? folded->second : -1;
}

HRESULT Cursor::OpenTable(const std::string& name) {
  if (EngineConnection* engine = connection_->engine()) {
    std::vector<Column> columns;
    if (HRESULT hr = engine->TableColumns(name, &columns, kRecordsetSite); FAILED(hr)) return hr;
    table_ = name;
    columns_ = std::move(columns);
    tableMode_ = true;
    BuildNameIndex();
    return S_OK;
  }
  sqlite3* db = connection_->db();
  quotedTable_ = QuoteIdentifier(name);
  const std::string pragma = "PRAGMA table_info(" + quotedTable_ + ")";
  sqlite3_stmt* info = nullptr;
  int rc = sqlite3_prepare_v2(db, pragma.c_str(), -1, &info, nullptr);
  if (rc != SQLITE_OK) return FailEngine(db, rc, kRecordsetSite, true);
  std::vector<Column> columns;
  int keyColumns = 0;
  int keyIndex = -1;
  while ((rc = sqlite3_step(info)) == SQLITE_ROW) {
    Column column;
    column.name = reinterpret_cast<const char*>(sqlite3_column_text(info, 1));
    column.wideName = Utf8ToUtf16(column.name);
    const char* declared = reinterpret_cast<const char*>(sqlite3_column_text(info, 2));
    column.type = ColumnTypeFromDeclared(declared);
    const bool notNull = sqlite3_column_int(info, 3) != 0;
    if (sqlite3_column_int(info, 5) > 0) {
      ++keyColumns;
      keyIndex = static_cast<int>(columns.size());
      column.rowId = UpperAscii(declared) == "INTEGER";
    }
    column.attributes = BaseAttributes(column.type) | adFldUpdatable;
    if (!notNull) column.attributes |= adFldIsNullable | adFldMayBeNull;
    columns.push_back(std::move(column));
  }
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(db, rc, kRecordsetSite, false);
    sqlite3_finalize(info);
    return failure;
  }
  sqlite3_finalize(info);
  if (columns.empty())
    return Fail(DB_E_NOTABLE, {&IID_Recordset, "SQLite"}, "no such table: " + name);
  for (size_t i = 0; i < columns.size(); ++i) {
    Column& column = columns[i];
    if (column.rowId && (keyColumns != 1 || keyIndex != static_cast<int>(i))) column.rowId = false;
    if (column.rowId)
      column.attributes =
          (column.attributes & ~(adFldIsNullable | adFldMayBeNull)) | adFldKeyColumn | adFldRowID;
  }
  columns_ = std::move(columns);
  tableMode_ = true;
  BuildNameIndex();
  return S_OK;
}

HRESULT Cursor::OpenStatement(const std::string& sql, bool* returnsRows) {
  if (EngineConnection* engine = connection_->engine()) {
    std::vector<Column> columns;
    std::unique_ptr<EngineRows> rows;
    LONG affected = -1;
    if (HRESULT hr = engine->Run(sql, &columns, &rows, &affected, kRecordsetSite); FAILED(hr))
      return hr;
    *returnsRows = rows != nullptr;
    if (rows != nullptr) OpenRows(std::move(columns), std::move(rows));
    return S_OK;
  }
  sqlite3* db = connection_->db();
  sqlite3_stmt* statement = nullptr;
  const char* tail = nullptr;
  int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()) + 1, &statement, &tail);
  if (rc != SQLITE_OK) return FailEngine(db, rc, kRecordsetSite, true);
  if (statement == nullptr)
    return Fail(DB_E_ERRORSINCOMMAND, kRecordsetSite, "The command text is empty.");
  if (!IsEmptyTail(tail)) {
    sqlite3_finalize(statement);
    return Fail(DB_E_ERRORSINCOMMAND, kRecordsetSite,
                "The command text holds more than one statement.");
  }
  if (sqlite3_column_count(statement) == 0) {
    // A statement without rows runs at once; the recordset stays closed.
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    const HRESULT failure = rc == SQLITE_DONE ? S_OK : FailEngine(db, rc, kRecordsetSite, false);
    sqlite3_finalize(statement);
    *returnsRows = false;
    return failure;
  }
  *returnsRows = true;
  OpenPrepared(statement);
  return S_OK;
}

void Cursor::OpenPrepared(sqlite3_stmt* statement) {
  const int count = sqlite3_column_count(statement);
  columns_.clear();
  columns_.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Column column;
    const char* name = sqlite3_column_name(statement, i);
    column.name = name != nullptr ? name : "";
    column.wideName = Utf8ToUtf16(column.name);
    column.type = ColumnTypeFromDeclared(sqlite3_column_decltype(statement, i));
    column.attributes = BaseAttributes(column.type) | adFldIsNullable | adFldMayBeNull;
    columns_.push_back(std::move(column));
  }
  statement_ = statement;
  tableMode_ = false;
  BuildNameIndex();
}

void Cursor::OpenRows(std::vector<Column> columns, std::unique_ptr<EngineRows> rows) {
  columns_ = std::move(columns);
  engineRows_ = std::move(rows);
  tableMode_ = false;
  BuildNameIndex();
}

HRESULT Cursor::Step(const ErrorSite& site) {
  const int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) {
    onRow_ = true;
    return S_OK;
  }
  onRow_ = false;
  sqlite3_reset(statement_);
  if (rc == SQLITE_DONE) return S_OK;
  return FailEngine(connection_->db(), rc, site, false);
}

HRESULT Cursor::Start(const ErrorSite& site) {
  if (started_) return S_OK;
  if (EngineConnection* engine = connection_->engine()) {
    if (engineRows_ == nullptr) {
      if (HRESULT hr = engine->TableRows(table_, &engineRows_, site); FAILED(hr)) return hr;
    }
    bool onRow = false;
    if (HRESULT hr = engineRows_->Next(&onRow, site); FAILED(hr)) return hr;
    onRow_ = onRow;
    started_ = true;
    return S_OK;
  }
  sqlite3* db = connection_->db();
  if (statement_ == nullptr) {
    const std::string sql = "SELECT * FROM " + quotedTable_;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr);
    if (rc != SQLITE_OK) return FailEngine(db, rc, site, true);
  }
  if (streaming_) {
    const HRESULT hr = Step(site);
    if (SUCCEEDED(hr)) started_ = true;
    return hr;
  }
  // Read-write connection: fetch every row now and leave nothing pending.
  rows_.Reset(static_cast<int>(columns_.size()));
  int rc;
  while ((rc = sqlite3_step(statement_)) == SQLITE_ROW) rows_.AppendRow(statement_);
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(db, rc, site, false);
    sqlite3_reset(statement_);
    rows_.Reset(static_cast<int>(columns_.size()));
    return failure;
  }
  sqlite3_finalize(statement_);
  statement_ = nullptr;
  started_ = true;
  row_ = 0;
  onRow_ = rows_.rows() > 0;
  return S_OK;
}

HRESULT Cursor::Eof(bool* eof, const ErrorSite& site) {
  if (pending_) {
    *eof = false;
    return S_OK;
  }
  if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  *eof = !(onRow_ || onInserted_);
  return S_OK;
}

HRESULT Cursor::MoveNext(const ErrorSite& site) {
  if (pending_) {
    if (HRESULT hr = Update(site); FAILED(hr)) return hr;
  }
  if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  if (onInserted_) {
    onInserted_ = false;
    return S_OK;
  }
  if (!onRow_) return Fail(adErrNoCurrentRecord, site, kNoCurrentRow);
  if (engineRows_ != nullptr) {
    bool onRow = false;
    const HRESULT hr = engineRows_->Next(&onRow, site);
    onRow_ = SUCCEEDED(hr) && onRow;
    return hr;
  }
  if (streaming_) return Step(site);
  ++row_;
  onRow_ = row_ < rows_.rows();
  return S_OK;
}

HRESULT Cursor::CurrentValue(int column, StoredValue* value, bool* onPending,
                             const ErrorSite& site) {
  *onPending = pending_;
  if (pending_) return S_OK;
  if (!started_) {
    if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  }
  if (onInserted_) {
    if (readBackPending_) ReadBackInserted();
    *value = inserted_.Get(0, column);
  } else if (!onRow_) {
    return Fail(adErrNoCurrentRecord, site, kNoCurrentRow);
  } else if (engineRows_ != nullptr) {
    *value = engineRows_->Get(column);
  } else if (streaming_) {
    *value = ReadStored(statement_, column);
  } else {
    *value = rows_.Get(row_, column);
  }
  return S_OK;
}

HRESULT Cursor::Value(int column, VARIANT* value, const ErrorSite& site) {
  StoredValue stored;
  bool onPending;
  if (HRESULT hr = CurrentValue(column, &stored, &onPending, site); FAILED(hr)) return hr;
  return Deliver(column, stored, onPending, value, site);
}

HRESULT Cursor::ValueOrAsciiText(int column, VARIANT* value, const char** text, size_t* size,
                                 const ErrorSite& site) {
  StoredValue stored;
  bool onPending;
  if (HRESULT hr = CurrentValue(column, &stored, &onPending, site); FAILED(hr)) return hr;
  std::string_view ascii;
  if (!onPending && AsciiCodePage() && StoredAsciiText(columns_[column].type, stored, &ascii)) {
    *text = ascii.data();
    *size = ascii.size();
    return S_OK;
  }
  return Deliver(column, stored, onPending, value, site);
}

HRESULT Cursor::Deliver(int column, const StoredValue& stored, bool onPending, VARIANT* value,
                        const ErrorSite& site) {
  if (onPending) {
    if (!assigned_[column]) {
      value->vt = VT_NULL;
      return S_OK;
    }
    HRESULT hr = VariantCopy(value, &pendingValues_[column]);
    return FAILED(hr) ? Fail(hr, site, "The value could not be copied.") : S_OK;
  }
  HRESULT hr = StoredToVariant(columns_[column].type, stored, value);
  return FAILED(hr) ? Fail(hr, site, "Out of memory while reading a value.") : S_OK;
}

HRESULT Cursor::ActualSize(int column, LONG* size, const ErrorSite& site) {
  StoredValue stored;
  bool onPending;
  if (HRESULT hr = CurrentValue(column, &stored, &onPending, site); FAILED(hr)) return hr;
  if (onPending) {
    std::string buffer;
    EncodeForStorage(columns_[column].type, pendingValues_[column], &stored, &buffer);
  }
  *size = StoredActualSize(columns_[column].type, stored);
  return S_OK;
}

HRESULT Cursor::AddNew(const ErrorSite& site) {
  if (!tableMode_)
    return Fail(adErrFeatureNotAvailable, site,
                "Rows can be added only to a recordset opened on a table.");
  if (pending_) {
    if (HRESULT hr = Update(site); FAILED(hr)) return hr;
  }
  pending_ = true;
  return S_OK;
}

HRESULT Cursor::Put(int column, const VARIANT& value, const ErrorSite& site) {
  if (!pending_)
    return Fail(adErrFeatureNotAvailable, site, "Only a new row begun by AddNew can be written.");
  VARIANT converted;
  VariantInit(&converted);
  std::string why;
  const HRESULT hr = ConvertForColumn(columns_[column].type, value, &converted, &why);
  if (FAILED(hr)) return Fail(hr, site, "Column '" + columns_[column].name + "': " + why);
  VariantClear(&pendingValues_[column]);
  pendingValues_[column] = converted;
  assigned_[column] = true;
  return S_OK;
}

HRESULT Cursor::NextCounter(const Column& column, int64_t* next, const ErrorSite& site) {
  const std::string sql =
      "SELECT coalesce(max(" + QuoteIdentifier(column.name) + "), 0) + 1 FROM " + quotedTable_;
  int rc;
  sqlite3_stmt* statement = connection_->CachedStatement(sql, &rc);
  if (statement == nullptr) return FailEngine(connection_->db(), rc, site, true);
  rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW) {
    const HRESULT failure = FailEngine(connection_->db(), rc, site, false);
    sqlite3_reset(statement);
    return failure;
  }
  *next = sqlite3_column_int64(statement, 0);
  sqlite3_reset(statement);
  return S_OK;
}

HRESULT Cursor::Update(const ErrorSite& site) {
  if (!pending_) return S_OK;
  if (HRESULT hr = connection_->CheckTransaction(site); FAILED(hr)) return hr;
  if (EngineConnection* engine = connection_->engine()) {
    std::vector<StoredValue> stored;
    if (HRESULT hr = engine->Insert(table_, columns_, pendingValues_, assigned_, &stored, site);
        FAILED(hr))
      return hr;
    inserted_.Reset(static_cast<int>(columns_.size()));
    inserted_.AppendRow(stored.data());
    CancelUpdate();
    started_ = true;
    onRow_ = false;
    onInserted_ = true;
    return S_OK;
  }
  sqlite3* db = connection_->db();
  const size_t count = columns_.size();
  for (size_t i = 0; i < count; ++i) {
    const Column& column = columns_[i];
    values_[i] = StoredValue();
    included_[i] = 0;
    if (assigned_[i]) {
      EncodeForStorage(column.type, pendingValues_[i], &values_[i], &scratch_[i]);
      included_[i] = 1;
    } else if (column.type.counter && !column.rowId) {
      int64_t next = 0;
      if (HRESULT hr = NextCounter(column, &next, site); FAILED(hr)) return hr;
      values_[i].storage = StoredValue::kInteger;
      values_[i].integer = next;
      included_[i] = 1;
    }
  }
  // One prepared INSERT per set of assigned columns, kept by the connection; the last one used
  // is remembered here, since rows added one after another assign the same columns.
  int rc = SQLITE_OK;
  if (insert_ == nullptr || included_ != insertColumns_) {
    std::string names, marks;
    for (size_t i = 0; i < count; ++i) {
      if (!included_[i]) continue;
      if (!names.empty()) names += ", ", marks += ", ";
      names += QuoteIdentifier(columns_[i].name);
      marks += "?";
    }
    const std::string sql =
        "INSERT INTO " + quotedTable_ +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
    insert_ = connection_->CachedStatement(sql, &rc);
    if (insert_ == nullptr) return FailEngine(db, rc, site, true);
    insertColumns_ = included_;
  }
  int index = 0;
  for (size_t i = 0; i < count && rc == SQLITE_OK; ++i)
    if (included_[i]) rc = BindStored(insert_, ++index, values_[i], SQLITE_STATIC);
  if (rc == SQLITE_OK) rc = sqlite3_step(insert_);
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(db, rc, site, false);
    sqlite3_reset(insert_);
    sqlite3_clear_bindings(insert_);
    return failure;
  }
  sqlite3_reset(insert_);
  sqlite3_clear_bindings(insert_);

  // The stored row becomes current: the values as written, until the first read of a value reads
  // it back by rowid (a table without rowid keeps the values as written).
  insertedRowId_ = sqlite3_last_insert_rowid(db);
  readBackPending_ = true;
  inserted_.Reset(static_cast<int>(count));
  inserted_.AppendRow(values_.data());
  CancelUpdate();
  if (streaming_ && statement_ != nullptr) sqlite3_reset(statement_);
  started_ = true;
  onRow_ = false;
  row_ = rows_.rows();
  onInserted_ = true;
  return S_OK;
}

void Cursor::ReadBackInserted() {
  readBackPending_ = false;
  const int count = static_cast<int>(columns_.size());
  if (readBack_ == nullptr) {
    int rc = SQLITE_OK;
    readBack_ =
        connection_->CachedStatement("SELECT * FROM " + quotedTable_ + " WHERE rowid = ?", &rc);
  }
  if (readBack_ == nullptr || sqlite3_column_count(readBack_) != count) return;
  sqlite3_bind_int64(readBack_, 1, insertedRowId_);
  if (sqlite3_step(readBack_) == SQLITE_ROW) {
    inserted_.Reset(count);
    inserted_.AppendRow(readBack_);
  }
  sqlite3_reset(readBack_);
}

void Cursor::CancelUpdate() {
  pending_ = false;
  // A column that was not assigned holds VT_EMPTY: only the assigned ones have a value to clear.
  for (size_t i = 0; i < pendingValues_.size(); ++i) {
    if (!assigned_[i]) continue;
    VariantClear(&pendingValues_[i]);
    assigned_[i] = false;
  }
}

}  // namespace ado
}  // namespace platform
