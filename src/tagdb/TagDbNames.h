// The layout of a tag database: table and column names, the connection string and the statement
// templates. Reader and writer take every name from here.
#ifndef ZEMA_TAGDB_TAGDBNAMES_H
#define ZEMA_TAGDB_TAGDBNAMES_H

namespace tagdb {

enum TagDbName {
  TagTypesTable,
  TypeIDColumn,
  TypeNameColumn,
  TypeLibIDColumn,
  TypeModuleIDColumn,
  TagsTable,
  TagIDColumn,
  TagNameColumn,
  TagDescColumn,
  TagTypeColumn,
  TagGroupColumn,
  TagLevelColumn,
  AlmLevelColumn,
  HMIInfoTable,
  FieldNameColumn,
  SCHColumn,
  SCLColumn,
  EUColumn,
  DecimalColumn,
  TagDbNameCount
};

// Spelled exactly as the tables spell them, in the order of TagDbName.
inline constexpr const char* kTagDbNames[TagDbNameCount] = {
    "TagTypes",  "TypeID",  "TypeName", "TypeLibID", "TypeModuleID", "Tags",     "TagID",
    "TagName",   "TagDesc", "TagType",  "TagGroup",  "TagLevel",     "AlmLevel", "HMIInfo",
    "FieldName", "SCH",     "SCL",      "EU",        "Decimal",
};

inline constexpr const char* Name(TagDbName name) { return kTagDbNames[name]; }

// The connection string, with the database path for %s.
inline constexpr const char kConnectionTemplate[] =
    "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=%s";
// The name of one type: table, id column, id.
inline constexpr const char kSelectByIdTemplate[] = "SELECT * FROM %s WHERE %s = %d";
// The id of one tag by name: id column, table, name column, name (quoted for SQL).
inline constexpr const char kSelectIdByNameTemplate[] = "SELECT %s FROM %s WHERE %s='%s'";
// Deleting the rows of one tag: table, id column, id.
inline constexpr const char kDeleteByIdTemplate[] = "DELETE * FROM %s WHERE %s = %d";

}  // namespace tagdb

#endif
