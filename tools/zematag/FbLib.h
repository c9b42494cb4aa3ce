// The function block library catalogue below the language directory: FBLib/FBLib.xml lists
// libraries (<Lib libid=".." libcfg="folder">) and their function blocks (<FB moduleid=".."
// modulecfg="file">); each module file lists the fields of one function block under
// <FB><module><fieldattr><field name=".." attr="in|out"/>.
#ifndef ZEMATAG_FBLIB_H
#define ZEMATAG_FBLIB_H

#include <string>
#include <vector>

struct FbField {
  std::string name;
  std::string attr;  // "in", "out" or anything else
};

struct FbModule {
  int libId = 0;
  int moduleId = 0;
  std::string libCfg;
  std::string moduleCfg;
  std::string path;             // the module file found, "" when it is missing
  std::vector<FbField> fields;  // in file order
};

// Reads FBLib.xml and every module file it names below nlsDir. Throws ToolError when FBLib.xml
// cannot be read or is not a catalogue; a missing module file leaves its module without fields
// and path.
std::vector<FbModule> ReadFbLibCatalogue(const std::string& nlsDir);

// The path of a catalogue file: nlsDir + "/FBLib/" + relative, resolved as the library resolves
// it (AfxResolvePath: backslashes taken as separators, each component matched without regard to
// case when the exact one is missing). Returns "" when there is no such regular file.
std::string FindCatalogueFile(const std::string& nlsDir, const std::string& relative);

#endif
