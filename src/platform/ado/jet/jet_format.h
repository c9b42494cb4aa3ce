// What the reader knows of a Jet file's layout before libmdb sees it.
#ifndef ZEMA_PLATFORM_ADO_JET_JET_FORMAT_H
#define ZEMA_PLATFORM_ADO_JET_JET_FORMAT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace platform {
namespace ado {
namespace jet {

// Format versions in the header: Jet 3, Jet 4, then ACE 12, 14, 15, 16 and 17.
constexpr uint32_t kJet3 = 0;
constexpr uint32_t kLastKnownVersion = 6;

// Page types.
constexpr unsigned char kDataPage = 0x01;
constexpr unsigned char kTableDefinitionPage = 0x02;

struct FileFormat {
  uint32_t version = 0;
  size_t pageSize = 4096;
  uint16_t codePage = 0;  // of Jet 3 text; 0 when the header names none
};

// Checks what can be checked of an image before libmdb reads it: the header, a known version,
// whole pages, no encryption or password, the catalogue's definition page. False with *error
// (a reason, without the file's name) otherwise; *format holds what the header says.
bool CheckImage(const unsigned char* bytes, size_t size, FileFormat* format, std::string* error);

}  // namespace jet
}  // namespace ado
}  // namespace platform

#endif
