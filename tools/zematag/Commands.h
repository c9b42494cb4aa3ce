// The commands of zematag. Each returns the process's exit status (0 when everything went well,
// 1 when a problem was reported); errors that end a command are thrown as ToolError, and the
// library's PlatformError is passed on.
#ifndef ZEMATAG_COMMANDS_H
#define ZEMATAG_COMMANDS_H

#include <string>
#include <vector>

#include "Report.h"

struct InitOptions {
  std::string database;
  std::string typesFile;  // "" when none
  bool fromFbLib = false;
  bool force = false;
  bool audit = false;  // keep an audit trail from the start
};
int RunInit(const InitOptions& options);

struct ImportOptions {
  std::string database;
  std::vector<std::string> files;
  int batchSize = 1000;
  bool dryRun = false;
  bool quiet = false;         // no summary line and no progress bar
  bool skipExisting = false;  // names already in the database are passed over, not reported
  bool replace = false;       // tags already in the database are replaced (in one transaction)
  bool round = false;         // display scales take the nearest 32-bit float without complaint
};
int RunImport(const ImportOptions& options);

int RunList(const std::string& database, const std::string& type);
int RunShow(const std::string& database, const std::vector<std::string>& names);
// format: "csv", "json" or "types"; output "" or "-" for standard output. An existing output
// file is replaced only with force, and never when it is the database itself.
int RunExport(const std::string& database, const std::string& format, const std::string& output,
              bool force);
int RunDelete(const std::string& database, const std::vector<std::string>& names);
struct CheckOptions {
  std::string database;
  bool all = false;  // every problem, not the first 20 of each kind
  bool fix = false;  // remove orphan and half-stored rows, after listing them
};
int RunCheck(const CheckOptions& options);

struct ConvertOptions {
  std::string source;  // a Jet or ACE database file
  std::string target;  // the new SQLite tag database; never replaced
  bool quiet = false;  // no progress bars
};
int RunConvert(const ConvertOptions& options);
struct CopyOptions {
  std::string source;  // a tag database file or server URI
  std::string target;  // a file or server URI; replaced only with force
  bool force = false;
};
int RunCopy(const CopyOptions& options);
// Builds the example plant from exampleDir ("" to look for it) into dir and shows it.
int RunDemo(const std::string& dir, const std::string& exampleDir);

#endif
