// The fault-injection seam: arming, skipping, counting, tracing, and checks from many threads.
#include "platform/faults/faults.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::FaultClearAll(); }
  void TearDown() override { platform::FaultClearAll(); }
};

TEST_F(FaultsTest, NothingFailsWhileNothingIsArmed) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(platform::FaultCheck("Connection.Open"), S_OK);
  EXPECT_EQ(platform::FaultFiredCount(), 0);
}

TEST_F(FaultsTest, ArmedFaultSkipsThenFailsTheGivenNumberOfCalls) {
  platform::FaultInject("Recordset.MoveNext", E_FAIL, 2, 2);
  std::vector<HRESULT> results;
  for (int i = 0; i < 6; ++i) results.push_back(platform::FaultCheck("Recordset.MoveNext"));
  EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, S_OK, E_FAIL, E_FAIL, S_OK, S_OK}));
  EXPECT_EQ(platform::FaultCheck("Recordset.MoveFirst"), S_OK);  // names match exactly
  EXPECT_EQ(platform::FaultFiredCount(), 2);
}

TEST_F(FaultsTest, NegativeTimesFailsEveryLaterCallUntilCleared) {
  platform::FaultInject("File.Open", E_ACCESSDENIED, 1, -1);
  EXPECT_EQ(platform::FaultCheck("File.Open"), S_OK);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(platform::FaultCheck("File.Open"), E_ACCESSDENIED);
  EXPECT_EQ(platform::FaultFiredCount(), 5);
  platform::FaultClearAll();
  EXPECT_EQ(platform::FaultCheck("File.Open"), S_OK);
  EXPECT_EQ(platform::FaultFiredCount(), 0);
}

TEST_F(FaultsTest, FaultsOnDifferentCallsAreIndependentAndReArmingReplaces) {
  platform::FaultInject("A", E_FAIL);
  platform::FaultInject("B", E_POINTER, 0, 2);
  EXPECT_EQ(platform::FaultCheck("B"), E_POINTER);
  EXPECT_EQ(platform::FaultCheck("A"), E_FAIL);
  EXPECT_EQ(platform::FaultCheck("A"), S_OK);
  platform::FaultInject("B", E_OUTOFMEMORY);  // replaces the remaining failure of B
  EXPECT_EQ(platform::FaultCheck("B"), E_OUTOFMEMORY);
  EXPECT_EQ(platform::FaultCheck("B"), S_OK);
  platform::FaultInject("C", E_FAIL, 0, 0);  // zero times arms nothing
  EXPECT_EQ(platform::FaultCheck("C"), S_OK);
  EXPECT_EQ(platform::FaultFiredCount(), 3);
}

TEST_F(FaultsTest, TraceRecordsCheckedCallsInOrder) {
  platform::FaultCheck("Before");
  platform::FaultTraceStart();
  platform::FaultCheck("Connection.Open");
  platform::FaultCheck("Recordset.Open");
  platform::FaultCheck("Connection.Open");
  EXPECT_EQ(platform::FaultTraceStop(),
            (std::vector<std::string>{"Connection.Open", "Recordset.Open", "Connection.Open"}));
  platform::FaultCheck("After");
  EXPECT_TRUE(platform::FaultTraceStop().empty());

  platform::FaultTraceStart();
  platform::FaultCheck("Old");
  platform::FaultTraceStart();  // a new start forgets the earlier record
  platform::FaultInject("New", E_FAIL);
  EXPECT_EQ(platform::FaultCheck("New"), E_FAIL);  // failed calls are recorded too
  EXPECT_EQ(platform::FaultTraceStop(), (std::vector<std::string>{"New"}));
}

TEST_F(FaultsTest, FaultsOutsideTheRoadsFireButStayOutOfTheTrace) {
  const CLSID clsid = {
      0x00000514, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
  const std::string name = platform::FaultNameCreateInstance(clsid);
  EXPECT_EQ(name, "CoCreateInstance {00000514-0000-0010-8000-00AA006D2EA4}");
  EXPECT_EQ(platform::FaultCheckUntraced(name), S_OK);
  platform::FaultTraceStart();
  platform::FaultInject(name, E_NOINTERFACE, 1, -1);
  EXPECT_EQ(platform::FaultCheckUntraced(name), S_OK);  // skipped
  EXPECT_EQ(platform::FaultCheckUntraced(name), E_NOINTERFACE);
  EXPECT_EQ(platform::FaultCheck("Connection.Open"), S_OK);
  EXPECT_EQ(platform::FaultCheckUntraced(name), E_NOINTERFACE);
  EXPECT_EQ(platform::FaultTraceStop(), (std::vector<std::string>{"Connection.Open"}));
  EXPECT_EQ(platform::FaultFiredCount(), 2);
  platform::FaultClear(name);
  EXPECT_EQ(platform::FaultCheckUntraced(name), S_OK);
}

// A listener for the settings test: the values it was given, in order.
std::vector<std::string>& Heard() {
  static std::vector<std::string> heard;
  return heard;
}

TEST_F(FaultsTest, SettingsReachTheirListenerAndOutliveClearAll) {
  platform::FaultListen("Test.Setting", [](const std::string& value) { Heard().push_back(value); });
  EXPECT_EQ(platform::FaultSetting("Test.Setting"), "");
  platform::FaultSet("Test.Setting", "936");
  platform::FaultClearAll();  // settings are not faults
  EXPECT_EQ(platform::FaultSetting("Test.Setting"), "936");
  EXPECT_EQ(platform::FaultCheck("Test.Setting"), S_OK);
  platform::FaultSet("Test.Setting", "");
  EXPECT_EQ(platform::FaultSetting("Test.Setting"), "");
  EXPECT_EQ(Heard(), (std::vector<std::string>{"936", ""}));
}

TEST_F(FaultsTest, ConcurrentChecksDeliverEachArmedFailureOnce) {
  constexpr int kThreads = 8, kCallsPerThread = 5000, kFailures = 1000;
  platform::FaultInject("Shared", E_FAIL, 100, kFailures);
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&failed] {
      for (int i = 0; i < kCallsPerThread; ++i) {
        if (platform::FaultCheck("Shared") == E_FAIL) ++failed;
        platform::FaultCheck("Other");
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failed.load(), kFailures);
  EXPECT_EQ(platform::FaultFiredCount(), kFailures);
}

}  // namespace
