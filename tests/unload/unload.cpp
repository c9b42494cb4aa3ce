// Loads libZEMATagAcs.so with dlopen, makes a catalogue, and unloads the library: the catalogue
// is destroyed and the module unregistered at unload, in that order.
// Usage: unload PATH-TO-libZEMATagAcs.so
#include <dlfcn.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ZEMATagAcs.h"

namespace {
std::vector<std::string> events;
}

// The host framework reports its events to this hook when the program defines it.
extern "C" __attribute__((visibility("default"))) void ZEMAAfxEvent(const char* event) {
  events.emplace_back(event);
}

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  using InstanceFn = CZEMATagAcs* (*)();
  auto instance = reinterpret_cast<InstanceFn>(dlsym(library, "_ZN11CZEMATagAcs8InstanceEv"));
  if (instance == nullptr || instance() == nullptr) {
    std::fprintf(stderr, "no CZEMATagAcs::Instance\n");
    return 1;
  }
  if (events != std::vector<std::string>{"register ZEMATagAcs"}) {
    std::fprintf(stderr, "unexpected events at load (%zu)\n", events.size());
    return 1;
  }
  if (dlclose(library) != 0) {
    std::fprintf(stderr, "dlclose: %s\n", dlerror());
    return 1;
  }
  const std::vector<std::string> expected = {"register ZEMATagAcs", "release catalogue",
                                             "unregister ZEMATagAcs"};
  if (events != expected) {
    std::fprintf(stderr, "events after unload:\n");
    for (const auto& event : events) std::fprintf(stderr, "  %s\n", event.c_str());
    return 1;
  }
  std::printf("unload: ok\n");
  return 0;
}
