#include "BenchOptions.h"

#include <cstdlib>
#include <cstring>

namespace bench {

BenchOptions::BenchOptions(int* argc, char** argv, std::initializer_list<const char*> known) {
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    bool taken = false;
    for (const char* name : known) {
      const std::string prefix = std::string("--") + name + "=";
      if (std::strncmp(argv[i], prefix.c_str(), prefix.size()) == 0) {
        values[name] = argv[i] + prefix.size();
        taken = true;
        break;
      }
    }
    if (!taken) argv[kept++] = argv[i];
  }
  *argc = kept;
  argv[kept] = nullptr;
}

std::string BenchOptions::Text(const std::string& name, const std::string& fallback) const {
  auto found = values.find(name);
  return found == values.end() ? fallback : found->second;
}

int BenchOptions::Int(const std::string& name, int fallback) const {
  auto found = values.find(name);
  return found == values.end() ? fallback : std::atoi(found->second.c_str());
}

}  // namespace bench
