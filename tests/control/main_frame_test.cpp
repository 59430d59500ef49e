#include "control/main_frame.h"

#include <gtest/gtest.h>

#include <atomic>

#include "test_support.h"

namespace {

using testing_support::PollUntil;
using testing_support::TraceCapture;

TEST(MainFrame, CloseDestroysTheWindowAndLaterSendsFailFast) {
  std::atomic<int> destroyed{0};
  CMainFrame frame(L"", [&] { ++destroyed; });
  ASSERT_TRUE(frame.Create());
  EXPECT_TRUE(frame.IsRunning());
  frame.SendMessage(WM_CLOSE, 0, 0);
  frame.Join();
  EXPECT_EQ(destroyed, 1);
  EXPECT_FALSE(frame.IsRunning());
  EXPECT_EQ(frame.Release(), FALSE);  // nobody left to stop the watch
}

TEST(MainFrame, StartWithoutStorageTracesAndKeepsRunning) {
  TraceCapture trace;
  CMainFrame frame(L"/nonexistent-dir-for-strandel/", nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  EXPECT_TRUE(trace.Contains("[Strandel]CreateStorageFile Failed !!"));
  EXPECT_EQ(frame.CountTasks(), 0u);
  EXPECT_TRUE(frame.IsRunning());
  EXPECT_EQ(frame.Release(), TRUE);
  EXPECT_EQ(frame.Release(), TRUE);  // a second release finds nothing to stop
}

class MainFrameTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  os::FakeClock clock_;
};

TEST_F(MainFrameTimerTest, ATaskTimerStartsOneScheduledSyncAndIsNotRearmedByItself) {
  TraceCapture trace;
  CMainFrame frame(L"", nullptr);
  ASSERT_TRUE(frame.Create());
  frame.SetTimer(10, 600000);
  frame.SetTimer(9, 60000);     // below the task range: not a scheduled sync
  frame.SetTimer(1001, 60000);  // the registration retry timer
  clock_.Advance(std::chrono::minutes(10));
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("StartPlanSync(nIDEvent:10, NULL)"); }));
  clock_.Advance(std::chrono::minutes(10));
  frame.SendMessage(WM_USER + 99, 0, 0);
  int starts = 0;
  for (const auto& line : trace.Lines()) {
    if (line.find("StartPlanSync(nIDEvent:") != std::string::npos) ++starts;
  }
  EXPECT_EQ(starts, 1);
}

}  // namespace
