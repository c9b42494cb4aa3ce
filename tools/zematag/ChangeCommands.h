// The commands that tell what changed in a tag database: diff, apply, audit enable, log, watch.
// AddChangeCommands adds them to the command line; each returns the exit status like the other
// commands (0 success, 1 a problem reported) and throws ToolError for errors that end it.
#ifndef ZEMATAG_CHANGECOMMANDS_H
#define ZEMATAG_CHANGECOMMANDS_H

#include <functional>
#include <string>

namespace CLI {
class App;
}

struct DiffOptions {
  std::string from, to;
  std::string format = "text";  // "text" or "json"
  std::string changeset;        // "" for none
};
int RunDiff(const DiffOptions& options);

struct ApplyOptions {
  std::string changeset, database;
  bool force = false;
};
int RunApply(const ApplyOptions& options);

int RunAuditEnable(const std::string& database);

struct LogOptions {
  std::string database;
  std::string tag;    // "" for every tag
  std::string since;  // "" for the whole trail
};
int RunLog(const LogOptions& options);

struct WatchOptions {
  std::string database;
  bool once = false;
  double interval = 2.0;  // seconds between looks
};
int RunWatch(const WatchOptions& options);

// Adds diff, apply, audit, log and watch to app; the chosen command's run goes to *action.
void AddChangeCommands(CLI::App& app, std::function<int()>* action);

#endif
