// Cursor: the columns and rows of an open recordset, and the new row being added.
#include <string.h>

#include "platform/ado/ado_objects.h"
#include "platform/ado/statement_form.h"
#include "platform/ado/stored_bind.h"
#include "platform/oleaut/internal.h"
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
  columnCount = columns;
  cells.clear();
  arena.clear();
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
      cell.offset = arena.size();
      arena.append(value.bytes != nullptr ? value.bytes : "", static_cast<size_t>(value.size));
      break;
    default:
      cell.integer = 0;
      break;
  }
  cells.push_back(cell);
}

void RowBuffer::AppendRow(sqlite3_stmt* statement) {
  for (int column = 0; column < columnCount; ++column) Append(ReadStored(statement, column));
}

void RowBuffer::AppendRow(const StoredValue* values) {
  for (int column = 0; column < columnCount; ++column) Append(values[column]);
}

StoredValue RowBuffer::Get(size_t row, int column) const {
  const Cell& cell = cells[row * columnCount + column];
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
      value.bytes = arena.data() + cell.offset;
      break;
    default:
      break;
  }
  return value;
}

// Cursor

Cursor::Cursor(ConnectionImpl* connection) : activeConnection(connection) {}

Cursor::~Cursor() { Close(); }

void Cursor::Close() {
  if (!isOpen) return;
  isOpen = false;
  CancelUpdate();
  sqlite3_finalize(query);
  query = nullptr;
  engineRows.reset();
  cachedRows.Reset(0);
  inserted.Reset(0);
  insert = nullptr;  // owned by the connection
  readBack = nullptr;
  readBackPending = false;
  insertedUnfilled = false;
  activeConnection->Detach(this);
  activeConnection->Release();
}

void Cursor::BuildNameIndex() {
  exactNames.clear();
  foldedNames.clear();
  for (size_t i = 0; i < columnList.size(); ++i) {
    exactNames.emplace(columnList[i].wideName, static_cast<int>(i));
    foldedNames.emplace(FoldAscii(columnList[i].wideName), static_cast<int>(i));
  }
  const int count = static_cast<int>(columnList.size());
  cachedRows.Reset(count);
  inserted.Reset(count);
  pendingValues.assign(columnList.size(), VARIANT());
  for (VARIANT& v : pendingValues) VariantInit(&v);
  assigned.assign(columnList.size(), false);
  scratch.assign(columnList.size(), std::string());
  values.assign(columnList.size(), StoredValue());
  included.assign(columnList.size(), 0);
  insertColumns.clear();
  rowIdAlias = -1;
  insertedUnfilled = false;
  streaming = activeConnection->readOnly();
  isOpen = true;
  activeConnection->AddRef();
  activeConnection->Attach(this);
}

int Cursor::FindColumn(std::u16string_view name) const {
  auto exact = exactNames.find(name);
  if (exact != exactNames.end()) return exact->second;
  auto folded = foldedNames.find(FoldAscii(name));
  return folded != foldedNames.end() ? folded->second : -1;
}

HRESULT Cursor::OpenTable(const std::string& name) {
  if (EngineConnection* engine = activeConnection->engine()) {
    std::vector<Column> columns;
    if (HRESULT hr = engine->TableColumns(name, &columns, kRecordsetSite); FAILED(hr)) return hr;
    table = name;
    columnList = std::move(columns);
    inTableMode = true;
    BuildNameIndex();
    return S_OK;
  }
  sqlite3* db = activeConnection->db();
  quotedTable = QuoteIdentifier(name);
  const std::string pragma = "PRAGMA table_info(" + quotedTable + ")";
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
  columnList = std::move(columns);
  inTableMode = true;
  BuildNameIndex();
  return S_OK;
}

HRESULT Cursor::OpenStatement(const std::string& sql, bool* returnsRows) {
  if (EngineConnection* engine = activeConnection->engine()) {
    std::vector<Column> columns;
    std::unique_ptr<EngineRows> rows;
    LONG affected = -1;
    if (HRESULT hr = engine->Run(sql, &columns, &rows, &affected, kRecordsetSite); FAILED(hr))
      return hr;
    *returnsRows = rows != nullptr;
    if (rows != nullptr) OpenRows(std::move(columns), std::move(rows));
    return S_OK;
  }
  sqlite3* db = activeConnection->db();
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
  columnList.clear();
  columnList.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    Column column;
    const char* name = sqlite3_column_name(statement, i);
    column.name = name != nullptr ? name : "";
    column.wideName = Utf8ToUtf16(column.name);
    column.type = ColumnTypeFromDeclared(sqlite3_column_decltype(statement, i));
    column.attributes = BaseAttributes(column.type) | adFldIsNullable | adFldMayBeNull;
    columnList.push_back(std::move(column));
  }
  query = statement;
  inTableMode = false;
  BuildNameIndex();
}

void Cursor::OpenRows(std::vector<Column> columns, std::unique_ptr<EngineRows> rows) {
  columnList = std::move(columns);
  engineRows = std::move(rows);
  inTableMode = false;
  BuildNameIndex();
}

HRESULT Cursor::Step(const ErrorSite& site) {
  const int rc = sqlite3_step(query);
  if (rc == SQLITE_ROW) {
    onCurrentRow = true;
    return S_OK;
  }
  onCurrentRow = false;
  sqlite3_reset(query);
  if (rc == SQLITE_DONE) return S_OK;
  return FailEngine(activeConnection->db(), rc, site, false);
}

HRESULT Cursor::Start(const ErrorSite& site) {
  if (started) return S_OK;
  if (EngineConnection* engine = activeConnection->engine()) {
    if (engineRows == nullptr) {
      if (HRESULT hr = engine->TableRows(table, &engineRows, site); FAILED(hr)) return hr;
    }
    bool onRow = false;
    if (HRESULT hr = engineRows->Next(&onRow, site); FAILED(hr)) return hr;
    onCurrentRow = onRow;
    started = true;
    return S_OK;
  }
  sqlite3* db = activeConnection->db();
  if (query == nullptr) {
    const std::string sql = "SELECT * FROM " + quotedTable;
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &query, nullptr);
    if (rc != SQLITE_OK) return FailEngine(db, rc, site, true);
  }
  if (streaming) {
    const HRESULT hr = Step(site);
    if (SUCCEEDED(hr)) started = true;
    return hr;
  }
  // Read-write connection: fetch every row now and leave nothing pending.
  cachedRows.Reset(static_cast<int>(columnList.size()));
  int rc;
  while ((rc = sqlite3_step(query)) == SQLITE_ROW) cachedRows.AppendRow(query);
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(db, rc, site, false);
    sqlite3_reset(query);
    cachedRows.Reset(static_cast<int>(columnList.size()));
    return failure;
  }
  sqlite3_finalize(query);
  query = nullptr;
  started = true;
  row = 0;
  onCurrentRow = cachedRows.rows() > 0;
  return S_OK;
}

HRESULT Cursor::Eof(bool* eof, const ErrorSite& site) {
  if (hasPending) {
    *eof = false;
    return S_OK;
  }
  if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  *eof = !(onCurrentRow || onInserted);
  return S_OK;
}

HRESULT Cursor::MoveNext(const ErrorSite& site) {
  if (hasPending) {
    if (HRESULT hr = Update(site); FAILED(hr)) return hr;
  }
  if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  if (onInserted) {
    onInserted = false;
    return S_OK;
  }
  if (!onCurrentRow) return Fail(adErrNoCurrentRecord, site, kNoCurrentRow);
  if (engineRows != nullptr) {
    bool onRow = false;
    const HRESULT hr = engineRows->Next(&onRow, site);
    onCurrentRow = SUCCEEDED(hr) && onRow;
    return hr;
  }
  if (streaming) return Step(site);
  ++row;
  onCurrentRow = row < cachedRows.rows();
  return S_OK;
}

HRESULT Cursor::CurrentValue(int column, StoredValue* value, bool* onPending,
                             const ErrorSite& site) {
  *onPending = hasPending;
  if (hasPending) return S_OK;
  if (!started) {
    if (HRESULT hr = Start(site); FAILED(hr)) return hr;
  }
  if (onInserted) {
    if (readBackPending) {
      // The key of a row that the INSERT alone changed (no trigger changed any row) is the
      // rowid the engine gave it: no need to read the row back for it.
      if (insertedAlone && columnList[column].rowId && RowIdIsAlias()) {
        value->storage = StoredValue::kInteger;
        value->integer = insertedRowId;
        return S_OK;
      }
      ReadBackInserted();
    }
    if (insertedUnfilled) {
      inserted.Reset(static_cast<int>(columnList.size()));
      inserted.AppendRow(values.data());
      insertedUnfilled = false;
    }
    *value = inserted.Get(0, column);
  } else if (!onCurrentRow) {
    return Fail(adErrNoCurrentRecord, site, kNoCurrentRow);
  } else if (engineRows != nullptr) {
    *value = engineRows->Get(column);
  } else if (streaming) {
    *value = ReadStored(query, column);
  } else {
    *value = cachedRows.Get(row, column);
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
  if (!onPending && AsciiCodePage() && StoredAsciiText(columnList[column].type, stored, &ascii)) {
    *text = ascii.data();
    *size = ascii.size();
    return S_OK;
  }
  return Deliver(column, stored, onPending, value, site);
}

HRESULT Cursor::Deliver(int column, const StoredValue& stored, bool onPending, VARIANT* value,
                        const ErrorSite& site) {
  if (onPending) {
    if (!assigned[column]) {
      value->vt = VT_NULL;
      return S_OK;
    }
    HRESULT hr = VariantCopy(value, &pendingValues[column]);
    return FAILED(hr) ? Fail(hr, site, "The value could not be copied.") : S_OK;
  }
  HRESULT hr = StoredToVariant(columnList[column].type, stored, value);
  return FAILED(hr) ? Fail(hr, site, "Out of memory while reading a value.") : S_OK;
}

HRESULT Cursor::ActualSize(int column, LONG* size, const ErrorSite& site) {
  StoredValue stored;
  bool onPending;
  if (HRESULT hr = CurrentValue(column, &stored, &onPending, site); FAILED(hr)) return hr;
  if (onPending) {
    std::string buffer;
    EncodeForStorage(columnList[column].type, pendingValues[column], &stored, &buffer);
  }
  *size = StoredActualSize(columnList[column].type, stored);
  return S_OK;
}

HRESULT Cursor::AddNew(const ErrorSite& site) {
  if (!inTableMode)
    return Fail(adErrFeatureNotAvailable, site,
                "Rows can be added only to a recordset opened on a table.");
  if (hasPending) {
    if (HRESULT hr = Update(site); FAILED(hr)) return hr;
  }
  hasPending = true;
  return S_OK;
}

HRESULT Cursor::Put(int column, const VARIANT& value, const ErrorSite& site) {
  if (!hasPending)
    return Fail(adErrFeatureNotAvailable, site, "Only a new row begun by AddNew can be written.");
  VARIANT converted;
  converted.vt = VT_EMPTY;
  std::string why;
  const HRESULT hr = ConvertForColumn(columnList[column].type, value, &converted, &why);
  if (FAILED(hr)) return Fail(hr, site, "Column '" + columnList[column].name + "': " + why);
  // A value that owns nothing (the column's first value of the row, a number) is overwritten.
  if (!IsPlainValueType(pendingValues[column].vt)) VariantClear(&pendingValues[column]);
  pendingValues[column] = converted;
  assigned[column] = true;
  return S_OK;
}

HRESULT Cursor::NextCounter(const Column& column, int64_t* next, const ErrorSite& site) {
  const std::string sql =
      "SELECT coalesce(max(" + QuoteIdentifier(column.name) + "), 0) + 1 FROM " + quotedTable;
  int rc;
  sqlite3_stmt* statement = activeConnection->CachedStatement(sql, &rc);
  if (statement == nullptr) return FailEngine(activeConnection->db(), rc, site, true);
  rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW) {
    const HRESULT failure = FailEngine(activeConnection->db(), rc, site, false);
    sqlite3_reset(statement);
    return failure;
  }
  *next = sqlite3_column_int64(statement, 0);
  sqlite3_reset(statement);
  return S_OK;
}

HRESULT Cursor::Update(const ErrorSite& site) {
  if (!hasPending) return S_OK;
  if (HRESULT hr = activeConnection->CheckTransaction(site); FAILED(hr)) return hr;
  if (EngineConnection* engine = activeConnection->engine()) {
    std::vector<StoredValue> stored;
    if (HRESULT hr = engine->Insert(table, columnList, pendingValues, assigned, &stored, site);
        FAILED(hr))
      return hr;
    inserted.Reset(static_cast<int>(columnList.size()));
    inserted.AppendRow(stored.data());
    insertedUnfilled = false;
    CancelUpdate();
    started = true;
    onCurrentRow = false;
    onInserted = true;
    return S_OK;
  }
  sqlite3* db = activeConnection->db();
  const size_t count = columnList.size();
  bool borrowsArrays = false;  // a blob's bytes stay in its VARIANT, cleared below
  for (size_t i = 0; i < count; ++i) {
    const Column& column = columnList[i];
    values[i] = StoredValue();
    included[i] = 0;
    if (assigned[i]) {
      EncodeForStorage(column.type, pendingValues[i], &values[i], &scratch[i]);
      borrowsArrays = borrowsArrays || values[i].storage == StoredValue::kBlob;
      included[i] = 1;
    } else if (column.type.counter && !column.rowId) {
      int64_t next = 0;
      if (HRESULT hr = NextCounter(column, &next, site); FAILED(hr)) return hr;
      values[i].storage = StoredValue::kInteger;
      values[i].integer = next;
      included[i] = 1;
    }
  }
  // One prepared INSERT per set of assigned columns, kept by the connection; the last one used
  // is remembered here, since rows added one after another assign the same columns.
  int rc = SQLITE_OK;
  if (insert == nullptr || included != insertColumns) {
    std::string names, marks;
    for (size_t i = 0; i < count; ++i) {
      if (!included[i]) continue;
      if (!names.empty()) names += ", ", marks += ", ";
      names += QuoteIdentifier(columnList[i].name);
      marks += "?";
    }
    const std::string sql =
        "INSERT INTO " + quotedTable +
        (names.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")");
    insert = activeConnection->CachedStatement(sql, &rc);
    if (insert == nullptr) return FailEngine(db, rc, site, true);
    insertColumns = included;
  }
  int index = 0;
  for (size_t i = 0; i < count && rc == SQLITE_OK; ++i)
    if (included[i]) rc = BindStored(insert, ++index, values[i], SQLITE_STATIC);
  const sqlite3_int64 changesBefore = sqlite3_total_changes64(db);
  if (rc == SQLITE_OK) rc = sqlite3_step(insert);
  if (rc != SQLITE_DONE) {
    const HRESULT failure = FailEngine(db, rc, site, false);
    sqlite3_reset(insert);
    sqlite3_clear_bindings(insert);
    return failure;
  }
  // Every parameter is bound again before the statement next runs: the bindings may stay.
  sqlite3_reset(insert);

  // The stored row becomes current: the values as written, until the first read of a value reads
  // it back by rowid (a table without rowid keeps the values as written). The values are copied
  // at that first read too: they stay in values and scratch until the next row, except the
  // bytes of a blob, which go with the pending VARIANT.
  insertedRowId = sqlite3_last_insert_rowid(db);
  insertedAlone = sqlite3_total_changes64(db) - changesBefore == 1;
  readBackPending = true;
  insertedUnfilled = !borrowsArrays;
  if (borrowsArrays) {
    inserted.Reset(static_cast<int>(count));
    inserted.AppendRow(values.data());
  }
  CancelUpdate();
  if (streaming && query != nullptr) sqlite3_reset(query);
  started = true;
  onCurrentRow = false;
  row = cachedRows.rows();
  onInserted = true;
  return S_OK;
}

void Cursor::ReadBackInserted() {
  readBackPending = false;
  const int count = static_cast<int>(columnList.size());
  if (readBack == nullptr) {
    int rc = SQLITE_OK;
    readBack =
        activeConnection->CachedStatement("SELECT * FROM " + quotedTable + " WHERE rowid = ?", &rc);
  }
  if (readBack == nullptr || sqlite3_column_count(readBack) != count) return;
  sqlite3_bind_int64(readBack, 1, insertedRowId);
  if (sqlite3_step(readBack) == SQLITE_ROW) {
    inserted.Reset(count);
    inserted.AppendRow(readBack);
    insertedUnfilled = false;
  }
  sqlite3_reset(readBack);
}

bool Cursor::RowIdIsAlias() {
  if (rowIdAlias < 0) {
    // An INTEGER PRIMARY KEY is the rowid unless the key has an index of its own: declared
    // DESC, or in a table WITHOUT ROWID.
    rowIdAlias = 0;
    sqlite3_stmt* list = nullptr;
    const std::string sql = "PRAGMA index_list(" + quotedTable + ")";
    if (sqlite3_prepare_v2(activeConnection->db(), sql.c_str(), -1, &list, nullptr) == SQLITE_OK) {
      bool keyIndex = false;
      int rc;
      while ((rc = sqlite3_step(list)) == SQLITE_ROW) {
        const unsigned char* origin = sqlite3_column_text(list, 3);
        if (origin != nullptr && strcmp(reinterpret_cast<const char*>(origin), "pk") == 0)
          keyIndex = true;
      }
      rowIdAlias = rc == SQLITE_DONE && !keyIndex ? 1 : 0;
    }
    sqlite3_finalize(list);
  }
  return rowIdAlias == 1;
}

void Cursor::CancelUpdate() {
  hasPending = false;
  // A column that was not assigned holds VT_EMPTY: only the assigned ones have a value to clear,
  // and of those only text and arrays own something.
  for (size_t i = 0; i < pendingValues.size(); ++i) {
    if (!assigned[i]) continue;
    if (IsPlainValueType(pendingValues[i].vt))
      pendingValues[i].vt = VT_EMPTY;
    else
      VariantClear(&pendingValues[i]);
    assigned[i] = false;
  }
}

}  // namespace ado
}  // namespace platform
