// CADODataBase: one connection of the access layer to a database.
//
// Guarded operations catch a PlatformError, record a report (lastErrorText, lastErrorCode,
// lastErrorDescription) and return FALSE; unguarded ones let the PlatformError pass. A
// successful operation does not clear the report.
#ifndef ZEMA_DBACCESS_ADODATABASE_H
#define ZEMA_DBACCESS_ADODATABASE_H

#include <string>

#include "dbaccess/PlatformError.h"
#include "platform/ado/ado.h"

class CADODataBase {
 public:
  // Initialises COM on this thread and creates the Connection (null when creation fails; not
  // reported here).
  CADODataBase();
  // Closes the connection, releases it and balances the COM initialisation.
  virtual ~CADODataBase();
  CADODataBase(const CADODataBase&) = delete;
  CADODataBase& operator=(const CADODataBase&) = delete;

  void SetConnectionString(const char* text) { connectionString = text ? text : ""; }
  // Unguarded.
  void SetConnectionMode(LONG mode);
  // An empty connection string keeps the stored one. TRUE only when the open returned S_OK.
  BOOL OpenConnection(const char* connectionText, const char* userId, const char* password);
  // Unguarded; FALSE when the Connection was never created.
  BOOL IsConnectionOpen();
  // Unguarded; the stored connection string stays.
  void CloseConnection();
  // Guarded: runs one statement that returns no rows; recordsAffected gets its count.
  BOOL ExecuteStatement(const char* sql);
  std::string ConnectionString() const { return connectionString; }
  // Guarded: one transaction on the connection (see ADOConnection::BeginTrans). Rows stored
  // until CommitTransaction are seen by no other connection; RollbackTransaction, a failed
  // commit or closing the connection discards them.
  BOOL BeginTransaction();
  BOOL CommitTransaction();
  BOOL RollbackTransaction();

  // REQUIRES: the connection is used only on the thread that created this object.
  ADOConnection* Connection() const { return connection.get(); }

  const std::string& LastErrorText() const { return lastErrorText; }
  const std::string& LastErrorDescription() const { return lastErrorDescription; }
  HRESULT LastErrorCode() const { return static_cast<HRESULT>(lastErrorCode); }
  LONG RecordsAffected() const { return recordsAffected; }

 private:
  void ReportConnectionError(const PlatformError& error);

  dbaccess::CComPtr<ADOConnection> connection;
  std::string connectionString;
  std::string lastErrorText;
  std::string lastErrorDescription;
  ULONG lastErrorCode = 0;
  LONG recordsAffected = 0;
  LONG connectionTimeout = 0;
};

#endif
