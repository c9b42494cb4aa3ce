// CZEMATagAcsImpl: the tag catalogue behind CZEMATagAcs::Instance.
#ifndef ZEMA_CATALOGUE_ZEMATAGACSIMPL_H
#define ZEMA_CATALOGUE_ZEMATAGACSIMPL_H

#include <cstddef>
#include <map>
#include <utility>
#include <vector>

#include "ZEMATagAcs.h"
#include "catalogue/ZEMATagImpl.h"
#include "catalogue/ZEMATagTypeImpl.h"

class CADODataBase;
class CFBLibCatalogue;

class CZEMATagAcsImpl : public CZEMATagAcs {
 public:
  CZEMATagAcsImpl() = default;
  // Destroys every tag (ascending TagID), then every type.
  ~CZEMATagAcsImpl() override;

  int Load(const char* path) override;
  int GetTagCount() override { return static_cast<int>(tags.size()); }
  void GetTags(int typeId, int capacity, int* count, CZEMATag** result) override;

  CZEMATagImpl* FindTag(int tagId) const;
  CZEMATagTypeImpl* FindType(int typeId) const;

  // Inserts under the id unless the id is held (then destroys the object: the first wins).
  // Returns whether it was inserted.
  bool AddTag(int tagId, CZEMATagImpl* tag);
  bool AddType(int typeId, CZEMATagTypeImpl* tagType);

 private:
  bool LoadTagTypes(CADODataBase& database);
  void LoadTypeFields(CADODataBase& database, CZEMATagTypeImpl& tagType);
  class CTagFinder;
  // Reads Tags; addedInOrder gets the tags it adds, in ascending TagID, as long as they come in
  // that order into a catalogue that held none (it is left incomplete otherwise).
  bool LoadTags(CADODataBase& database, std::vector<std::pair<int, CZEMATagImpl*>>& addedInOrder);
  void LoadTypeValues(CADODataBase& database, CZEMATagTypeImpl& tagType, CTagFinder& finder);
  bool LoadHMIInfo(CADODataBase& database, CTagFinder& finder);
  // Gives the first count types (in TypeID order) their fields' kinds from the catalogue.
  void ApplyFieldKinds(CFBLibCatalogue& fbLib, size_t count);

  std::map<int, CZEMATagImpl*> tags;
  std::map<int, CZEMATagTypeImpl*> types;
};

#endif
