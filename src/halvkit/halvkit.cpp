#include "halvkit.h"

#include <cstdlib>
#include <string>

#include "platform/threads/thread_object.h"

namespace {

// Each thread's copy of the directory, in a pthread key: a thread_local string (it has a
// destructor) would keep the library loaded after dlclose while the thread runs.
std::string* ThreadNlsDir() {
  static platform::ThreadObject<std::string> directories;
  return directories.Get();
}

}  // namespace

extern "C" const char* hvk_GetNlsDir(void) {
  const char* fromEnvironment = std::getenv("HVK_NLS_DIR");
  const char* chosen = (fromEnvironment != nullptr && *fromEnvironment != '\0')
                           ? fromEnvironment
                           : HVK_INSTALL_NLS_DIR;
  std::string* nlsDir = ThreadNlsDir();
  // Without a copy of its own (no memory, or at exit) the thread gets the value as it stands.
  if (nlsDir == nullptr) return chosen;
  *nlsDir = chosen;
  while (nlsDir->size() > 1 && nlsDir->back() == '/') nlsDir->pop_back();
  return nlsDir->c_str();
}
