// The tool's own use of the database engines, kept to the schema: `zematag init` creates the
// tables of a tag database, and the other commands read the type table and the declared column
// types of the value tables (read-only), which the library does not report. Tags and their values
// are read through CZEMATagAcs and written through CZEMAConfigAcs only. A database is an SQLite
// file (a Jet or ACE file read into memory) or, for a postgresql:// URI, a server database.
#ifndef ZEMATAG_SCHEMASTORE_H
#define ZEMATAG_SCHEMASTORE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ServerDb.h"
#include "TypeDescription.h"

struct sqlite3;
struct sqlite3_stmt;

class CSchemaStore {
 public:
  // Opens an existing database file read-only, or connects to the server database a URI names.
  // Throws ToolError when the file is missing, the server cannot be reached, or it is not a tag
  // database (tables TagTypes, Tags and HMIInfo). A Jet or ACE file is read whole into memory
  // (OpenJet).
  static CSchemaStore OpenReadOnly(const std::string& path);
  // Reads every table of the Jet or ACE file at path, tag database or not, into an in-memory
  // database, calling progress(rows read, rows in all) as it goes (when given). Throws ToolError
  // naming the file and the reason when it cannot be read.
  using JetProgress = std::function<void(long long done, long long total)>;
  static CSchemaStore OpenJet(const std::string& path, const JetProgress& progress);
  // Opens an existing tag database for the tool's own repairs (check --fix). Throws ToolError
  // as OpenReadOnly does, and when the file cannot be written.
  static CSchemaStore OpenForRepair(const std::string& path);
  // Creates a new tag database with the types' tables and indexes, in WAL mode. The file is
  // built beside the target and renamed into place when complete, so a failure leaves nothing.
  // REQUIRES: types validated (ValidateTypes); no file at path.
  static void Create(const std::string& path, const std::vector<TypeDef>& types);
  // Creates the tables, indexes and Jet domains of a tag database on the server, all in one
  // transaction. An existing tag database there is refused, or replaced with force (its tag
  // tables dropped in the same transaction). REQUIRES: types validated.
  static void CreateOnServer(const std::string& uri, const std::vector<TypeDef>& types, bool force);

  CSchemaStore(CSchemaStore&& other) noexcept
      : db(other.db),
        server(std::move(other.server)),
        path(other.path),
        nameLookup(other.nameLookup) {
    other.db = nullptr;
    other.nameLookup = nullptr;
  }
  CSchemaStore(const CSchemaStore&) = delete;
  CSchemaStore& operator=(const CSchemaStore&) = delete;
  ~CSchemaStore();

  // The types in TypeID order, each with its value table's fields and their declared types.
  std::vector<TypeDef> Types();
  // Runs a read-only query and calls row() with the text of each column of each row (NULL as
  // "", isNull set). Throws ToolError on an engine error.
  using Row =
      std::function<void(const std::vector<std::string>& columns, const std::vector<bool>& isNull)>;
  void Query(const std::string& sql, const Row& row);
  // Whether a table of that name (ignoring case, as SQLite does) exists.
  bool HasTable(const std::string& name);
  // The TagIDs of the tags named exactly name, as committed when the call begins (each call
  // is a read of its own, so a caller holding the write lock elsewhere sees the current
  // state). Throws ToolError on an engine error.
  std::vector<long long> TagIdsNamed(const std::string& name);
  // SQLite's own integrity check: the problems it lists, none for a sound file (and for a
  // server, which keeps its own storage sound).
  std::vector<std::string> IntegrityProblems();
  // Runs statements in one write transaction (taken at once, so the lock is held throughout);
  // everything or nothing. Throws ToolError with the reason (locked, read-only, disk full).
  void ExecuteInTransaction(const std::string& sql);
  // The open database, for commands that read every table (convert); null on a server.
  sqlite3* Handle() const { return db; }
  // The server connection, null for a file.
  CServerDb* Server() const { return server.get(); }
  // The column that tells rows apart in statements the tool writes: rowid or ctid.
  const char* RowIdColumn() const { return server ? "ctid" : "rowid"; }
  // A value of RowIdColumn() as a literal.
  std::string RowIdLiteral(const std::string& value) const;

 private:
  CSchemaStore(sqlite3* handle, std::string file) : db(handle), path(std::move(file)) {}
  CSchemaStore(std::unique_ptr<CServerDb> serverDb, std::string file)
      : db(nullptr), server(std::move(serverDb)), path(std::move(file)) {}
  static CSchemaStore Open(const std::string& path, bool forWriting);
  // Throws ToolError unless the store holds TagTypes, Tags and HMIInfo.
  static CSchemaStore CheckTagTables(CSchemaStore store);
  // Throws ToolError naming the file and the reason of the last failure.
  [[noreturn]] void Fail(int code) const;
  sqlite3* db;
  std::unique_ptr<CServerDb> server;
  std::string path;
  sqlite3_stmt* nameLookup = nullptr;
};

// The statement that indexes column of table, as every tag database made by the tool has.
std::string IndexSql(const std::string& table, const std::string& column);
// The indexes of every tag database made by the tool: TypeID, TagName, TagType, the TagID of
// HMIInfo and of each value table.
std::string TagIndexesSql(const std::vector<std::string>& valueTables);
// A column of a table to be made.
struct ColumnDecl {
  std::string name;
  std::string declared;  // the Jet type name
  bool key = false;      // the primary key, numbered by the engine (Tags.TagID)
};
// The statements that make a table on the server: each column of the type nearest its declared
// type, the declared text kept as the column's comment, the key numbered by the server.
std::string ServerTableSql(CServerDb& server, const std::string& table,
                           const std::vector<ColumnDecl>& columns);
// The same in an SQLite file: columns declared as given, the key INTEGER PRIMARY KEY
// AUTOINCREMENT.
std::string FileTableSql(const std::string& table, const std::vector<ColumnDecl>& columns);
// The columns of the fixed tables, as `init` makes them.
std::vector<ColumnDecl> TagTypesColumns();
std::vector<ColumnDecl> TagsColumns();
std::vector<ColumnDecl> HMIInfoColumns();

#endif
