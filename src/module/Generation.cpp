// ZemaConfigGeneration: the entry point of include/ZEMAGeneration.h.
#include "ZEMAGeneration.h"
#include "dbaccess/DataGeneration.h"

extern "C" int ZemaConfigGeneration(const char* path, unsigned long long* generation) {
  if (path == nullptr || generation == nullptr) return 0;
  return ReadDataGeneration(path, generation) ? 1 : 0;
}
