// CZEMAConfigAcsImpl: the configuration writer behind CZEMAConfigAcs::Open.
//
// Owns one connection, opened for writing, from construction to destruction. SaveTags inserts
// new tags (Tags row, HMIInfo rows, one row of the type's value table) and deletes again the tags
// whose type has no usable value table; DeleteTags removes tags by name from every table. No
// transaction spans a call: each stored or deleted row is final at once, unless the caller
// opened a batch (BeginBatch), which holds every row of the calls that follow until it is
// committed or rolled back.
//
// Threads: one thread at a time, the one that opened the writer.
#ifndef ZEMA_TAGDB_ZEMACONFIGACSIMPL_H
#define ZEMA_TAGDB_ZEMACONFIGACSIMPL_H

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"
#include "dbaccess/ADODataBase.h"
#include "dbaccess/ADORecordset.h"
#include "tagdb/TagDatabase.h"

class CZEMAConfigAcsImpl : public CZEMAConfigAcs {
 public:
  // Opens the tag database at path for writing. Throws the integer 0 when path is null or the
  // file does not open (nothing is left behind); a PlatformError from setting up the connection
  // passes to the caller.
  explicit CZEMAConfigAcsImpl(const char* path);
  // Closes the connection.
  ~CZEMAConfigAcsImpl() override;
  CZEMAConfigAcsImpl(const CZEMAConfigAcsImpl&) = delete;
  CZEMAConfigAcsImpl& operator=(const CZEMAConfigAcsImpl&) = delete;

  int SaveTags(const TagRecord* records, int count) override;
  int DeleteTags(const char* const* names, int count) override;

  // One write transaction over the calls between BeginBatch and CommitBatch or RollbackBatch
  // (ZEMABatch.h). False, with the failure noted, when a batch is already open (Begin) or none
  // is (Commit, Rollback), or the engine refuses. A commit that fails leaves nothing of the
  // batch; either way the batch is over. When neither the commit nor the rollback after it
  // succeeds, the connection is closed (which ends the transaction) and opened again; should that
  // fail, every later call fails until the writer is closed.
  bool BeginBatch();
  bool CommitBatch();
  bool RollbackBatch();

 private:
  // The TagID the store assigned to each saved record, keyed by the record's address (so
  // iteration follows array order). A record whose Tags row was refused has no entry.
  using SavedTags = std::map<const TagRecord*, LONG>;
  // Tags to delete again at the end of a SaveTags call, ascending.
  using FailedTags = std::set<LONG>;
  // The value tables open during one SaveTags call, by type id.
  using ValueTables = std::map<int, std::unique_ptr<CADORecordset>>;

  // False when table Tags does not open (then nothing is written).
  bool InsertTagRows(const TagRecord* records, int count, SavedTags& savedTags);
  // False when table HMIInfo does not open (then no display row is written).
  bool InsertHMIInfoRows(const SavedTags& savedTags);
  // Adds to failedTags every saved tag whose type has no usable value table.
  void InsertValueRows(const SavedTags& savedTags, FailedTags& failedTags);
  // Opens the value table of typeId into valueTables unless it is there; leaves no entry when
  // the type is unknown, has an empty name or its table does not open.
  void OpenValueTable(int typeId, ValueTables& valueTables);
  // TypeName of the type, or "" when there is none.
  std::string LookupTypeName(int typeId);
  // Closes every table in key order and empties the map.
  void CloseValueTables(ValueTables& valueTables);

  // The value tables of one DeleteTags call or one SaveTags removal pass, as quoted
  // identifiers: read from TagTypes once, while the first tag's value rows are deleted. None
  // when TagTypes does not open then.
  struct ValueTableNames {
    bool read = false;
    std::vector<std::string> quoted;
  };

  // Whether the HMIInfo deletion for the tag found by name ran without error.
  bool DeleteTagByName(const char* name, ValueTableNames& valueTables);
  // TagID of the first row named name, or -1.
  LONG LookupTagId(const char* name);
  // Deletes the tag's rows from Tags, every value table and HMIInfo; the HMIInfo result.
  bool RemoveTagRows(LONG tagId, ValueTableNames& valueTables);
  bool DeleteTagRow(LONG tagId);
  void DeleteValueRows(LONG tagId, ValueTableNames& valueTables);
  // REQUIRES: quotedTable is a quoted identifier.
  bool DeleteValueRow(LONG tagId, const std::string& quotedTable);
  bool DeleteHMIInfoRows(LONG tagId);

  // False, with the failure noted, when the writer has no connection (ReopenConnection failed).
  bool HasConnection();
  // Replaces the connection by a new one on the same path (null when that does not open).
  void ReopenConnection();

  tagdb::DatabaseConnection connection;
  std::string databasePath;  // as Open was given it, for ReopenConnection
  bool batchOpen = false;
};

#endif
