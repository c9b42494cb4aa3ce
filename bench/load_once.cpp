// One Load (or one plain read) of a tag database in a process of its own, so that its peak
// resident memory is the operation's. Prints one line of JSON: the mode, the wall time of the
// call, the tags held afterwards, the resident memory before the call and the peak (VmHWM).
//
//   zema_bench_load ours|ours_no_catalogue|plain_sqlite DATABASE NLSDIR
//
// NLSDIR is the language directory for "ours"; "ours_no_catalogue" uses NLSDIR-empty.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <string>

#include "PlainSqlite.h"
#include "ZEMATagAcs.h"

namespace {

// A figure of /proc/self/status in kB ("VmRSS:" now, "VmHWM:" the peak since exec), or -1.
long StatusKb(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const size_t length = std::strlen(key);
  while (std::getline(status, line))
    if (line.compare(0, length, key) == 0) return std::atol(line.c_str() + length);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: zema_bench_load ours|ours_no_catalogue|plain_sqlite DB NLSDIR\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string database = argv[2];
  const std::string nls = argv[3];
  const long before = StatusKb("VmRSS:");
  long long tags = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    if (mode == "ours" || mode == "ours_no_catalogue") {
      setenv("HVK_NLS_DIR", (mode == "ours" ? nls : nls + "-empty").c_str(), 1);
      if (CZEMATagAcs::Instance()->Load(database.c_str()) != 1) {
        std::fprintf(stderr, "zema_bench_load: Load returned 0\n");
        return 1;
      }
      tags = CZEMATagAcs::Instance()->GetTagCount();
    } else if (mode == "plain_sqlite") {
      static bench::PlainCatalogue catalogue;  // kept to the end, as the catalogue is
      catalogue.Read(database);
      tags = static_cast<long long>(catalogue.Rows("Tags"));
    } else {
      std::fprintf(stderr, "zema_bench_load: unknown mode %s\n", mode.c_str());
      return 2;
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "zema_bench_load: %s\n", error.what());
    return 1;
  } catch (...) {
    std::fprintf(stderr, "zema_bench_load: an exception that is not a std::exception\n");
    return 1;
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  // ru_maxrss of a child keeps the peak of the process it was forked from (the parent's size
  // before exec); VmHWM starts again at exec, so it is the peak of this program alone.
  std::printf(
      "{\"mode\": \"%s\", \"ms\": %.3f, \"tags\": %lld, \"rss_before_kb\": %ld, "
      "\"hwm_kb\": %ld}\n",
      mode.c_str(), ms, tags, before, StatusKb("VmHWM:"));
  std::fflush(stdout);
  // The memory is left to the process's end, for both modes alike.
  std::_Exit(0);
}
