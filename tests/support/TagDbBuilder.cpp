#include "support/TagDbBuilder.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "support/TestEngine.h"

TagDbBuilder::TagDbBuilder() = default;

std::string TagDbBuilder::Text(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

TagDbBuilder& TagDbBuilder::TypeRow(int typeId, const std::string& name, int libId, int moduleId) {
  std::ostringstream sql;
  sql << "INSERT INTO TagTypes (TypeID, TypeName, TypeLibID, TypeModuleID) VALUES (" << typeId
      << ", " << Text(name) << ", " << libId << ", " << moduleId << ")";
  rows.push_back(sql.str());
  return *this;
}

TagDbBuilder& TagDbBuilder::Type(int typeId, const std::string& name, int libId, int moduleId,
                                 const Columns& columns) {
  std::ostringstream sql;
  sql << "CREATE TABLE \"" << name << "\" (TagID LONG";
  for (const auto& column : columns) sql << ", \"" << column.first << "\" " << column.second;
  sql << ")";
  tables.push_back(sql.str());
  return TypeRow(typeId, name, libId, moduleId);
}

TagDbBuilder& TagDbBuilder::Tag(int tagId, const std::string& name, const std::string& desc,
                                int tagType, int group, int level, int almLevel) {
  std::ostringstream sql;
  sql << "INSERT INTO Tags (TagID, TagName, TagDesc, TagType, TagGroup, TagLevel, AlmLevel) "
      << "VALUES (" << tagId << ", " << Text(name) << ", "
      << (desc.empty() ? std::string("NULL") : Text(desc)) << ", " << tagType << ", " << group
      << ", " << level << ", " << almLevel << ")";
  rows.push_back(sql.str());
  return *this;
}

TagDbBuilder& TagDbBuilder::Values(const std::string& table, int tagId,
                                   const std::vector<std::string>& literals) {
  std::ostringstream sql, server;
  sql << "INSERT INTO \"" << table << "\" VALUES (" << tagId;
  server << "INSERT INTO \"" << table << "\" VALUES (" << tagId;
  // On a server a number goes in as text, which the server converts to the column's type (1 to
  // a boolean, say).
  for (const auto& literal : literals) {
    const bool bare = !literal.empty() && literal[0] != '\'' && literal != "NULL";
    sql << ", " << literal;
    server << ", " << (bare ? "'" + literal + "'" : literal);
  }
  sql << ")";
  server << ")";
  rows.push_back(sql.str());
  serverRows[rows.size() - 1] = server.str();
  return *this;
}

TagDbBuilder& TagDbBuilder::Hmi(int tagId, const std::string& fieldName, double sch, double scl,
                                const std::string& eu, int decimals) {
  std::ostringstream sql;
  sql.precision(17);
  sql << "INSERT INTO HMIInfo (TagID, FieldName, SCH, SCL, EU, Decimal) VALUES (" << tagId << ", "
      << Text(fieldName) << ", " << sch << ", " << scl << ", "
      << (eu.empty() ? std::string("NULL") : Text(eu)) << ", " << decimals << ")";
  rows.push_back(sql.str());
  return *this;
}

TagDbBuilder& TagDbBuilder::Sql(const std::string& statement) {
  rows.push_back(statement);
  return *this;
}

TagDbBuilder& TagDbBuilder::Without(const std::string& table) {
  without.push_back(table);
  return *this;
}

TagDbBuilder& TagDbBuilder::TagsWithoutKey() {
  tagsWithoutKey = true;
  return *this;
}

void TagDbBuilder::Write(const std::string& path) const {
  if (IsServerUri(path)) ClearServerDatabase(path);
  unlink(path.c_str());
  auto wanted = [this](const char* table) {
    return std::find(without.begin(), without.end(), table) == without.end();
  };
  std::string sql = "PRAGMA journal_mode=WAL; BEGIN;\n";
  if (wanted("TagTypes"))
    sql +=
        "CREATE TABLE TagTypes (TypeID LONG, TypeName VARCHAR(64), TypeLibID LONG, "
        "TypeModuleID LONG);\n";
  if (wanted("Tags"))
    sql += std::string("CREATE TABLE Tags (TagID ") +
           (tagsWithoutKey ? "LONG" : "INTEGER PRIMARY KEY AUTOINCREMENT") +
           ", TagName VARCHAR(31), TagDesc VARCHAR(255), TagType SHORT, TagGroup SHORT, "
           "TagLevel SHORT, AlmLevel SHORT);\n";
  if (wanted("HMIInfo"))
    sql +=
        "CREATE TABLE HMIInfo (TagID LONG, FieldName VARCHAR(31), SCH DOUBLE, SCL DOUBLE, "
        "EU VARCHAR(7), Decimal LONG);\n";
  for (const auto& table : tables) sql += table + ";\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    auto server = serverRows.find(i);
    sql += (IsServerUri(path) && server != serverRows.end() ? server->second : rows[i]) + ";\n";
  }
  sql += "COMMIT;";
  ExecSql(path, sql);
}

void ExecSql(const std::string& path, const std::string& sql) {
  if (IsServerUri(path)) return ExecServerSql(path, sql);
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error("cannot open " + path + ": " + message);
  }
  char* error = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    sqlite3_close(db);
    throw std::runtime_error("SQL failed on " + path + ": " + message);
  }
  sqlite3_close(db);
}

std::string QueryText(const std::string& path, const std::string& sql) {
  if (IsServerUri(path)) return QueryServerText(path, sql);
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(statement, 0);
      if (text != nullptr) result = reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}
