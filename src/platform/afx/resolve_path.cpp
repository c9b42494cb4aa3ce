// The resolution of Windows-style paths on a case-sensitive file system. Kept free of the rest of
// the platform, so that the zematag tool finds catalogue files by the same rules as the library.
#include "platform/afx/resolve_path.h"

#include <dirent.h>
#include <sys/stat.h>

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool EqualIgnoringAsciiCase(const char* a, const std::string& b) {
  size_t i = 0;
  for (; a[i] != '\0' && i < b.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x += 'a' - 'A';
    if (y >= 'A' && y <= 'Z') y += 'a' - 'A';
    if (x != y) return false;
  }
  return a[i] == '\0' && i == b.size();
}

std::string Join(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (directory.back() == '/') return directory + name;
  return directory + "/" + name;
}

// The entry of directory whose name equals name without regard to ASCII case; the smallest
// such name when there are several, so that the choice does not depend on the listing order.
std::string FindEntry(const std::string& directory, const std::string& name) {
  DIR* dir = opendir(directory.empty() ? "." : directory.c_str());
  if (dir == nullptr) return "";
  std::string found;
  while (const struct dirent* entry = readdir(dir)) {
    if (EqualIgnoringAsciiCase(entry->d_name, name) && (found.empty() || entry->d_name < found)) {
      found = entry->d_name;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

std::string AfxResolvePath(const char* path) {
  if (path == nullptr || *path == '\0') return "";
  std::string wanted(path);
  for (char& c : wanted) {
    if (c == '\\') c = '/';
  }
  if (Exists(wanted)) return wanted;

  std::string resolved = wanted[0] == '/' ? "/" : "";
  size_t pos = 0;
  while (pos < wanted.size()) {
    size_t slash = wanted.find('/', pos);
    if (slash == std::string::npos) slash = wanted.size();
    std::string component = wanted.substr(pos, slash - pos);
    pos = slash + 1;
    if (component.empty()) continue;
    std::string exact = Join(resolved, component);
    if (component == "." || component == ".." || Exists(exact)) {
      resolved = exact;
      continue;
    }
    std::string entry = FindEntry(resolved, component);
    if (entry.empty()) return "";
    resolved = Join(resolved, entry);
  }
  return Exists(resolved) ? resolved : "";
}
