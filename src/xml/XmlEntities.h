// The character entity references that attribute values may use: the 252 of HTML 4.01 plus
// "apos", each with its character number.
#ifndef ZEMA_XML_XMLENTITIES_H
#define ZEMA_XML_XMLENTITIES_H

#include <stddef.h>
#include <stdint.h>

struct XmlEntity {
  const char* name;
  uint32_t number;
};

// The character number of the entity called name (length bytes, compared exactly, with case),
// or 0 when there is none.
uint32_t LookUpXmlEntity(const char* name, size_t length);

// The whole table, sorted by name in byte order.
const XmlEntity* XmlEntities();
size_t XmlEntityCount();

#endif
