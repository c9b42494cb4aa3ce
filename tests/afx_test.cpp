// The host framework stand-in: module registration, the address check and the binary file read.

#include "platform/afx/afx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/faults/faults.h"
#include "support/TempDir.h"

namespace {
// Never destroyed, and ready even when the library reports an event during static start-up.
std::vector<std::string>& Events() {
  static auto* events = new std::vector<std::string>;
  return *events;
}
}  // namespace

// The framework reports its events here.
extern "C" void ZEMAAfxEvent(const char* event) { Events().push_back(event); }

namespace {

class AfxTest : public ::testing::Test {
 protected:
  void SetUp() override { Events().clear(); }
  void TearDown() override {
    platform::FaultClear("AfxInitExtensionModule");
    platform::FaultClearAll();
  }
};

TEST_F(AfxTest, RegistrationChainsTheModuleUntilTermination) {
  AFX_EXTENSION_MODULE module;
  ASSERT_TRUE(AfxInitExtensionModule(module, "TestModule"));
  EXPECT_TRUE(module.initialized);
  EXPECT_FALSE(AfxIsModuleRegistered("TestModule"));  // registered, not chained yet
  {
    CDynLinkLibrary library(module);
    EXPECT_TRUE(AfxIsModuleRegistered("TestModule"));
    EXPECT_FALSE(AfxIsModuleRegistered("OtherModule"));
    AfxTraceEvent("loaded");
    AfxTermExtensionModule(module);
    EXPECT_FALSE(module.initialized);
    EXPECT_FALSE(AfxIsModuleRegistered("TestModule"));
  }
  EXPECT_EQ((std::vector<std::string>{"register TestModule", "loaded", "unregister TestModule"}),
            Events());
  AfxTermExtensionModule(module);  // a second termination does nothing
  EXPECT_EQ(3u, Events().size());
}

TEST_F(AfxTest, FailedRegistrationLeavesNothingRegistered) {
  platform::FaultInject("AfxInitExtensionModule", E_FAIL, 0, -1);
  AFX_EXTENSION_MODULE module;
  EXPECT_FALSE(AfxInitExtensionModule(module, "Refused"));
  EXPECT_FALSE(module.initialized);
  CDynLinkLibrary library(module);
  EXPECT_FALSE(AfxIsModuleRegistered("Refused"));
  EXPECT_TRUE(Events().empty());
  platform::FaultClear("AfxInitExtensionModule");
  EXPECT_TRUE(AfxInitExtensionModule(module, "Refused"));
  EXPECT_TRUE(AfxIsModuleRegistered("Refused"));
  AfxTermExtensionModule(module);
}

TEST_F(AfxTest, AddressCheckRejectsNullNegativeOverflowedAndUnmappedBlocks) {
  std::vector<char> block(312 * 3);
  EXPECT_TRUE(AfxIsValidAddress(block.data(), AfxBlockSize(3, 312)));
  EXPECT_TRUE(AfxIsValidAddress(block.data(), 0));
  EXPECT_FALSE(AfxIsValidAddress(nullptr, 0));
  EXPECT_FALSE(AfxIsValidAddress(nullptr, 312));
  EXPECT_FALSE(AfxIsValidAddress(block.data(), -4));
  EXPECT_EQ(-1, AfxBlockSize(-1, 312));
  EXPECT_EQ(-1, AfxBlockSize(LLONG_MAX / 4, 312));
  EXPECT_EQ(0, AfxBlockSize(0, 312));
  EXPECT_FALSE(AfxIsValidAddress(block.data(), AfxBlockSize(LLONG_MAX / 4, 312)));
  // A block that wraps around the end of the address space.
  EXPECT_FALSE(AfxIsValidAddress(reinterpret_cast<void*>(UINTPTR_MAX - 16), 312));

  // A block that runs into an unmapped page.
  long pageSize = sysconf(_SC_PAGESIZE);
  void* pages =
      mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, pages);
  ASSERT_EQ(0, munmap(static_cast<char*>(pages) + pageSize, pageSize));
  char* lastBytes = static_cast<char*>(pages) + pageSize - 8;
  EXPECT_TRUE(AfxIsValidAddress(lastBytes, 8));
  EXPECT_FALSE(AfxIsValidAddress(lastBytes, 9));
  munmap(pages, pageSize);

  platform::FaultInject("AfxIsValidAddress", E_FAIL);
  EXPECT_FALSE(AfxIsValidAddress(block.data(), 312));
  EXPECT_TRUE(AfxIsValidAddress(block.data(), 312));
}

std::string ReadWhole(const std::string& path) {
  CFile file;
  if (!file.Open(path.c_str(), 0x8020)) return "<no open>";
  std::string bytes(static_cast<size_t>(file.GetLength()), '\0');
  unsigned read = file.Read(&bytes[0], static_cast<unsigned>(bytes.size()));
  EXPECT_EQ(bytes.size(), read);
  return bytes;
}

TEST_F(AfxTest, FileReadDeliversTheBytesUnchanged) {
  TempDir dir;
  static const char kBytes[] = "<?xml?>\r\n\0\xFF\x81\x5C end";
  const std::string content(kBytes, sizeof kBytes - 1);  // 17 bytes, a zero among them
  std::string path = dir.Write("FBLib.xml", content);
  EXPECT_EQ(content, ReadWhole(path));
  std::string empty = dir.Write("Empty.xml", "");
  EXPECT_EQ("", ReadWhole(empty));

  CFile file;
  ASSERT_TRUE(file.Open(path.c_str(), CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary));
  char buffer[64];
  EXPECT_EQ(5u, file.Read(buffer, 5));
  EXPECT_EQ(12u, file.Read(buffer, 64));  // the rest, then nothing
  EXPECT_EQ(0u, file.Read(buffer, 64));
  file.Close();
  EXPECT_EQ(0u, file.GetLength());
  EXPECT_EQ(0u, file.Read(buffer, 64));
}

TEST_F(AfxTest, BackslashesAndWrongCaseResolveToTheExistingFile) {
  TempDir dir;
  std::string real = dir.Write("FBLib/Modules/PID.xml", "pid");
  EXPECT_EQ(real, AfxResolvePath(real.c_str()));
  std::string windowsStyle = dir.Path() + "\\fblib\\MODULES\\pid.XML";
  EXPECT_EQ(real, AfxResolvePath(windowsStyle.c_str()));
  EXPECT_EQ("pid", ReadWhole(windowsStyle));
  std::string dotted = dir.Path() + "/fblib/./modules/../Modules//Pid.xml";
  EXPECT_EQ("pid", ReadWhole(dotted));

  EXPECT_EQ("", AfxResolvePath((dir.Path() + "\\fblib\\missing.xml").c_str()));
  EXPECT_EQ("", AfxResolvePath(""));
  EXPECT_EQ("", AfxResolvePath(nullptr));
  EXPECT_EQ("<no open>", ReadWhole(dir.Path() + "/nothing/here.xml"));
  EXPECT_EQ("<no open>", ReadWhole(dir.Path() + "/FBLib"));  // a folder is no file
  CFile file;
  EXPECT_FALSE(file.Open(nullptr, 0x8020));
}

TEST_F(AfxTest, FileOpenIsRefusedWhileAWriterHoldsTheFileAndDeniesWritersItself) {
  TempDir dir;
  std::string path = dir.Write("Locked.xml", "data");
  int writer = open(path.c_str(), O_RDWR);
  ASSERT_GE(writer, 0);
  ASSERT_EQ(0, flock(writer, LOCK_EX | LOCK_NB));
  EXPECT_EQ("<no open>", ReadWhole(path));
  flock(writer, LOCK_UN);
  {
    CFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 0x8020));
    EXPECT_NE(0, flock(writer, LOCK_EX | LOCK_NB));  // the open file denies writers
  }
  EXPECT_EQ(0, flock(writer, LOCK_EX | LOCK_NB));  // the destructor closed it
  close(writer);
}

TEST_F(AfxTest, FileOpenFailsWithoutSideEffects) {
  TempDir dir;
  std::string path = dir.Write("Data.xml", "data");
  CFile file;
  // A write mode is refused and creates nothing.
  std::string created = dir.File("New.xml");
  EXPECT_FALSE(file.Open(created.c_str(), 0x1001));
  struct stat st;
  EXPECT_NE(0, stat(created.c_str(), &st));
  EXPECT_FALSE(file.Open(path.c_str(), 0x0002));

  platform::FaultInject("File.Open", E_FAIL);
  EXPECT_FALSE(file.Open(path.c_str(), 0x8020));
  EXPECT_EQ(0u, file.GetLength());
  EXPECT_EQ("data", ReadWhole(path));
}

}  // namespace
