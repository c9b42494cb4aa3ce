// Options of the benchmark programs, given as --name=value before Google Benchmark's own flags.
#ifndef ZEMA_BENCH_BENCHOPTIONS_H
#define ZEMA_BENCH_BENCHOPTIONS_H

#include <initializer_list>
#include <map>
#include <string>

namespace bench {

class BenchOptions {
 public:
  // Takes the options named in `known` out of argv (adjusting argc) and keeps their values.
  BenchOptions(int* argc, char** argv, std::initializer_list<const char*> known);

  std::string Text(const std::string& name, const std::string& fallback = "") const;
  int Int(const std::string& name, int fallback) const;

 private:
  std::map<std::string, std::string> values;
};

}  // namespace bench

#endif
