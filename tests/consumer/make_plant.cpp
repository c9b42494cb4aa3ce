// Writes a tag database of N tags over 8 types with plain SQLite, for the consumer test; with
// "server:FILE" as PATH it goes to a database "consumer_plant" on the test server instead, and
// FILE receives its URI.
// Usage: make_plant PATH N
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "support/TagDbBuilder.h"
#include "support/TestEngine.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_plant PATH N\n");
    return 2;
  }
  const int tags = std::atoi(argv[2]);
  TagDbBuilder db;
  const TagDbBuilder::Columns columns = {
      {"PV", "DOUBLE"},        {"SP", "DOUBLE"},      {"Mode", "LONG"},    {"Alarm", "BIT"},
      {"Unit", "VARCHAR(16)"}, {"Stamp", "DATETIME"}, {"Cost", "CURRENCY"}};
  for (int type = 1; type <= 8; ++type)
    db.Type(type, "Type" + std::to_string(type), 1, type, columns);
  for (int id = 1; id <= tags; ++id) {
    const int type = 1 + id % 8;
    db.Tag(id, "TAG-" + std::to_string(id), "tag number " + std::to_string(id), type, id % 7,
           id % 5, id % 3);
    db.Values("Type" + std::to_string(type), id,
              {std::to_string(id * 0.5), "NULL", std::to_string(id % 4), std::to_string(id % 2),
               "'bar'", "'2026-12-08 10:00:00'", "12.5"});
    db.Hmi(id, "PV", 100, 0, "degC", 1);
  }
  std::string target = argv[1];
  if (target.rfind("server:", 0) == 0) {
    const std::string uri = MakeServerDatabase("consumer_plant");
    std::ofstream(target.substr(7)) << uri << "\n";
    target = uri;
  }
  db.Write(target);
  return 0;
}
