// CADORecordset: one table, query or stored procedure opened on a CADODataBase's connection,
// walked forward, with typed reads of the current row and writes of a pending new row.
//
// Guarded operations record a report (lastErrorText, lastErrorCode) and return FALSE; the
// unguarded ones (CloseRecordset, IsRecordsetOpen, AtEndOfRecords, MoveToNextRecord, FieldCount,
// BeginNewRecord, CancelRecordChanges, ReadFieldInfo) let a PlatformError pass.
#ifndef ZEMA_DBACCESS_ADORECORDSET_H
#define ZEMA_DBACCESS_ADORECORDSET_H

#include <string>
#include <vector>

#include "dbaccess/ADODataBase.h"

// How OpenRecordset opens its source.
enum RecordsetSource {
  SourceAuto = 0,       // a command whose kind the provider works out
  SourceQuery = 1,      // the same as SourceAuto
  SourceTable = 2,      // a table, by name
  SourceProcedure = 3,  // a stored procedure, run through the Command
};

// The description of one column.
struct FieldInfo {
  char name[30];    // the column name, cut to 29 bytes at a character boundary
  SHORT type;       // DataTypeEnum
  LONG actualSize;  // 0 when there is no current row
  LONG definedSize;
  LONG attributes;  // FieldAttributeEnum bits
};

class CADORecordset {
 public:
  // REQUIRES: database is not null and outlives this object.
  explicit CADORecordset(CADODataBase* database);
  virtual ~CADORecordset();
  CADORecordset(const CADORecordset&) = delete;
  CADORecordset& operator=(const CADORecordset&) = delete;

  BOOL OpenRecordset(const char* source, int openMode);
  BOOL OpenRecordsetOn(ADOConnection* connection, const char* source, int openMode);
  void CloseRecordset();
  BOOL IsRecordsetOpen();
  BOOL AtEndOfRecords();
  void MoveToNextRecord();
  LONG FieldCount();
  BOOL BeginNewRecord();
  BOOL SaveRecord();
  void CancelRecordChanges();
  std::string QueryText() const { return queryText; }

  // Reads of the current row. FALSE (with a report) when the column does not exist or there is
  // no current row; the out argument is then untouched.
  BOOL ReadFieldLong(const char* name, LONG& value);
  BOOL ReadFieldLong(int index, LONG& value);
  BOOL ReadFieldInt(const char* name, int& value);
  // A value without a numeric form (text, boolean, 64-bit integer, ...) reads as 0.0.
  BOOL ReadFieldDouble(const char* name, double& value);
  // FALSE without a report, text untouched, for a type that has no text form and for a date
  // outside 1 January 100 .. 31 December 9999. dateFormat: strftime conversions; empty or null
  // means "%Y-%m-%d %H:%M:%S".
  BOOL ReadFieldText(const char* name, std::string& text, const char* dateFormat = "");
  // value must hold a valid VARIANT; it is cleared first. The caller clears the copy.
  BOOL ReadFieldVariant(int index, VARIANT& value);
  // The values of count columns from position index into values[0..count), each VT_EMPTY on
  // entry, as ReadFieldVariant would read them one by one, in one call on the recordset's
  // columns. Stops at the first value that cannot be read, with the report ReadFieldVariant
  // gives; returns the number of values read before it (values[result] stays VT_EMPTY).
  int ReadFieldVariants(int index, int count, VARIANT* values);
  // Unguarded.
  BOOL ReadFieldInfo(int index, FieldInfo& info);

  // Writes into the pending new row; FALSE without a report when no row is pending.
  BOOL WriteFieldText(const char* name, const char* value);
  BOOL WriteFieldShort(const char* name, int value);
  BOOL WriteFieldLong(const char* name, LONG value);
  BOOL WriteFieldDouble(const char* name, double value);
  BOOL WriteFieldVariant(const char* name, const VARIANT& value);

  const std::string& LastErrorText() const { return lastErrorText; }
  HRESULT LastErrorCode() const { return static_cast<HRESULT>(lastErrorCode); }
  BOOL NewRecordPending() const { return newRecordPending; }

 private:
  // A Field handed out by the open recordset, kept under the name the caller used for it.
  struct NamedField {
    std::string name;
    dbaccess::CComPtr<ADOField> field;
  };

  template <class Prepare>
  BOOL WriteFieldValue(const char* name, Prepare prepare);
  void ReportRecordsetError(const PlatformError& error);
  // The value of a column of the current row / sets a column of the pending row. A Field follows
  // the current row of its recordset, so the one found for a column serves every later row until
  // the recordset closes or opens again; each raises a PlatformError on failure.
  void GetValueByName(const char* name, VARIANT* value);
  void GetValueByIndex(int index, VARIANT* value);
  void PutValueByName(const char* name, const VARIANT& value);
  template <class Find, class Call>
  void CallField(ADOField* kept, Find find, Call call);
  // Looks a column's Field up through the recordset and keeps it.
  dbaccess::CComPtr<ADOField> FindField(const char* name);
  dbaccess::CComPtr<ADOField> FindField(int index);
  template <class T, class Get, class Convert>
  BOOL ReadFieldAs(Get get, Convert convert, T& out);
  // The kept Field of a column; null when there is none.
  ADOField* KeptField(const char* name);
  ADOField* KeptField(int index) const;
  void ForgetFields();

  dbaccess::CComPtr<ADORecordset> recordset;
  dbaccess::CComPtr<ADOCommand> command;
  dbaccess::CComPtr<ADOConnection> connection;
  BOOL newRecordPending = FALSE;
  std::string lastErrorText;
  ULONG lastErrorCode = 0;
  std::string queryText;
  // The Fields found since the recordset opened: by name (searched from the one after the last
  // hit, as rows are read column after column in the same order) and by position.
  std::vector<NamedField> namedFields;
  size_t nextNamedField = 0;
  std::vector<dbaccess::CComPtr<ADOField>> indexedFields;
  // The recordset's columns, for ReadFieldVariants.
  dbaccess::CComPtr<ADOFields> keptFields;
};

#endif
