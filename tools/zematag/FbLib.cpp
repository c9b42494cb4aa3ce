#include "FbLib.h"

#include <fmt/format.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <pugixml.hpp>

#include "ToolError.h"
#include "platform/afx/resolve_path.h"

namespace {

// Reads an XML file with pugixml. Like the library's own reader of the catalogue, a document
// that breaks off keeps what was read before the break; only a file that cannot be read fails.
bool LoadXml(const std::string& path, pugi::xml_document* document) {
  const pugi::xml_parse_result result = document->load_file(path.c_str());
  return result.status != pugi::status_file_not_found && result.status != pugi::status_io_error &&
         result.status != pugi::status_out_of_memory;
}

}  // namespace

std::string FindCatalogueFile(const std::string& nlsDir, const std::string& relative) {
  // The library's own rules, from the one place that holds them.
  const std::string path = AfxResolvePath((nlsDir + "/FBLib/" + relative).c_str());
  std::error_code error;
  return !path.empty() && std::filesystem::is_regular_file(path, error) ? path : "";
}

std::vector<FbModule> ReadFbLibCatalogue(const std::string& nlsDir) {
  const std::string catalogue = FindCatalogueFile(nlsDir, "FBLib.xml");
  pugi::xml_document document;
  if (catalogue.empty() || !LoadXml(catalogue, &document))
    throw ToolError(fmt::format(
        "{}/FBLib/FBLib.xml: cannot read the function block library catalogue", nlsDir));
  const pugi::xml_node root = document.document_element();
  if (std::strcmp(root.name(), "FBLib") != 0)
    throw ToolError(fmt::format("{}: the root element is not <FBLib>", catalogue));
  std::vector<FbModule> modules;
  for (const pugi::xml_node lib : root.children("Lib")) {
    for (const pugi::xml_node fb : lib.children("FB")) {
      FbModule module;
      module.libId = std::atoi(lib.attribute("libid").value());
      module.moduleId = std::atoi(fb.attribute("moduleid").value());
      module.libCfg = lib.attribute("libcfg").value();
      module.moduleCfg = fb.attribute("modulecfg").value();
      module.path = FindCatalogueFile(nlsDir, module.libCfg + "/" + module.moduleCfg);
      pugi::xml_document moduleDocument;
      if (!module.path.empty() && LoadXml(module.path, &moduleDocument)) {
        const pugi::xml_node moduleRoot = moduleDocument.document_element();
        const pugi::xml_node fieldattr = std::strcmp(moduleRoot.name(), "FB") == 0
                                             ? moduleRoot.child("module").child("fieldattr")
                                             : pugi::xml_node();
        for (const pugi::xml_node field : fieldattr.children("field"))
          module.fields.push_back(
              {field.attribute("name").value(), field.attribute("attr").value()});
      }
      modules.push_back(module);
    }
  }
  return modules;
}
