// The function block library catalogue: FBLib.xml and one module file per function block, below
// the toolkit's language directory, say which fields of a tag type are inputs and outputs.
#ifndef ZEMA_CATALOGUE_FBLIBCATALOGUE_H
#define ZEMA_CATALOGUE_FBLIBCATALOGUE_H

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "catalogue/ZEMATagTypeImpl.h"

class CXmlDocument;

// Hands the whole file at path, followed by a terminating zero, to the document's SetText.
// Returns 0, leaving the document untouched, when the file does not open.
int ReadWholeFile(const std::string& path, CXmlDocument& document);

// The catalogue as one Load sees it. Each file is read and parsed at most once per Load, and
// what it says is kept: a type gets exactly the kinds it would get from reading the library
// catalogue once per type and a module file once per matching "FB" element.
class CFBLibCatalogue {
 public:
  // nlsDir: the language directory, used as the start of every path.
  explicit CFBLibCatalogue(std::string nlsDir);
  ~CFBLibCatalogue();
  CFBLibCatalogue(const CFBLibCatalogue&) = delete;
  CFBLibCatalogue& operator=(const CFBLibCatalogue&) = delete;

  // Applies every module file whose "Lib"/"FB" ids match the type, in document order. False
  // when the library catalogue could not be opened (nothing changes then).
  bool LoadFBLibCatalogue(CZEMATagTypeImpl& type);

  // Reads now every file that LoadFBLibCatalogue would read for types with these (library id,
  // module id) pairs, called in this order, and in the same order, so that those calls find
  // everything read. Reads nothing for no pairs. May run on another thread while no other
  // thread uses this object; what it throws leaves the object unfit for use.
  void ReadAhead(const std::vector<std::pair<int, int>>& typeIds);

 private:
  // One "FB" element of the library catalogue.
  struct FunctionBlock {
    int libId;
    int moduleId;
    std::string libcfg;
    std::string modulecfg;
  };
  // What a module file says: its "field" elements in order, or that it did not open.
  struct ModuleFile {
    bool opened = false;
    std::vector<std::pair<std::string, std::string>> fieldAttrs;  // name, attr
  };

  bool ReadLibraryCatalogue();
  const ModuleFile& ReadModuleFile(const std::string& libcfg, const std::string& modulecfg);
  int LoadModuleFieldKinds(const std::string& libcfg, const std::string& modulecfg,
                           CZEMATagTypeImpl& type);

  std::string nlsDir;
  bool catalogueRead = false;
  bool catalogueOpened = false;
  std::vector<FunctionBlock> functionBlocks;
  std::map<std::string, ModuleFile> moduleFiles;  // by module file path
};

#endif
