// Loads libZEMATagAcs.so with dlopen, makes a catalogue, and unloads the library: the catalogue
// is destroyed and the module unregistered at unload, in that order.
// Usage: unload PATH-TO-libZEMATagAcs.so [PATH-TO-LOAD]
// With a path to load, the catalogue loads it first on this thread, in the process's locale
// (LC_ALL and LOCPATH as the test sets them): a load leaves per-thread state behind (the code
// page converters of a double-byte locale, the failure note, the toolkit's directory), and none
// of it may keep the library loaded once dlclose is called.
#include <dlfcn.h>

#include <clocale>
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
  if (argc != 2 && argc != 3) return 2;
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
  if (argc == 3) {
    if (std::setlocale(LC_ALL, "") == nullptr) {
      std::fprintf(stderr, "the locale of LC_ALL is not available\n");
      return 1;
    }
    // The path does not exist: the load fails, after converting the path from the code page.
    if (instance()->Load(argv[2]) != 0) {
      std::fprintf(stderr, "loading %s succeeded\n", argv[2]);
      return 1;
    }
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
