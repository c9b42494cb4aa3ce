// Writes the files the benchmarks run on, with plain SQLite and plain file output.
//
//   zema_bench_gen plant PATH TAGS TYPES   tag database of TAGS tags over TYPES types
//   zema_bench_gen empty PATH TYPES        the same layout with TagTypes only
//   zema_bench_gen nls DIR TYPES           function block library catalogue below DIR
//   zema_bench_gen xml PATH BYTES          a catalogue-like XML document of at least BYTES bytes
//   zema_bench_gen sqlite-version          the SQLite library version
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "PlantFiles.h"
#include "PlantModel.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: zema_bench_gen plant PATH TAGS TYPES | empty PATH TYPES | nls DIR TYPES |"
               " xml PATH BYTES | sqlite-version\n");
  return 2;
}

int Types(const char* text) {
  const int types = std::atoi(text);
  if (types < 1 || types > bench::kMaxTypes) {
    std::fprintf(stderr, "zema_bench_gen: types must lie in 1..%d\n", bench::kMaxTypes);
    std::exit(2);
  }
  return types;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  try {
    if (command == "plant" && argc == 5) {
      bench::WritePlantDatabase(argv[2], std::atoi(argv[3]), Types(argv[4]));
    } else if (command == "empty" && argc == 4) {
      bench::WritePlantDatabase(argv[2], 0, Types(argv[3]));
    } else if (command == "nls" && argc == 4) {
      bench::WriteCatalogue(argv[2], Types(argv[3]));
    } else if (command == "xml" && argc == 4) {
      bench::WriteXmlDocument(argv[2], std::strtoull(argv[3], nullptr, 10));
    } else if (command == "sqlite-version" && argc == 2) {
      std::printf("%s\n", sqlite3_libversion());
    } else {
      return Usage();
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zema_bench_gen: %s\n", error.what());
    return 1;
  }
  return 0;
}
