// Tag types as a plant engineer describes them, and as `zematag init` creates them.
//
// The description is a text file of sections, one per type (blank lines and lines starting
// with "#" or ";" are ignored):
//
//   [PIDController]          the type's name, which is also the name of its value table
//   id      = 1              TypeID, 1..32767
//   library = 1              TypeLibID: the function block library
//   module  = 1              TypeModuleID: the function block in that library
//   field   = PV DOUBLE      one line per field: name and column type, in column order
//   field   = Unit VARCHAR(7)
//
// A JSON file with the same content is read as well (the "types" part of `zematag export
// --format json`): {"types": [{"id": 1, "name": "PIDController", "library": 1, "module": 1,
// "fields": [{"name": "PV", "type": "DOUBLE"}]}]}.
#ifndef ZEMATAG_TYPEDESCRIPTION_H
#define ZEMATAG_TYPEDESCRIPTION_H

#include <string>
#include <vector>

#include "Values.h"

struct FieldDef {
  std::string name;
  std::string declared;  // the column type as declared in the table
  ColumnType type;
};

struct TypeDef {
  int id = 0;
  std::string name;
  int libId = 0;
  int moduleId = 0;
  std::vector<FieldDef> fields;  // without TagID, in column order
  bool hasTable = true;          // read from a database: whether its value table exists
  bool hasId = false;            // read from a description: whether "id" was given
  std::string where;             // read from a description: "file:line" of its section

  // The field named `name` (exact first, then ignoring case), or null.
  const FieldDef* Field(const std::string& name) const;
};

// Reads a type description file (text or JSON). Throws ToolError naming file and line.
std::vector<TypeDef> ReadTypeDescription(const std::string& path);

// Checks a set of types before they become tables and normalises their column declarations
// (see CanonicalDeclaration). Throws ToolError with the first problem.
void ValidateTypes(std::vector<TypeDef>* types);

// Writes types in the text form above.
std::string TypeDescriptionText(const std::vector<TypeDef>& types);

#endif
