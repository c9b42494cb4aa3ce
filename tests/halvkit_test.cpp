// The toolkit's language directory.
#include "halvkit.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

TEST(HalvkitTest, TheEnvironmentChoosesTheLanguageDirectoryElseTheInstallPrefix) {
  const char* saved = std::getenv("HVK_NLS_DIR");
  const std::string kept = saved ? saved : "";

  setenv("HVK_NLS_DIR", "/opt/plant/nls//", 1);
  EXPECT_STREQ(hvk_GetNlsDir(), "/opt/plant/nls") << "without trailing separators";

  setenv("HVK_NLS_DIR", "", 1);
  const std::string fallback = hvk_GetNlsDir();
  const std::string tail = "/share/Halvkit0101/nls";
  ASSERT_GE(fallback.size(), tail.size());
  EXPECT_EQ(fallback.substr(fallback.size() - tail.size()), tail);
  EXPECT_EQ(fallback.front(), '/') << "an absolute path under the install prefix";

  unsetenv("HVK_NLS_DIR");
  EXPECT_EQ(hvk_GetNlsDir(), fallback);

  if (saved != nullptr) setenv("HVK_NLS_DIR", kept.c_str(), 1);
}

}  // namespace
