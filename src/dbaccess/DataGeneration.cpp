#include "dbaccess/DataGeneration.h"

#include "platform/ado/generation.h"

bool ReadDataGeneration(const char* path, unsigned long long* generation) {
  return platform::ado::ReadConfigGeneration(path, generation);
}
