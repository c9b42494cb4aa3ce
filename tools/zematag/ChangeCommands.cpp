// The command lines of diff, apply, audit enable, log and watch.
#include "ChangeCommands.h"

#include <CLI/CLI.hpp>

namespace {

// The options live as long as the process: the parser fills them, the action reads them later.
struct ChangeOptions {
  DiffOptions diff;
  ApplyOptions apply;
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

  CLI::App* diff = app.add_subcommand("diff", "show what differs between two tag databases");
  diff->add_option("A", options.diff.from, "the earlier tag database")->required();
  diff->add_option("B", options.diff.to, "the later tag database")->required();
  diff->add_option("--format", options.diff.format, "text or json (default text)")
      ->check(CLI::IsMember({"text", "json"}));
  diff->add_option("--changeset", options.diff.changeset,
                   "also write the change set that turns A into B to this file");
  diff->callback([&options, action] { *action = [&options] { return RunDiff(options.diff); }; });

  CLI::App* apply =
      app.add_subcommand("apply", "apply a change set of zematag diff to a tag database");
  apply->add_option("FILE", options.apply.changeset, "change set file")->required();
  apply->add_option("DB", options.apply.database, "tag database")->required();
  apply->add_flag("--force", options.apply.force,
                  "apply even where the database no longer holds the values the change set "
                  "expects");
  apply->callback([&options, action] { *action = [&options] { return RunApply(options.apply); }; });

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
