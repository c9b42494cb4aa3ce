// Opening and closing tag database files.
#ifndef ZEMA_TAGDB_TAGDATABASE_H
#define ZEMA_TAGDB_TAGDATABASE_H

#include <memory>
#include <string>

#include "dbaccess/ADODataBase.h"
#include "dbaccess/ADORecordset.h"

// A new connection opened for writing (mode 2) on the file at path, or null when the file does
// not open. The caller owns it and ends it with CloseTagDatabase. May throw PlatformError when
// the connection cannot even be set up.
CADODataBase* OpenTagDatabase(const char* path);
// The same, opened for reading (mode 1): one consistent snapshot until closed.
CADODataBase* OpenTagDatabaseReadOnly(const char* path);
// Closes and destroys the connection; null is ignored.
void CloseTagDatabase(CADODataBase* database);

namespace tagdb {

// Ends a tag database connection through CloseTagDatabase: for the owner of a connection, the
// reader for the length of a Load and the writer for its life. A failing close is dropped: it
// runs in destructors, which cannot pass an error on (and may run while a PlatformError is on its
// way), the connection is destroyed regardless, and whatever was read or written before it stays
// whole.
struct DatabaseCloser {
  void operator()(CADODataBase* database) const;
};
using DatabaseConnection = std::unique_ptr<CADODataBase, DatabaseCloser>;

// A table of the database opened in table mode, or null when it does not open (the access layer
// has reported why).
std::unique_ptr<CADORecordset> OpenTable(CADODataBase& database, const char* table);

// printf-style formatting of a statement template.
std::string FormatStatement(const char* templateText, ...) __attribute__((format(printf, 1, 2)));
// text with every single quote doubled, for a name placed between single quotes.
std::string QuoteSqlText(const char* text);
}  // namespace tagdb

#endif
