// Every table of a tag database, on either engine, with its columns' declared types and its
// rows in order (the order decides which row of a TagID or a name is the one the library takes),
// values as the library's engines keep them. `copy` reads a database through it and `diff`
// compares databases of different engines through it.
#ifndef ZEMATAG_DBTABLES_H
#define ZEMATAG_DBTABLES_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/ado/column_type.h"
#include "platform/ado/value_codec.h"

class CServerDb;

struct TableColumn {
  std::string name;
  std::string declared;               // the Jet type name
  bool key = false;                   // the primary key the engine numbers (Tags.TagID)
  platform::ado::ColumnType meaning;  // what the engine delivers its values as
};

struct TableShape {
  std::string name;
  std::vector<TableColumn> columns;
  long long sequence = -1;  // the largest number the key ever took, -1 when unknown
  const TableColumn* Key() const;
};

class CDbTables {
 public:
  // Opens a database file (SQLite) or a server database (URI) for reading, in one snapshot
  // until destruction. Throws ToolError naming it when it does not open.
  static std::unique_ptr<CDbTables> Open(const std::string& database);
  // Reads through an open server connection, inside the transaction it is in (a copy checks
  // what it wrote before it commits).
  static std::unique_ptr<CDbTables> OnServer(CServerDb* server);
  virtual ~CDbTables() = default;
  // The tables in the order they were made, without the change tracking of a file
  // (ConfigGeneration, AuditLog), which belongs to the file it was kept in.
  virtual std::vector<TableShape> Tables() = 0;
  // The rows of a table in order: the key's order where it has one, else storage order.
  using Row = std::function<void(const std::vector<platform::ado::StoredValue>& values)>;
  virtual void Rows(const TableShape& table, const Row& row) = 0;
  virtual bool IsServer() const = 0;
  const std::string& Shown() const { return shown; }
  // The change-tracking tables Tables() passed over.
  const std::vector<std::string>& LeftOut() const { return leftOut; }

 protected:
  std::string shown;
  std::vector<std::string> leftOut;
};

// A value as the library delivers it from a column, as text that is equal exactly when the
// delivered values are equal ("i:5", "d:2.5", "c:1.2345", "s:text", "x:00ff", "null").
std::string DeliveredText(const platform::ado::ColumnType& meaning,
                          const platform::ado::StoredValue& value);

// The tables of a tag database that change tracking keeps (never copied between databases).
bool IsTrackingTable(const std::string& name);

#endif
