// Builds a tag database file from a compact description, with plain SQLite, in one transaction:
//
//   TagDbBuilder db;
//   db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}})
//     .Tag(1, "TIC-101", "Reactor temperature", 1)
//     .Values("Analog", 1, {"21.5", "2"})
//     .Hmi(1, "PV", 150, 0, "degC", 1)
//     .Write(path);
//
// Values are SQL literals ("NULL", "'text'", "1.5"). Tests and benchmarks make realistic
// databases with it in a few lines; Sql() adds any statement for the odd cases.
#ifndef ZEMA_TESTS_SUPPORT_TAGDBBUILDER_H
#define ZEMA_TESTS_SUPPORT_TAGDBBUILDER_H

#include <map>
#include <string>
#include <utility>
#include <vector>

class TagDbBuilder {
 public:
  using Columns = std::vector<std::pair<std::string, std::string>>;  // name, declared type

  TagDbBuilder();

  // A type: its TagTypes row and its value table (TagID LONG first, then the columns).
  TagDbBuilder& Type(int typeId, const std::string& name, int libId, int moduleId,
                     const Columns& columns);
  // A TagTypes row only (no value table).
  TagDbBuilder& TypeRow(int typeId, const std::string& name, int libId, int moduleId);
  // A Tags row.
  TagDbBuilder& Tag(int tagId, const std::string& name, const std::string& desc, int tagType,
                    int group = 0, int level = 0, int almLevel = 0);
  // A row of a value table: the TagID, then one SQL literal per column of the type.
  TagDbBuilder& Values(const std::string& table, int tagId,
                       const std::vector<std::string>& literals);
  // An HMIInfo row.
  TagDbBuilder& Hmi(int tagId, const std::string& fieldName, double sch, double scl,
                    const std::string& eu, int decimals);
  // Any statement, run after the tables are made.
  TagDbBuilder& Sql(const std::string& statement);
  // Leaves one of the standard tables out ("TagTypes", "Tags" or "HMIInfo").
  TagDbBuilder& Without(const std::string& table);
  // Declares Tags without its primary key, so that duplicate TagIDs can be stored.
  TagDbBuilder& TagsWithoutKey();

  // Writes the database file at path, or the database at a server URI (TestEngine.h), replacing
  // one that exists. Throws std::runtime_error
  // with the engine's message when a statement fails.
  void Write(const std::string& path) const;

  // An SQL text literal: 'it''s'.
  static std::string Text(const std::string& text);

 private:
  std::vector<std::string> tables;           // CREATE TABLE statements of the value tables
  std::vector<std::string> rows;             // INSERT statements and extra SQL
  std::map<size_t, std::string> serverRows;  // the form of a row for a server, where it differs
  std::vector<std::string> without;
  bool tagsWithoutKey = false;
};

// Runs SQL on the file at path with plain SQLite (creating it); throws on failure.
void ExecSql(const std::string& path, const std::string& sql);
// The first column of the first row of a query, as text ("" for none or NULL).
std::string QueryText(const std::string& path, const std::string& sql);

#endif
