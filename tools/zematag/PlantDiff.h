// The differences between two plant snapshots: types added, removed and changed; tags added,
// removed and changed, with each changed column of Tags, of the value row and of the display
// rows. Tags are matched by name, types by name (their ids may differ between databases).
#ifndef ZEMATAG_PLANTDIFF_H
#define ZEMATAG_PLANTDIFF_H

#include <optional>
#include <string>
#include <vector>

#include "PlantSnapshot.h"

struct CColumnChange {
  enum Part { kTag, kValue, kDisplay };
  Part part = kTag;
  std::string table;                   // "Tags", the value table, "HMIInfo"
  std::string field;                   // the field of a display row ("" otherwise)
  std::string column;                  // the column
  std::optional<CCell> before, after;  // nullopt: no such row or column on that side
};

struct CTagChange {
  enum Kind { kAdded, kRemoved, kChanged };
  Kind kind = kChanged;
  std::string name;
  const CTagSnapshot* from = nullptr;  // null when added
  const CTagSnapshot* to = nullptr;    // null when removed
  std::vector<CColumnChange> columns;  // kChanged only
};

struct CTypeChange {
  enum Kind { kAdded, kRemoved, kChanged };
  Kind kind = kChanged;
  const CTypeShape* from = nullptr;
  const CTypeShape* to = nullptr;
  std::string what;  // for kChanged: "id 5 → 6, fields ..."
  // For kChanged: whether only the library and/or module id changed (same id, same value
  // table). A change set carries such a change; it carries no other change in place.
  bool OnlyLibraryModule() const;
};

struct CPlantDiff {
  std::vector<CTypeChange> types;
  std::vector<CTagChange> tags;  // in name order
  size_t unchanged = 0;
  size_t added = 0, removed = 0, changed = 0;
  bool Empty() const { return types.empty() && tags.empty(); }
};

// Reads two plants side by side (a thread each); throws the error of the first that fails.
void ReadSideBySide(CPlantReader& fromReader, CPlantReader& toReader, CPlantSnapshot* from,
                    CPlantSnapshot* to);

// Reads two tag databases side by side: files with CSqlitePlantReader, and both with
// CEnginePlantReader when either is a server's (PlantEngineReader.cpp).
void ReadPlants(const std::string& fromPath, const std::string& toPath, CPlantSnapshot* from,
                CPlantSnapshot* to);

CPlantDiff DiffPlants(const CPlantSnapshot& from, const CPlantSnapshot& to);

// The columns of one whole tag (for an added or removed one): Tags columns, values, display.
std::vector<CColumnChange> TagColumns(const CPlantSnapshot& plant, const CTagSnapshot& tag);

#endif
