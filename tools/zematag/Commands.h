// The commands of zematag. Each returns the process's exit status (0 when everything went well,
// 1 when a problem was reported); errors that end a command are thrown as ToolError, and the
// library's PlatformError is passed on.
#ifndef ZEMATAG_COMMANDS_H
#define ZEMATAG_COMMANDS_H

#include <string>
#include <vector>

struct InitOptions {
  std::string database;
  std::string typesFile;  // "" when none
  bool fromFbLib = false;
  bool force = false;
};
int RunInit(const InitOptions& options);

struct ImportOptions {
  std::string database;
  std::vector<std::string> files;
  int batchSize = 1000;
  bool dryRun = false;
  bool quiet = false;  // no summary line and no progress bar
};
int RunImport(const ImportOptions& options);

int RunList(const std::string& database, const std::string& type);
int RunShow(const std::string& database, const std::vector<std::string>& names);
// format: "csv", "json" or "types"; output "" or "-" for standard output.
int RunExport(const std::string& database, const std::string& format, const std::string& output);
int RunDelete(const std::string& database, const std::vector<std::string>& names);
int RunCheck(const std::string& database);

struct ConvertOptions {
  std::string source;  // a Jet or ACE database file
  std::string target;  // the new SQLite tag database; never replaced
  bool quiet = false;  // no progress bars
};
int RunConvert(const ConvertOptions& options);
// Builds the example plant from exampleDir ("" to look for it) into dir and shows it.
int RunDemo(const std::string& dir, const std::string& exampleDir);

// The language directory the library reads the function block library catalogue from.
std::string NlsDir();

// Prints one error line on stderr: "zematag: message".
void ReportError(const std::string& message);

#endif
