// The message thread: send/post ordering and shutdown with senders waiting.
#include "os/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "os/clock.h"
#include "os/event.h"
#include "test_support.h"

namespace {

using testing_support::PollUntil;

constexpr UINT kBlock = WM_USER + 1;
constexpr UINT kRecord = WM_USER + 2;
constexpr UINT kDouble = WM_USER + 3;
constexpr UINT kNested = WM_USER + 4;

// Records what it serves; kBlock holds the loop until `gate` is set.
class RecordingLoop : public os::MessageLoop {
 public:
  ~RecordingLoop() override { Stop(); }
  std::vector<WPARAM> Served(UINT message) {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<WPARAM> params;
    for (auto [m, w] : served_) {
      if (m == message) params.push_back(w);
    }
    return params;
  }
  os::Event blocked{true, false};
  os::Event gate{true, false};

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      served_.emplace_back(message, wParam);
    }
    if (message == kBlock) {
      blocked.Set();
      gate.Wait(INFINITE);
    }
    // From the owning thread a send is a direct call, not a deadlock.
    if (message == kNested) return SendMessage(kDouble, wParam, lParam) + 1;
    return message == kDouble ? static_cast<LRESULT>(wParam) * 2 + lParam : 0;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<UINT, WPARAM>> served_;
};

TEST(MessageLoop, SendsReturnResultsAndAreServedBeforePostsWhichKeepTheirOrder) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  EXPECT_EQ(loop.SendMessage(kNested, 5, 1), 12);
  loop.PostMessage(kBlock, 0, 0);
  ASSERT_EQ(loop.blocked.Wait(10000), WAIT_OBJECT_0);
  loop.PostMessage(kRecord, 1, 0);
  loop.PostMessage(kRecord, 2, 0);
  std::thread sender([&] { loop.SendMessage(kRecord, 3, 0); });
  ASSERT_TRUE(PollUntil([&] { return loop.PendingMessages() == 3; }));
  loop.gate.Set();
  sender.join();
  ASSERT_TRUE(PollUntil([&] { return loop.Served(kRecord).size() == 3; }));
  EXPECT_EQ(loop.Served(kRecord), (std::vector<WPARAM>{3, 1, 2}));
}

TEST(MessageLoop, SendersGetZeroWhenTheLoopEndsUnderThemOrHasEnded) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.PostMessage(kBlock, 0, 0);
  ASSERT_EQ(loop.blocked.Wait(10000), WAIT_OBJECT_0);
  std::atomic<LRESULT> result{-1};
  std::thread sender([&] { result = loop.SendMessage(kDouble, 4, 0); });
  ASSERT_TRUE(PollUntil([&] { return loop.PendingMessages() == 1; }));
  std::thread stopper([&] { loop.Stop(); });
  ASSERT_TRUE(PollUntil([&] { return !loop.IsRunning(); }));
  loop.gate.Set();
  sender.join();
  stopper.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(loop.SendMessage(kDouble, 1, 1), 0);
  EXPECT_FALSE(loop.PostMessage(kRecord, 0, 0));
}

TEST(MessageLoop, TimersTickUntilKilledAndMayBeSetFromAnyThread) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  EXPECT_EQ(loop.SetTimer(7, 20), 7u);  // from this thread, not the loop's
  EXPECT_TRUE(loop.IsTimerArmed(7));
  ASSERT_TRUE(PollUntil([&] { return loop.Served(WM_TIMER).size() >= 2; }));
  EXPECT_TRUE(loop.KillTimer(7));
  EXPECT_FALSE(loop.IsTimerArmed(7));
  EXPECT_FALSE(loop.KillTimer(7));
  // A tick already on its way may still come; none after it.
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const std::size_t ticks = loop.Served(WM_TIMER).size();
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(loop.Served(WM_TIMER).size(), ticks);
  EXPECT_EQ(loop.Served(WM_TIMER), std::vector<WPARAM>(ticks, 7));
  loop.Stop();
  EXPECT_EQ(loop.SetTimer(7, 20), 0u);
}

class MessageLoopOnATestClock : public testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  os::FakeClock clock_;
};

TEST_F(MessageLoopOnATestClock, TimersTickOnlyAsTheClockMoves) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.SetTimer(9, 60000);
  loop.PostMessage(kRecord, 1, 0);
  ASSERT_TRUE(PollUntil([&] { return loop.Served(kRecord).size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(loop.Served(WM_TIMER).empty());
  clock_.Advance(std::chrono::seconds(60));
  ASSERT_TRUE(PollUntil([&] { return loop.Served(WM_TIMER).size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(loop.Served(WM_TIMER), std::vector<WPARAM>{9});
}

}  // namespace
