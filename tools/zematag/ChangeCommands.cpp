// The command lines of diff, apply, audit enable, log and watch.
#include "ChangeCommands.h"

#include <CLI/CLI.hpp>

namespace {

// The options live as long as the process: the parser fills them, the action reads them later.
struct ChangeOptions {
  std::string auditDatabase;
  LogOptions log;
  WatchOptions watch;
};

ChangeOptions& Options() {
  static ChangeOptions options;
  return options;
}

}  // namespace

void AddChangeCommands(CLI::App& app, std::function<int()>* action) {
  ChangeOptions& options = Options();

  CLI::App* audit = app.add_subcommand("audit", "manage the audit trail of a tag database");
  audit->require_subcommand(1);
  CLI::App* enable = audit->add_subcommand(
      "enable", "add the AuditLog table: from now on every write records who changed what");
  enable->add_option("DB", options.auditDatabase, "tag database")->required();
  enable->callback([&options, action] {
    *action = [&options] { return RunAuditEnable(options.auditDatabase); };
  });

  CLI::App* log = app.add_subcommand("log", "show the audit trail");
  log->add_option("DB", options.log.database, "tag database")->required();
  log->add_option("--tag", options.log.tag, "only the entries of this tag");
  log->add_option("--since", options.log.since, "only entries from this UTC time on");
  log->callback([&options, action] { *action = [&options] { return RunLog(options.log); }; });

  CLI::App* watch = app.add_subcommand(
      "watch", "print the generation of a tag database, and a line whenever it changes");
  watch->add_option("DB", options.watch.database, "tag database")->required();
  watch->add_flag("--once", options.watch.once, "print the generation and exit");
  watch->add_option("--interval", options.watch.interval, "seconds between looks (default 2)")
      ->check(CLI::Range(0.05, 3600.0));
  watch->callback([&options, action] { *action = [&options] { return RunWatch(options.watch); }; });
}
