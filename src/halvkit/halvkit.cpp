#include "halvkit.h"

#include <cstdlib>
#include <string>

namespace {
thread_local std::string nlsDir;
}

extern "C" const char* hvk_GetNlsDir(void) {
  const char* fromEnvironment = std::getenv("HVK_NLS_DIR");
  nlsDir = (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment
                                                                    : HVK_INSTALL_NLS_DIR;
  while (nlsDir.size() > 1 && nlsDir.back() == '/') nlsDir.pop_back();
  return nlsDir.c_str();
}
