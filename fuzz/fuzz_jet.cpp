// The Jet reader on damaged files: real Jet 3, Jet 4 and ACE files (the project's test copies)
// with parts of them overwritten by the input, and the input itself as a file when it begins
// with a Jet header. Each run reads the image into a fresh in-memory database; the reader must
// either read it or refuse it, and a refused image leaves no table behind.
#include <sqlite3.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ado/jet/jet_reader.h"

namespace {

const char* const kBases[] = {"testV1997.mdb", "overflowTestV2003.mdb", "oldDatesV2007.accdb"};

std::vector<std::string> LoadBases() {
  std::vector<std::string> bases;
  for (const char* name : kBases) {
    std::ifstream in(std::string(ZEMA_JET_DATA_DIR "/") + name, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (bytes.str().empty()) abort();  // the fuzzer would test nothing
    bases.push_back(bytes.str());
  }
  return bases;
}

}  // namespace

// Input: a base number, then patches of [4-byte offset][1-byte length][bytes], each written over
// the base at offset modulo its size. An input that begins with a Jet header is the file itself.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<std::string> bases = LoadBases();
  std::string image;
  if (platform::ado::jet::HasJetHeader(data, size)) {
    image.assign(reinterpret_cast<const char*>(data), size);
  } else if (size > 0) {
    image = bases[data[0] % bases.size()];
    size_t at = 1;
    while (at + 5 <= size) {
      uint32_t offset;
      memcpy(&offset, data + at, 4);
      size_t length = data[at + 4];
      at += 5;
      length = std::min(length, size - at);
      const size_t where = offset % image.size();
      length = std::min(length, image.size() - where);
      memcpy(&image[where], data + at, length);
      at += length;
    }
  } else {
    return 0;
  }
  sqlite3* db = nullptr;
  if (sqlite3_open(":memory:", &db) != SQLITE_OK) abort();
  std::string error;
  const bool read = platform::ado::jet::ReadJetImage(
      reinterpret_cast<const unsigned char*>(image.data()), image.size(), db, &error);
  if (!read) {
    if (error.empty()) abort();  // a refusal always says why
    sqlite3_stmt* count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &count, nullptr);
    if (sqlite3_step(count) != SQLITE_ROW || sqlite3_column_int(count, 0) != 0) abort();
    sqlite3_finalize(count);
  }
  sqlite3_close(db);
  return 0;
}
