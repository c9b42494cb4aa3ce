// The read side as the tool uses it: a tag database loaded through CZEMATagAcs, with the types
// read from the database's schema so that each tag can be shown with its type's name.
#ifndef ZEMATAG_CATALOGUE_H
#define ZEMATAG_CATALOGUE_H

#include <map>
#include <string>
#include <vector>

#include "TypeDescription.h"
#include "Values.h"
#include "ZEMATagAcs.h"

struct TagView {
  CZEMATag* tag = nullptr;
  const TypeDef* type = nullptr;
};

// One field of one tag, copied out of the catalogue.
struct FieldValue {
  std::string name;
  OwnedVariant value;
  int kind = ZEMA_KIND_NONE;
  bool hasDisplay = false;
  TagHMIInfo display{};
};

class CCatalogue {
 public:
  // Loads the tag database at path into the process's catalogue (emptied first). Throws
  // ToolError when the file is missing or does not load as a tag database.
  explicit CCatalogue(const std::string& path);
  // Releases the process's catalogue.
  ~CCatalogue();
  CCatalogue(const CCatalogue&) = delete;
  CCatalogue& operator=(const CCatalogue&) = delete;

  const std::vector<TypeDef>& Types() const { return types; }
  // The type with that id, or with that name (ignoring case); null when there is none.
  const TypeDef* TypeById(int id) const;
  const TypeDef* TypeByName(const std::string& name) const;
  // The tags of one type (every typed tag for 0), in ascending TagID.
  std::vector<TagView> Tags(int typeId = 0) const;
  // The number of tags, tags without a type included.
  int TagCount() const { return acs->GetTagCount(); }
  // The first tag of that exact name, or a view with a null tag.
  TagView Find(const std::string& name) const;

 private:
  std::vector<TypeDef> types;
  CZEMATagAcs* acs = nullptr;
  std::map<CZEMATagType*, const TypeDef*> typeOf;
};

// Every field of the tag in column order, with kind, value and display information. Empty for
// a tag without a type. May throw PlatformError, as GetFields does.
std::vector<FieldValue> ReadFields(CZEMATag* tag);

// Prints a tag with its type, levels and fields grouped as inputs, outputs and others, each with
// its value and display information.
void PrintTag(const TagView& view);

// The name of a field kind: "input", "output" or "other".
const char* KindName(int kind);

#endif
