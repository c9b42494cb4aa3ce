// zematag: create, fill, inspect and check the tag databases of ZEMATagAcs.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "ChangeCommands.h"
#include "Commands.h"
#include "Report.h"
#include "ToolError.h"
#include "ZEMATagAcs.h"
#include "platform/faults/faults.h"

namespace {

const char kImportFooter[] = R"(CSV: one row per tag after a header row. Columns, in any order:
  TagName (required, at most 31 bytes), TagType (required: type id or name),
  TagDesc, TagGroup, TagLevel, AlmLevel (0..255, empty for 0),
  one column per field named by the field (empty: no value),
  and F.SCH, F.SCL, F.EU, F.Decimal for the display information of field F.
Values are converted to the field's column type (see README). JSON files as written by
`zematag export --format json` are read too. Bad rows are reported as FILE:LINE: reason and are
not saved; the exit status is then 1. Tags are saved a batch at a time, each batch whole or not
at all; an import stops at the first batch the database refuses as a whole (locked by another
program, read-only, disk full). Run it again with --skip-existing to finish it.)";

const char kInitFooter[] = R"(Type description (text):
  [PIDController]        type name = value table name
  id      = 1            TypeID, 1..32767
  library = 1            TypeLibID
  module  = 1            TypeModuleID
  field   = PV DOUBLE    one line per field: name and column type
With --from-fblib every function block of FBLib/FBLib.xml in the language directory becomes a
type with the fields of its module file; a type of --types with the same library and module
gives its name, id and field types (fields it does not type are DOUBLE).)";

const char kCopyFooter[] = R"(A database is a file path or a PostgreSQL URI:
  postgresql://[user[:password]@]host[:port]/dbname[?key=value...]  (also postgres://)
A host that starts with / (written %2F) is the folder of a Unix socket. libpq's environment
(PGHOST, PGUSER, PGPASSWORD, ...) and password file (PGPASSFILE, ~/.pgpass) apply; keep the
password there rather than in the URI. The change tracking of a file (generation counter,
audit trail) is not copied: a file made by copy gets a generation counter of its own.)";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zematag: create, fill, inspect and check ZEMATagAcs tag databases", "zematag"};
  app.set_version_flag("--version", "zematag " ZEMATAG_VERSION);
  app.require_subcommand(1);
  app.fallthrough();
  std::string nls;
  app.add_option("--nls", nls, "language directory holding FBLib/ (sets HVK_NLS_DIR for this run)");
  std::function<int()> action;

  InitOptions init;
  CLI::App* initCommand = app.add_subcommand("init", "create a new tag database");
  initCommand->add_option("DB", init.database, "database file to create, or postgresql:// URI")
      ->required();
  initCommand->add_option("--types", init.typesFile, "type description (text or JSON)");
  initCommand->add_flag("--from-fblib", init.fromFbLib,
                        "take the types from the function block library catalogue");
  initCommand->add_flag("--force", init.force,
                        "replace an existing file, or the tag tables on the server");
  initCommand->add_flag("--audit", init.audit, "keep an audit trail (see zematag audit enable)");
  initCommand->footer(kInitFooter);
  initCommand->callback([&] { action = [&] { return RunInit(init); }; });

  ImportOptions import;
  CLI::App* importCommand = app.add_subcommand("import", "save tags from CSV or JSON files");
  importCommand->add_option("DB", import.database, "tag database")->required();
  importCommand->add_option("FILE", import.files, "CSV or JSON files")->required();
  importCommand->add_option("--batch", import.batchSize, "tags per SaveTags call")
      ->check(CLI::Range(1, 1000000));
  importCommand->add_flag("--dry-run", import.dryRun, "check the files, save nothing");
  importCommand->add_flag("--quiet", import.quiet, "no progress bar and no summary");
  importCommand->add_flag("--skip-existing", import.skipExisting,
                          "pass over tags whose name is in the database (to finish an import)");
  importCommand->add_flag("--replace", import.replace,
                          "replace tags whose name is in the database (delete and store at once)");
  importCommand->add_flag("--round", import.round,
                          "store display scales as the nearest 32-bit float without complaint");
  importCommand->footer(kImportFooter);
  importCommand->callback([&] { action = [&] { return RunImport(import); }; });

  std::string database, type, format = "csv", output, example;
  std::vector<std::string> names;
  CLI::App* listCommand = app.add_subcommand("list", "list the tags");
  listCommand->add_option("DB", database, "tag database")->required();
  listCommand->add_option("--type", type, "only tags of this type (id or name)");
  listCommand->callback([&] { action = [&] { return RunList(database, type); }; });

  CLI::App* showCommand =
      app.add_subcommand("show", "show tags with their inputs, outputs and display information");
  showCommand->add_option("DB", database, "tag database")->required();
  showCommand->add_option("TAG", names, "tag names")->required();
  showCommand->callback([&] { action = [&] { return RunShow(database, names); }; });

  CLI::App* exportCommand = app.add_subcommand("export", "write all tags (or the types)");
  exportCommand->add_option("DB", database, "tag database")->required();
  exportCommand->add_option("--format", format, "csv, json or types (default csv)")
      ->check(CLI::IsMember({"csv", "json", "types"}));
  exportCommand->add_option("-o,--output", output, "file to write (default: standard output)");
  bool force = false;
  exportCommand->add_flag("--force", force, "replace an existing output file");
  exportCommand->callback(
      [&] { action = [&] { return RunExport(database, format, output, force); }; });

  CLI::App* deleteCommand = app.add_subcommand("delete", "delete tags by name");
  deleteCommand->add_option("DB", database, "tag database")->required();
  deleteCommand->add_option("TAG", names, "tag names")->required();
  deleteCommand->callback([&] { action = [&] { return RunDelete(database, names); }; });

  CLI::App* checkCommand = app.add_subcommand(
      "check", "report orphan rows, tags without a type, duplicate names, missing value tables");
  CheckOptions check;
  checkCommand->add_option("DB", check.database, "tag database")->required();
  checkCommand->add_flag("--all", check.all, "list every problem (not 20 of each kind)");
  checkCommand->add_flag("--fix", check.fix,
                         "remove orphan rows and half-stored tags, after listing them");
  checkCommand->callback([&] { action = [&] { return RunCheck(check); }; });

  ConvertOptions convert;
  CLI::App* convertCommand = app.add_subcommand(
      "convert", "copy every table of a Jet or ACE file (.mdb, .accdb) into a new SQLite database");
  convertCommand->add_option("SOURCE", convert.source, "Jet or ACE database file")->required();
  convertCommand->add_option("TARGET", convert.target, "new database file")->required();
  convertCommand->add_flag("--quiet", convert.quiet, "no progress bars");
  convertCommand->callback([&] { action = [&] { return RunConvert(convert); }; });

  CopyOptions copy;
  CLI::App* copyCommand = app.add_subcommand(
      "copy", "copy a whole tag database between files and servers, and check the copy");
  copyCommand->add_option("SOURCE", copy.source, "tag database: file or postgresql:// URI")
      ->required();
  copyCommand->add_option("TARGET", copy.target, "file or postgresql:// URI")->required();
  copyCommand->add_flag("--force", copy.force,
                        "replace an existing file, or the tag database on the server");
  copyCommand->footer(kCopyFooter);
  copyCommand->callback([&] { action = [&] { return RunCopy(copy); }; });

  std::string demoDir;
  CLI::App* demoCommand = app.add_subcommand("demo", "build the example plant and show it");
  demoCommand->add_option("DIR", demoDir, "folder to build it in (default ./demo-plant)");
  demoCommand->add_option("--example", example, "the example plant's folder");
  demoCommand->callback([&] { action = [&] { return RunDemo(demoDir, example); }; });

  AddChangeCommands(app, &action);

  // The first word that is not an option names the command.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--nls") ++i;
    if (word.empty() || word[0] == '-') continue;
    bool known = false;
    for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; }))
      known = known || command->get_name() == word;
    if (!known) {
      ReportError(fmt::format("unknown command '{}' (see zematag --help)", word));
      return 2;
    }
    break;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return app.exit(e);
    ReportError(fmt::format("{} (see zematag --help)", e.what()));
    return 2;
  }

  try {
    if (!nls.empty()) {
      std::error_code error;
      if (!std::filesystem::is_directory(nls, error))
        throw ToolError(fmt::format("{}: no such language directory", nls));
      setenv("HVK_NLS_DIR", nls.c_str(), 1);
    }
    // Test seam: no Jet file holding a tag database can be made, so the tool's tests let an
    // SQLite tag database stand in for one.
    if (const char* standIn = std::getenv("ZEMATAG_TEST_JET_SOURCE"))
      platform::FaultSet("Jet.SqliteFile", standIn);
    return action ? action() : 2;
  } catch (const ToolError& e) {
    ReportError(e.what());
  } catch (const PlatformError& e) {
    // The library's own words when it knows the kind (locked, damaged, disk full, ...).
    int kind = 0;
    const std::string why = LibraryFailureText(&kind);
    const std::string description = e.Description();
    if (IsFatalLibraryFailure(kind))
      ReportError(why);
    else
      ReportError(fmt::format("the database engine failed: {}{}", e.what(),
                              description.empty() ? "" : " (" + description + ")"));
  } catch (int) {
    ReportError("the database does not open as a tag database");
  } catch (const std::exception& e) {
    ReportError(e.what());
  } catch (...) {
    ReportError("an unexpected failure ended the command");
  }
  return 1;
}
