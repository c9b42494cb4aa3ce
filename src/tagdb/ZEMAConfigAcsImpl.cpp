#include "tagdb/ZEMAConfigAcsImpl.h"

#include <stdint.h>
#include <string.h>

#include "dbaccess/Failures.h"
#include "dbaccess/PlatformError.h"
#include "platform/afx/afx.h"
#include "platform/sql/quote.h"
#include "tagdb/TagDatabase.h"
#include "tagdb/TagDbNames.h"

using tagdb::Name;

namespace {

// The text of a fixed-size array: up to its terminating zero, or the whole array when the caller
// left out the zero; never reads past the array. Copied, zero-terminated, into a buffer one byte
// longer than the array, which it returns: the writer's texts go out without building strings.
template <size_t N>
const char* TerminatedText(const char (&text)[N], char (&buffer)[N + 1]) {
  const size_t length = strnlen(text, N);
  memcpy(buffer, text, length);
  buffer[length] = '\0';
  return buffer;
}

// Column TagType holds a 16-bit value: a type id outside that range cannot be stored as itself.
bool IsStorableTypeId(int32_t typeId) { return typeId >= INT16_MIN && typeId <= INT16_MAX; }

// The low 16 bits of a type id, as the store keeps it.
int LowWord(int32_t value) { return static_cast<int16_t>(static_cast<uint16_t>(value)); }

// Stores the pending row. A refused row that is still pending is discarded, so that the next
// row starts clean instead of failing on it.
bool StoreRow(CADORecordset& recordset) {
  if (recordset.SaveRecord()) return true;
  if (recordset.NewRecordPending()) recordset.CancelRecordChanges();
  return false;
}

}  // namespace

CZEMAConfigAcsImpl::CZEMAConfigAcsImpl(const char* path) {
  dbaccess::CallScope call;
  if (path == nullptr) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "No path.");
    throw 0;
  }
  connection.reset(OpenTagDatabase(path));
  if (!connection) throw 0;
  databasePath = path;
}

bool CZEMAConfigAcsImpl::HasConnection() {
  if (connection) return true;
  dbaccess::NoteFailure(dbaccess::FailureKind::kOther,
                        "The writer lost its connection when a batch could neither be committed "
                        "nor rolled back, and could not open the database again.");
  return false;
}

void CZEMAConfigAcsImpl::ReopenConnection() {
  // Closing the connection ends its transaction (the engine rolls back what a closing
  // connection leaves open) and lets go of the write lock.
  connection.reset();
  try {
    connection.reset(OpenTagDatabase(databasePath.c_str()));
  } catch (const PlatformError&) {
    // Left without a connection: every later call fails with HasConnection's note.
  }
}

// Closing the connection rolls back a batch still open.
CZEMAConfigAcsImpl::~CZEMAConfigAcsImpl() = default;

bool CZEMAConfigAcsImpl::BeginBatch() {
  if (!HasConnection()) return false;
  if (batchOpen) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "A batch is already open.");
    return false;
  }
  batchOpen = connection->BeginTransaction() != FALSE;
  return batchOpen;
}

bool CZEMAConfigAcsImpl::CommitBatch() {
  if (!HasConnection()) return false;
  if (!batchOpen) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "No batch is open.");
    return false;
  }
  // The batch is over either way: committed, or rolled back. A commit that failed before the
  // engine could act leaves the transaction open, so it is rolled back here; should even that
  // fail, the connection is closed, which ends the transaction, and opened again, so that the
  // writer goes on as without a batch instead of holding the write lock until it is closed.
  batchOpen = false;
  if (connection->CommitTransaction()) return true;
  if (!connection->RollbackTransaction()) ReopenConnection();
  return false;
}

bool CZEMAConfigAcsImpl::RollbackBatch() {
  if (!HasConnection()) return false;
  if (!batchOpen) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "No batch is open.");
    return false;
  }
  batchOpen = !connection->RollbackTransaction();
  return !batchOpen;
}

int CZEMAConfigAcsImpl::SaveTags(const TagRecord* records, int count) {
  dbaccess::CallScope call;
  if (!AfxIsValidAddress(records, AfxBlockSize(count, sizeof(TagRecord)), TRUE)) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "The records are not readable.");
    return 0;
  }
  if (!HasConnection()) return 0;

  SavedTags savedTags;
  if (InsertTagRows(records, count, savedTags)) {
    FailedTags failedTags;
    InsertHMIInfoRows(savedTags);
    InsertValueRows(savedTags, failedTags);
    ValueTableNames valueTables;
    for (LONG tagId : failedTags) RemoveTagRows(tagId, valueTables);
  }
  return 1;
}

bool CZEMAConfigAcsImpl::InsertTagRows(const TagRecord* records, int count, SavedTags& savedTags) {
  auto tags = tagdb::OpenTable(*connection, Name(tagdb::TagsTable));
  if (!tags) return false;

  for (int i = 0; i < count; ++i) {
    const TagRecord& record = records[i];
    if (!tags->BeginNewRecord()) continue;
    char name[sizeof record.TagName + 1];
    char desc[sizeof record.TagDesc + 1];
    tags->WriteFieldText(Name(tagdb::TagNameColumn), TerminatedText(record.TagName, name));
    tags->WriteFieldText(Name(tagdb::TagDescColumn), TerminatedText(record.TagDesc, desc));
    tags->WriteFieldShort(Name(tagdb::TagTypeColumn), LowWord(record.TagType));
    tags->WriteFieldShort(Name(tagdb::TagGroupColumn), record.TagGroup);
    tags->WriteFieldShort(Name(tagdb::TagLevelColumn), record.TagLevel);
    tags->WriteFieldShort(Name(tagdb::AlmLevelColumn), record.AlmLevel);
    // After a refused row the current row belongs to no record of ours (or to another tag), so
    // its TagID is not read: the record gets no display or value rows.
    if (!StoreRow(*tags)) continue;
    LONG tagId = 0;
    if (!tags->ReadFieldLong(Name(tagdb::TagIDColumn), tagId)) continue;
    savedTags.emplace(&record, tagId);
  }

  tags->CloseRecordset();
  return true;
}

bool CZEMAConfigAcsImpl::InsertHMIInfoRows(const SavedTags& savedTags) {
  auto hmiInfo = tagdb::OpenTable(*connection, Name(tagdb::HMIInfoTable));
  if (!hmiInfo) return false;

  for (const auto& [record, tagId] : savedTags) {
    if (record->HMIEntries == nullptr) continue;
    for (int i = 0; i < record->HMICount; ++i) {
      const TagHMIEntry& entry = record->HMIEntries[i];
      hmiInfo->BeginNewRecord();
      hmiInfo->WriteFieldLong(Name(tagdb::TagIDColumn), tagId);
      char fieldName[sizeof entry.FieldName + 1];
      char eu[sizeof entry.EU + 1];
      hmiInfo->WriteFieldText(Name(tagdb::FieldNameColumn),
                              TerminatedText(entry.FieldName, fieldName));
      hmiInfo->WriteFieldDouble(Name(tagdb::SCHColumn), entry.SCH);
      hmiInfo->WriteFieldDouble(Name(tagdb::SCLColumn), entry.SCL);
      hmiInfo->WriteFieldText(Name(tagdb::EUColumn), TerminatedText(entry.EU, eu));
      hmiInfo->WriteFieldLong(Name(tagdb::DecimalColumn), entry.Decimal);
      StoreRow(*hmiInfo);
    }
  }

  hmiInfo->CloseRecordset();
  return true;
}

void CZEMAConfigAcsImpl::InsertValueRows(const SavedTags& savedTags, FailedTags& failedTags) {
  ValueTables valueTables;
  for (const auto& [record, tagId] : savedTags) {
    // Its Tags row holds another type id than the record asked for: delete the tag again.
    if (!IsStorableTypeId(record->TagType)) {
      failedTags.insert(tagId);
      continue;
    }
    OpenValueTable(record->TagType, valueTables);
    auto found = valueTables.find(record->TagType);
    if (found == valueTables.end()) {
      failedTags.insert(tagId);
      continue;
    }

    CADORecordset& values = *found->second;
    values.BeginNewRecord();
    values.WriteFieldLong(Name(tagdb::TagIDColumn), tagId);
    if (record->FieldValues != nullptr) {
      for (int i = 0; i < record->FieldValueCount; ++i) {
        const TagFieldEntry& entry = record->FieldValues[i];
        dbaccess::CVariant copy;
        HRESULT hr = VariantCopy(&copy, &entry.Value);
        if (FAILED(hr)) dbaccess::RaiseError(hr);
        char fieldName[sizeof entry.FieldName + 1];
        values.WriteFieldVariant(TerminatedText(entry.FieldName, fieldName), copy.get());
      }
      // An entry naming the TagID column (in any case) must not file the row under another
      // tag: the tag's own id is written again after the caller's values.
      values.WriteFieldLong(Name(tagdb::TagIDColumn), tagId);
    }
    StoreRow(values);
  }
  CloseValueTables(valueTables);
}

void CZEMAConfigAcsImpl::OpenValueTable(int typeId, ValueTables& valueTables) {
  if (valueTables.count(typeId) != 0) return;
  std::string name = LookupTypeName(typeId);
  if (name.empty()) return;
  if (auto values = tagdb::OpenTable(*connection, name.c_str()))
    valueTables.emplace(typeId, std::move(values));
}

std::string CZEMAConfigAcsImpl::LookupTypeName(int typeId) {
  std::string name;
  auto types = std::make_unique<CADORecordset>(connection.get());
  std::string query = tagdb::FormatStatement(tagdb::kSelectByIdTemplate, Name(tagdb::TagTypesTable),
                                             Name(tagdb::TypeIDColumn), typeId);
  if (types->OpenRecordset(query.c_str(), SourceQuery)) {
    if (!types->AtEndOfRecords() && !types->ReadFieldText(Name(tagdb::TypeNameColumn), name)) {
      name.clear();
    }
    types->CloseRecordset();
  }
  return name;
}

void CZEMAConfigAcsImpl::CloseValueTables(ValueTables& valueTables) {
  // Erasing as we go: should a close fail, the tables still in the map are destroyed with it,
  // and destroying a recordset closes it.
  for (auto it = valueTables.begin(); it != valueTables.end();) {
    it->second->CloseRecordset();
    it = valueTables.erase(it);
  }
}

int CZEMAConfigAcsImpl::DeleteTags(const char* const* names, int count) {
  dbaccess::CallScope call;
  if (!AfxIsValidAddress(names, AfxBlockSize(count, sizeof(const char*)), TRUE)) {
    dbaccess::NoteFailure(dbaccess::FailureKind::kOther, "The names are not readable.");
    return 0;
  }
  if (!HasConnection()) return 0;

  int result = 1;
  ValueTableNames valueTables;
  for (int i = 0; i < count; ++i) result = DeleteTagByName(names[i], valueTables) ? 1 : 0;
  return result;
}

bool CZEMAConfigAcsImpl::DeleteTagByName(const char* name, ValueTableNames& valueTables) {
  return RemoveTagRows(LookupTagId(name), valueTables);
}

LONG CZEMAConfigAcsImpl::LookupTagId(const char* name) {
  LONG tagId = -1;
  if (name == nullptr) return tagId;  // no tag is named by a null name

  auto lookup = std::make_unique<CADORecordset>(connection.get());
  std::string query = tagdb::FormatStatement(
      tagdb::kSelectIdByNameTemplate, Name(tagdb::TagIDColumn), Name(tagdb::TagsTable),
      Name(tagdb::TagNameColumn), tagdb::QuoteSqlText(name).c_str());
  if (lookup->OpenRecordset(query.c_str(), SourceQuery)) {
    if (!lookup->AtEndOfRecords()) lookup->ReadFieldLong(0, tagId);
    lookup->CloseRecordset();
  }
  return tagId;
}

bool CZEMAConfigAcsImpl::RemoveTagRows(LONG tagId, ValueTableNames& valueTables) {
  DeleteTagRow(tagId);
  DeleteValueRows(tagId, valueTables);
  return DeleteHMIInfoRows(tagId);
}

bool CZEMAConfigAcsImpl::DeleteTagRow(LONG tagId) {
  std::string statement = tagdb::FormatStatement(tagdb::kDeleteByIdTemplate, Name(tagdb::TagsTable),
                                                 Name(tagdb::TagIDColumn), tagId);
  return connection->ExecuteStatement(statement.c_str());
}

void CZEMAConfigAcsImpl::DeleteValueRows(LONG tagId, ValueTableNames& valueTables) {
  // The tag's own type is not consulted: its row goes from every value table there is. Deleting
  // rows leaves TagTypes as it is, so the first tag reads it and the others reuse what it read.
  if (valueTables.read) {
    for (const std::string& quotedTable : valueTables.quoted) DeleteValueRow(tagId, quotedTable);
    return;
  }
  // The names count as read only once the whole table was walked: a TagTypes that does not
  // open for this tag is tried again for the next one.
  valueTables.quoted.clear();
  auto types = tagdb::OpenTable(*connection, Name(tagdb::TagTypesTable));
  if (!types) return;
  while (!types->AtEndOfRecords()) {
    std::string name;
    types->ReadFieldText(Name(tagdb::TypeNameColumn), name);
    // The table name comes from the database: it goes in as a quoted identifier, whatever it
    // holds.
    valueTables.quoted.push_back(platform::sql::QuoteName(name));
    DeleteValueRow(tagId, valueTables.quoted.back());
    types->MoveToNextRecord();
  }
  types->CloseRecordset();
  valueTables.read = true;
}

bool CZEMAConfigAcsImpl::DeleteValueRow(LONG tagId, const std::string& quotedTable) {
  std::string statement = tagdb::FormatStatement(tagdb::kDeleteByIdTemplate, quotedTable.c_str(),
                                                 Name(tagdb::TagIDColumn), tagId);
  return connection->ExecuteStatement(statement.c_str());
}

bool CZEMAConfigAcsImpl::DeleteHMIInfoRows(LONG tagId) {
  std::string statement = tagdb::FormatStatement(
      tagdb::kDeleteByIdTemplate, Name(tagdb::HMIInfoTable), Name(tagdb::TagIDColumn), tagId);
  return connection->ExecuteStatement(statement.c_str());
}
