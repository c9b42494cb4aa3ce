// The catalogue singleton and the writer's null Close, as a caller reaches them.
#include <gtest/gtest.h>

#include "ZEMATagAcs.h"
#include "platform/afx/afx.h"

namespace {

TEST(ModuleTest, TheLibraryRegistersItselfAtLoad) {
  EXPECT_TRUE(AfxIsModuleRegistered("ZEMATagAcs"));
}

TEST(ModuleTest, InstanceIsOneCatalogueUntilReleased) {
  CZEMATagAcs* first = CZEMATagAcs::Instance();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(CZEMATagAcs::Instance(), first);
  EXPECT_EQ(first->GetTagCount(), 0);

  CZEMATagAcs::Release();
  CZEMATagAcs::Release();  // a second release does nothing

  CZEMATagAcs* second = CZEMATagAcs::Instance();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->GetTagCount(), 0);
  int count = -1;
  CZEMATag* tags[2] = {nullptr, nullptr};
  second->GetTags(0, 2, &count, tags);
  EXPECT_EQ(count, 0);
  CZEMATagAcs::Release();
}

TEST(ModuleTest, LoadOfNothingFails) {
  EXPECT_EQ(CZEMATagAcs::Instance()->Load(nullptr), 0);
  EXPECT_EQ(CZEMATagAcs::Instance()->Load("/nonexistent/folder/tags.db"), 0);
  CZEMATagAcs::Release();
}

// Closing a null writer is checked by the consumer program (tests/consumer), which is built with
// optimisation and without the sanitizer's null check, as a caller would build it.

}  // namespace
