#include "catalogue/FBLibCatalogue.h"

#include <climits>
#include <cstdlib>
#include <vector>

#include "platform/afx/afx.h"
#include "xml/XmlDocument.h"

int ReadWholeFile(const std::string& path, CXmlDocument& document) {
  CFile file;
  if (!file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary))
    return 0;
  const unsigned long long length = file.GetLength();
  std::vector<char> bytes(static_cast<size_t>(length) + 1, '\0');
  const unsigned got = length > 0 ? file.Read(bytes.data(), static_cast<unsigned>(length)) : 0;
  bytes[got] = '\0';
  document.SetText(bytes.data());
  return 1;
}

namespace {

// atoi without its undefined overflow: blanks skipped, an optional sign and the leading digits
// taken, anything after them ignored, 0 without digits; a number beyond the int range gives the
// nearest int.
int IdFromText(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

}  // namespace

CFBLibCatalogue::CFBLibCatalogue(std::string directory) : nlsDir(std::move(directory)) {}

CFBLibCatalogue::~CFBLibCatalogue() = default;

bool CFBLibCatalogue::ReadLibraryCatalogue() {
  catalogueRead = true;
  CXmlDocument document;
  document.SetText(nullptr);
  if (!ReadWholeFile(nlsDir + "/FBLib/FBLib.xml", document)) return false;
  catalogueOpened = true;
  if (document.FindNext("FBLib")) {
    while (document.FindNextChild("Lib")) {
      const std::string libid = document.ChildAttribute("libid");
      const std::string libcfg = document.ChildAttribute("libcfg");
      document.Descend();
      while (document.FindNextChild("FB")) {
        const std::string moduleid = document.ChildAttribute("moduleid");
        const std::string modulecfg = document.ChildAttribute("modulecfg");
        functionBlocks.push_back(
            FunctionBlock{IdFromText(libid), IdFromText(moduleid), libcfg, modulecfg});
      }
      document.Ascend();
    }
  }
  return true;
}

const CFBLibCatalogue::ModuleFile& CFBLibCatalogue::ReadModuleFile(const std::string& libcfg,
                                                                   const std::string& modulecfg) {
  const std::string path = nlsDir + "/FBLib/" + libcfg + "/" + modulecfg;
  auto cached = moduleFiles.find(path);
  if (cached != moduleFiles.end()) return cached->second;

  ModuleFile& module = moduleFiles[path];
  CXmlDocument document;
  document.SetText(nullptr);
  if (!ReadWholeFile(path, document)) return module;
  module.opened = true;
  if (document.FindNext("FB") && document.FindNextChild("module")) {
    document.Descend();
    if (document.FindNextChild("fieldattr")) {
      document.Descend();
      while (document.FindNextChild("field")) {
        module.fieldAttrs.emplace_back(document.ChildAttribute("name"),
                                       document.ChildAttribute("attr"));
      }
      document.Ascend();
    }
    document.Ascend();
  }
  return module;
}

int CFBLibCatalogue::LoadModuleFieldKinds(const std::string& libcfg, const std::string& modulecfg,
                                          CZEMATagTypeImpl& type) {
  const ModuleFile& module = ReadModuleFile(libcfg, modulecfg);
  if (!module.opened) return 0;
  for (const auto& fieldAttr : module.fieldAttrs)
    type.SetFieldKind(fieldAttr.first.c_str(), fieldAttr.second.c_str());
  return 1;
}

bool CFBLibCatalogue::LoadFBLibCatalogue(CZEMATagTypeImpl& type) {
  if (!catalogueRead) ReadLibraryCatalogue();
  if (!catalogueOpened) return false;
  // The library id decides first; the module id only when the library matches.
  for (const FunctionBlock& block : functionBlocks) {
    if (block.libId != type.GetLibID()) continue;
    if (block.moduleId != type.GetModuleID()) continue;
    LoadModuleFieldKinds(block.libcfg, block.modulecfg, type);
  }
  return true;
}

void CFBLibCatalogue::ReadAhead(const std::vector<std::pair<int, int>>& typeIds) {
  if (typeIds.empty()) return;
  if (!catalogueRead) ReadLibraryCatalogue();
  if (!catalogueOpened) return;
  for (const auto& ids : typeIds) {
    for (const FunctionBlock& block : functionBlocks) {
      if (block.libId != ids.first || block.moduleId != ids.second) continue;
      ReadModuleFile(block.libcfg, block.modulecfg);
    }
  }
}
