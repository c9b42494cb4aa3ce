// Decoding of attribute values.
#ifndef ZEMA_XML_XMLVALUE_H
#define ZEMA_XML_XMLVALUE_H

#include <stddef.h>

#include <string>

// The value of length bytes with its references replaced: "&#65;", "&#x41;" and "&name;" (an
// entity of XmlEntities.h) become the character in the process code page. A reference stays as
// written when it is longer than 9 bytes between "&" and ";", holds a byte of 0x80 or above,
// names character 0, no digits or an unknown entity, or names a character the code page cannot
// represent.
std::string DecodeXmlValue(const char* value, size_t length);

#endif
