// zematag init: a new tag database from a type description or the function block library.
#include <fmt/format.h>

#include <cstdio>
#include <filesystem>
#include <set>

#include "Commands.h"
#include "FbLib.h"
#include "Report.h"
#include "SchemaStore.h"
#include "Text.h"
#include "ToolError.h"
#include "Tracking.h"
#include "TypeDescription.h"

namespace {

// The types of the function block library catalogue: one per function block. A type of the
// description with the same library and module gives the name, the id and the column types of
// the fields it lists; other fields are DOUBLE. Fields the description adds after the module
// file's fields (parameters the module file does not list) are kept. Without a description
// entry a type is named after its module file and numbered library * 100 + module.
std::vector<TypeDef> TypesFromFbLib(const std::vector<TypeDef>& described) {
  const std::string nls = NlsDir();
  std::vector<FbModule> modules = ReadFbLibCatalogue(nls);
  std::vector<TypeDef> types;
  std::set<const TypeDef*> used;
  std::set<int> ids;
  for (const TypeDef& type : described)
    if (type.hasId) ids.insert(type.id);
  for (const FbModule& module : modules) {
    if (module.path.empty())
      throw ToolError(fmt::format("{}/FBLib/{}/{}: module file of library {} module {} is missing",
                                  nls, module.libCfg, module.moduleCfg, module.libId,
                                  module.moduleId));
    const TypeDef* description = nullptr;
    for (const TypeDef& type : described)
      if (type.libId == module.libId && type.moduleId == module.moduleId) description = &type;
    TypeDef type;
    type.where = module.path;
    type.libId = module.libId;
    type.moduleId = module.moduleId;
    if (description != nullptr) {
      used.insert(description);
      type.name = description->name;
      type.id = description->id;
      type.hasId = description->hasId;
    } else {
      type.name = std::filesystem::path(module.moduleCfg).stem().string();
      int id = module.libId * 100 + module.moduleId;
      if (id < 1 || id > 32767 || ids.count(id) != 0) {
        id = 1;
        while (ids.count(id) != 0) ++id;
      }
      type.id = id;
      type.hasId = true;
    }
    ids.insert(type.id);
    for (const FbField& field : module.fields) {
      const FieldDef* given = description != nullptr ? description->Field(field.name) : nullptr;
      type.fields.push_back({field.name, given != nullptr ? given->declared : "DOUBLE", {}});
    }
    if (description != nullptr)
      for (const FieldDef& field : description->fields)
        if (type.Field(field.name) == nullptr) type.fields.push_back(field);
    types.push_back(type);
  }
  for (const TypeDef& type : described)
    if (used.count(&type) == 0) types.push_back(type);
  return types;
}

}  // namespace

int RunInit(const InitOptions& options) {
  if (options.typesFile.empty() && !options.fromFbLib)
    throw ToolError("init needs --types FILE, --from-fblib, or both");
  std::vector<TypeDef> types;
  if (!options.typesFile.empty()) types = ReadTypeDescription(options.typesFile);
  if (options.fromFbLib) types = TypesFromFbLib(types);
  ValidateTypes(&types);
  size_t fields = 0;
  for (const TypeDef& type : types) fields += type.fields.size();

  if (IsServerUri(options.database)) {
    if (options.audit)
      RequireFile(options.database, "init --audit",
                  "the audit trail is kept by triggers of an SQLite file");
    CSchemaStore::CreateOnServer(options.database, types, options.force);
    std::printf("%s", fmt::format("created {} with {} tag types ({} fields)\n",
                                  Shown(options.database), types.size(), fields)
                          .c_str());
    return 0;
  }

  std::error_code error;
  namespace fs = std::filesystem;
  // A symbolic link is never replaced unasked, even one that leads nowhere.
  if (fs::is_symlink(fs::symlink_status(options.database, error)) && !options.force)
    throw ToolError(
        fmt::format("{}: is a symbolic link (use --force to replace the link)", options.database));
  if (fs::exists(options.database, error)) {
    if (!options.force)
      throw ToolError(
          fmt::format("{}: the file exists (use --force to replace it)", options.database));
    if (fs::is_directory(options.database, error))
      throw ToolError(fmt::format("{}: is a folder", options.database));
  }
  const fs::path parent = fs::path(options.database).parent_path();
  if (!parent.empty() && !fs::is_directory(parent, error))
    throw ToolError(fmt::format("{}: no such folder", parent.string()));

  // Built beside the target; the old file (and its journal files) go only once it is complete.
  const std::string building = options.database + ".new";
  fs::remove(building, error);
  CSchemaStore::Create(building, types);
  try {
    tracking::CTrackedDb db = tracking::CTrackedDb::Open(building, true);
    db.Execute("BEGIN IMMEDIATE");
    tracking::InstallGeneration(db);
    if (options.audit) tracking::InstallAudit(db);
    db.Execute("COMMIT");
  } catch (...) {
    fs::remove(building, error);
    throw;
  }
  for (const char* suffix : {"-wal", "-shm", "-journal"})
    fs::remove(options.database + suffix, error);
  fs::rename(building, options.database, error);
  if (error) {
    fs::remove(building, error);
    throw ToolError(fmt::format("{}: cannot be replaced", options.database));
  }
  std::printf("%s", fmt::format("created {} with {} tag types ({} fields)\n", options.database,
                                types.size(), fields)
                        .c_str());
  return 0;
}
