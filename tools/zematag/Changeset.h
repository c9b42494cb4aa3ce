// Change sets: the differences of a diff as a file that `zematag apply` replays on another
// database, all or nothing.
//
// The file is an SQLite session changeset. Its tables are logical ones, keyed by what stays the
// same between databases (a tag's name, a display row's tag and field), not by TagID, which
// differs from one database to the next:
//   "zema:tags"         TagName | TagDesc, TagType, TagGroup, TagLevel, AlmLevel
//   "zema:hmi"          TagName, FieldName | SCH, SCL, EU, Decimal
//   "zema:values:TYPE"  TagName | the fields of TYPE, in its column order
//   "zema:types"        TypeName | TypeID, Fields: the types the other tables rely on
//   "zema:typedefs"     TypeName | TypeID, TypeLibID, TypeModuleID, Fields (JSON): a type
//                       added (insert) or removed (delete) as a whole, with its value table,
//                       or one whose library and/or module id changed in place (update: the
//                       old and new ids of what changed; its id and fields stay as they are)
//   "zema:end"          one row: how many changes come before it, their length and digest
// Apply refuses a file whose types do not match the target ("a change set for another schema"),
// a file cut short (the end row is missing or does not match), and every change whose old
// values are not what the target holds, naming the tag (or type) and column (unless forced).
// Updates of "zema:typedefs" are optional: a file without any (such as one written by an earlier
// version of the tool) applies all the same.
#ifndef ZEMATAG_CHANGESET_H
#define ZEMATAG_CHANGESET_H

#include <string>

#include "PlantDiff.h"

// Writes the change set that turns `from` into `to` to file (replacing it only once complete).
// Throws ToolError when it cannot be written.
void WriteChangeset(const CPlantSnapshot& from, const CPlantSnapshot& to, const CPlantDiff& diff,
                    const std::string& file);

#endif
