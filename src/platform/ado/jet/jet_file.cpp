// The Jet file as a whole: its header, what makes it unreadable, the read-only file read and
// the connection's Open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/ado/jet/jet_format.h"
#include "platform/ado/jet/jet_reader.h"
#include "platform/faults/faults.h"

namespace platform {
namespace ado {
namespace jet {
namespace {

constexpr size_t kEngineNameOffset = 4;
constexpr char kJetName[] = "Standard Jet DB";  // with its terminating zero: 16 bytes
constexpr char kAceName[] = "Standard ACE DB";
constexpr size_t kVersionOffset = 0x14;
// From here the header is masked with a fixed RC4 key stream.
constexpr size_t kMaskedOffset = 0x18;
constexpr uint32_t kHeaderMaskKey = 0x6b39dac7;
constexpr size_t kEncodingKeyOffset = 0x3e;
constexpr size_t kPasswordOffset = 0x42;
constexpr size_t kCreationDateOffset = 0x72;
// The largest file Jet and ACE write.
constexpr size_t kMaxFileSize = size_t(2) << 30;

uint32_t ReadU32(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The RC4 key stream of the header mask.
void HeaderMask(unsigned char* out, size_t size) {
  unsigned char key[4];
  for (int k = 0; k < 4; ++k) key[k] = static_cast<unsigned char>(kHeaderMaskKey >> (8 * k));
  unsigned char s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<unsigned char>(i);
  unsigned j = 0;
  for (int i = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % 4]) & 0xFF;
    std::swap(s[i], s[j]);
  }
  unsigned a = 0;
  j = 0;
  for (size_t n = 0; n < size; ++n) {
    a = (a + 1) & 0xFF;
    j = (j + s[a]) & 0xFF;
    std::swap(s[a], s[j]);
    out[n] = s[(s[a] + s[j]) & 0xFF];
  }
}

// The SQLite file that the fault seam's "Jet.SqliteFile" setting makes stand in for a Jet file.
std::string FedPath() { return FaultSetting("Jet.SqliteFile"); }

// Copies every table of the SQLite file at path (the test seam's stand-in for a Jet file).
bool CopySqliteFile(const std::string& path, sqlite3* db, std::string* error) {
  sqlite3* source = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &source, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_backup* backup =
      rc == SQLITE_OK ? sqlite3_backup_init(db, "main", source, "main") : nullptr;
  if (backup != nullptr) {
    rc = sqlite3_backup_step(backup, -1);
    sqlite3_backup_finish(backup);
  }
  const bool copied = backup != nullptr && rc == SQLITE_DONE;
  if (!copied) *error = sqlite3_errmsg(backup != nullptr || source == nullptr ? db : source);
  sqlite3_close_v2(source);
  return copied;
}

}  // namespace

bool HasJetHeader(const unsigned char* bytes, size_t size) {
  if (size < kMaskedOffset || bytes[0] != 0 || bytes[1] != 1) return false;
  const unsigned char* name = bytes + kEngineNameOffset;
  return memcmp(name, kJetName, sizeof kJetName) == 0 ||
         memcmp(name, kAceName, sizeof kAceName) == 0;
}

bool IsJetFile(const std::string& path) {
  if (!path.empty() && path == FedPath()) return true;
  // Non-blocking, so that a FIFO or a device does not hold the caller up; only files count.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return false;
  }
  unsigned char header[kMaskedOffset];
  const ssize_t got = read(fd, header, sizeof header);
  close(fd);
  return got == static_cast<ssize_t>(sizeof header) && HasJetHeader(header, sizeof header);
}

bool CheckImage(const unsigned char* bytes, size_t size, FileFormat* format, std::string* error) {
  if (!HasJetHeader(bytes, size)) {
    *error = "it is not a Jet or ACE database file";
    return false;
  }
  const uint32_t version = ReadU32(bytes + kVersionOffset);
  if (version > kLastKnownVersion) {
    *error = "its format version (" + std::to_string(version) + ") is not one this reader knows";
    return false;
  }
  format->version = version;
  format->pageSize = version == kJet3 ? 2048 : 4096;
  // The header page, the first data page and the definition of the catalogue table.
  if (size < 3 * format->pageSize || size % format->pageSize != 0) {
    *error = "it is truncated (its size is not a whole number of pages)";
    return false;
  }
  if (size > kMaxFileSize) {
    *error = "it is larger than a Jet or ACE database can be";
    return false;
  }
  const size_t maskedSize = version == kJet3 ? 126 : 128;
  unsigned char header[kMaskedOffset + 128];
  memcpy(header, bytes, kMaskedOffset + maskedSize);
  unsigned char mask[128];
  HeaderMask(mask, maskedSize);
  for (size_t k = 0; k < maskedSize; ++k) header[kMaskedOffset + k] ^= mask[k];
  format->codePage = static_cast<uint16_t>(header[0x3c] | header[0x3d] << 8);
  if (ReadU32(header + kEncodingKeyOffset) != 0) {
    *error = "it is encrypted";
    return false;
  }
  // The password is masked again, from Jet 4 on, with the creation date's whole days.
  unsigned char dateMask[4] = {0, 0, 0, 0};
  if (version != kJet3) {
    double created;
    memcpy(&created, header + kCreationDateOffset, sizeof created);
    if (created > -2147483648.0 && created < 2147483648.0) {
      const uint32_t days = static_cast<uint32_t>(static_cast<int32_t>(created));
      for (int k = 0; k < 4; ++k) dateMask[k] = static_cast<unsigned char>(days >> (8 * k));
    }
  }
  const size_t passwordSize = version == kJet3 ? 20 : 40;
  for (size_t k = 0; k < passwordSize; ++k) {
    if ((header[kPasswordOffset + k] ^ dateMask[k % 4]) != 0) {
      *error = "it is protected by a database password";
      return false;
    }
  }
  // Page 2 defines the catalogue table.
  const unsigned char* catalogue = bytes + 2 * format->pageSize;
  if (catalogue[0] != kTableDefinitionPage || catalogue[1] != 1) {
    *error = "it is damaged (its catalogue is missing)";
    return false;
  }
  return true;
}

bool ReadJetFile(const std::string& path, sqlite3* db, std::string* error,
                 const ReadProgress& progress, ReadTotals* totals) {
  if (!path.empty() && path == FedPath()) {
    std::string why;
    if (CopySqliteFile(path, db, &why)) return true;
    *error = "Could not read the Jet database file '" + path + "': " + why + ".";
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status;
  std::string why;
  std::vector<unsigned char> image;
  if (fd < 0 || fstat(fd, &status) != 0) {
    why = strerror(errno);
  } else if (!S_ISREG(status.st_mode)) {
    why = "it is not a regular file";
  } else if (static_cast<unsigned long long>(status.st_size) > kMaxFileSize) {
    why = "it is larger than a Jet or ACE database can be";
  } else {
    image.resize(static_cast<size_t>(status.st_size));
    size_t done = 0;
    while (done < image.size()) {
      const ssize_t got = read(fd, image.data() + done, image.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    if (done != image.size()) why = "it could not be read whole";
  }
  if (fd >= 0) close(fd);
  if (why.empty() && ReadJetImage(image.data(), image.size(), db, &why, progress, totals))
    return true;
  *error = "Could not read the Jet database file '" + path + "': " + why + ".";
  return false;
}

OpenResult OpenJetAsSqlite(const std::string& path, bool readOnly, sqlite3** db,
                           std::string* error) {
  if (!IsJetFile(path)) return OpenResult::kNotJet;
  if (!readOnly) {
    *error = "The file '" + path +
             "' is a Jet database, which opens read-only (mode 1) only. To change it, convert it "
             "to an SQLite tag database first: zematag convert '" +
             path + "' NEW.db";
    return OpenResult::kFailed;
  }
  sqlite3* memory = nullptr;
  if (sqlite3_open_v2(":memory:", &memory, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    sqlite3_close_v2(memory);
    *error = "Could not open the Jet database file '" + path + "': out of memory.";
    return OpenResult::kFailed;
  }
  bool read = ReadJetFile(path, memory, error);
  if (read && sqlite3_exec(memory, "PRAGMA query_only=1", nullptr, nullptr, nullptr) != SQLITE_OK) {
    *error = "Could not read the Jet database file '" + path + "': " + sqlite3_errmsg(memory);
    read = false;
  }
  if (!read) {
    sqlite3_close_v2(memory);
    return OpenResult::kFailed;
  }
  *db = memory;
  return OpenResult::kOpened;
}

}  // namespace jet
}  // namespace ado
}  // namespace platform
