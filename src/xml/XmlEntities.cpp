#include "xml/XmlEntities.h"

#include <string.h>

#include <algorithm>
#include <string_view>

namespace {

const XmlEntity kEntities[] = {
#include "xml/XmlEntityTable.inc"
};

}  // namespace

uint32_t LookUpXmlEntity(const char* name, size_t length) {
  const std::string_view wanted(name, length);
  const XmlEntity* const end = kEntities + XmlEntityCount();
  const XmlEntity* found = std::lower_bound(
      kEntities, end, wanted,
      [](const XmlEntity& entity, std::string_view key) { return entity.name < key; });
  return found != end && found->name == wanted ? found->number : 0;
}

const XmlEntity* XmlEntities() { return kEntities; }

size_t XmlEntityCount() { return sizeof kEntities / sizeof kEntities[0]; }
