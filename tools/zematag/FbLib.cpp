#include "FbLib.h"

#include <fmt/format.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Text.h"
#include "ToolError.h"

namespace {

// An element of a small XML reader: enough for the catalogue's elements and attributes.
struct XmlElement {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;
  std::vector<XmlElement> children;

  std::string Attribute(const std::string& wanted) const {
    for (const auto& attribute : attributes)
      if (attribute.first == wanted) return attribute.second;
    return "";
  }
  const XmlElement* FirstChild(const std::string& wanted) const {
    for (const XmlElement& child : children)
      if (child.name == wanted) return &child;
    return nullptr;
  }
};

void AppendUtf8(std::string* text, unsigned long code) {
  if (code < 0x80) {
    text->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    text->push_back(static_cast<char>(0xC0 | (code >> 6)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    text->push_back(static_cast<char>(0xE0 | (code >> 12)));
    text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x110000) {
    text->push_back(static_cast<char>(0xF0 | (code >> 18)));
    text->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Replaces the predefined entities and character references; unknown ones stay as written.
std::string DecodeEntities(const std::string& raw) {
  std::string text;
  for (size_t i = 0; i < raw.size(); ++i) {
    const size_t end = raw[i] == '&' ? raw.find(';', i) : std::string::npos;
    if (end == std::string::npos || end - i > 10) {
      text.push_back(raw[i]);
      continue;
    }
    const std::string name = raw.substr(i + 1, end - i - 1);
    if (name == "amp") {
      text += '&';
    } else if (name == "lt") {
      text += '<';
    } else if (name == "gt") {
      text += '>';
    } else if (name == "quot") {
      text += '"';
    } else if (name == "apos") {
      text += '\'';
    } else if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      AppendUtf8(&text, std::strtoul(name.c_str() + (hex ? 2 : 1), nullptr, hex ? 16 : 10));
    } else {
      text.push_back(raw[i]);
      continue;
    }
    i = end;
  }
  return text;
}

// Parses elements and attributes; skips declarations, comments, CDATA and text. Elements left
// open at the end are closed there. Returns the root element (the first top-level element).
XmlElement ParseXml(const std::string& text) {
  XmlElement document;
  std::vector<XmlElement*> open = {&document};
  size_t pos = 0;
  const auto isNameChar = [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.' ||
           c == ':' || static_cast<unsigned char>(c) >= 0x80;
  };
  while ((pos = text.find('<', pos)) != std::string::npos) {
    if (text.compare(pos, 4, "<!--") == 0) {
      const size_t end = text.find("-->", pos);
      pos = end == std::string::npos ? text.size() : end + 3;
      continue;
    }
    if (text.compare(pos, 9, "<![CDATA[") == 0) {
      const size_t end = text.find("]]>", pos);
      pos = end == std::string::npos ? text.size() : end + 3;
      continue;
    }
    if (text.compare(pos, 2, "<?") == 0 || text.compare(pos, 2, "<!") == 0) {
      const size_t end = text.find('>', pos);
      pos = end == std::string::npos ? text.size() : end + 1;
      continue;
    }
    if (text.compare(pos, 2, "</") == 0) {
      size_t end = pos + 2;
      while (end < text.size() && isNameChar(text[end])) ++end;
      const std::string name = text.substr(pos + 2, end - pos - 2);
      for (size_t depth = open.size() - 1; depth > 0; --depth)
        if (open[depth]->name == name) {
          open.resize(depth);
          break;
        }
      const size_t close = text.find('>', end);
      pos = close == std::string::npos ? text.size() : close + 1;
      continue;
    }
    size_t cursor = pos + 1;
    while (cursor < text.size() && isNameChar(text[cursor])) ++cursor;
    XmlElement element;
    element.name = text.substr(pos + 1, cursor - pos - 1);
    bool selfClosing = false;
    while (cursor < text.size()) {
      while (cursor < text.size() && std::isspace(static_cast<unsigned char>(text[cursor])))
        ++cursor;
      if (cursor >= text.size()) break;
      if (text[cursor] == '>') {
        ++cursor;
        break;
      }
      if (text[cursor] == '/') {
        selfClosing = true;
        ++cursor;
        continue;
      }
      const size_t nameBegin = cursor;
      while (cursor < text.size() && isNameChar(text[cursor])) ++cursor;
      if (cursor == nameBegin) {
        ++cursor;  // a stray character: skip it
        continue;
      }
      const std::string name = text.substr(nameBegin, cursor - nameBegin);
      while (cursor < text.size() && std::isspace(static_cast<unsigned char>(text[cursor])))
        ++cursor;
      std::string value;
      if (cursor < text.size() && text[cursor] == '=') {
        ++cursor;
        while (cursor < text.size() && std::isspace(static_cast<unsigned char>(text[cursor])))
          ++cursor;
        if (cursor < text.size() && (text[cursor] == '"' || text[cursor] == '\'')) {
          const char quote = text[cursor];
          const size_t end = text.find(quote, cursor + 1);
          const size_t stop = end == std::string::npos ? text.size() : end;
          value = DecodeEntities(text.substr(cursor + 1, stop - cursor - 1));
          cursor = end == std::string::npos ? text.size() : end + 1;
        }
      }
      selfClosing = false;
      element.attributes.emplace_back(name, value);
    }
    pos = cursor;
    if (element.name.empty()) continue;
    open.back()->children.push_back(element);
    if (!selfClosing) open.push_back(&open.back()->children.back());
  }
  return document.children.empty() ? XmlElement() : document.children.front();
}

bool ReadText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream bytes;
  bytes << in.rdbuf();
  *text = bytes.str();
  return true;
}

}  // namespace

std::string FindCatalogueFile(const std::string& nlsDir, const std::string& relative) {
  namespace fs = std::filesystem;
  std::string parts = "FBLib/" + relative;
  for (char& c : parts)
    if (c == '\\') c = '/';
  fs::path path = nlsDir;
  std::istringstream components(parts);
  std::string component;
  std::error_code error;
  while (std::getline(components, component, '/')) {
    if (component.empty() || component == ".") continue;
    fs::path exact = path / component;
    if (fs::exists(exact, error)) {
      path = exact;
      continue;
    }
    bool found = false;
    for (const auto& entry : fs::directory_iterator(path, error)) {
      if (EqualsNoCase(entry.path().filename().string(), component)) {
        path = entry.path();
        found = true;
        break;
      }
    }
    if (!found) return "";
  }
  return fs::is_regular_file(path, error) ? path.string() : "";
}

std::vector<FbModule> ReadFbLibCatalogue(const std::string& nlsDir) {
  const std::string catalogue = FindCatalogueFile(nlsDir, "FBLib.xml");
  std::string text;
  if (catalogue.empty() || !ReadText(catalogue, &text))
    throw ToolError(
        fmt::format("{}/FBLib/FBLib.xml: cannot read the function block library "
                    "catalogue",
                    nlsDir));
  const XmlElement root = ParseXml(text);
  if (root.name != "FBLib")
    throw ToolError(fmt::format("{}: the root element is not <FBLib>", catalogue));
  std::vector<FbModule> modules;
  for (const XmlElement& lib : root.children) {
    if (lib.name != "Lib") continue;
    for (const XmlElement& fb : lib.children) {
      if (fb.name != "FB") continue;
      FbModule module;
      module.libId = std::atoi(lib.Attribute("libid").c_str());
      module.moduleId = std::atoi(fb.Attribute("moduleid").c_str());
      module.libCfg = lib.Attribute("libcfg");
      module.moduleCfg = fb.Attribute("modulecfg");
      module.path = FindCatalogueFile(nlsDir, module.libCfg + "/" + module.moduleCfg);
      std::string moduleText;
      if (!module.path.empty() && ReadText(module.path, &moduleText)) {
        const XmlElement moduleRoot = ParseXml(moduleText);
        const XmlElement* description =
            moduleRoot.name == "FB" ? moduleRoot.FirstChild("module") : nullptr;
        const XmlElement* fieldattr =
            description != nullptr ? description->FirstChild("fieldattr") : nullptr;
        if (fieldattr != nullptr)
          for (const XmlElement& field : fieldattr->children)
            if (field.name == "field")
              module.fields.push_back({field.Attribute("name"), field.Attribute("attr")});
      }
      modules.push_back(module);
    }
  }
  return modules;
}
