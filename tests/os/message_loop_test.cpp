#include "os/message_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "os/event.h"
#include "test_support.h"

namespace {

using testing_support::PollUntil;

constexpr UINT kBlock = WM_USER + 1;
constexpr UINT kRecord = WM_USER + 2;
constexpr UINT kDouble = WM_USER + 3;
constexpr UINT kNested = WM_USER + 4;
constexpr UINT kQuit = WM_USER + 5;

// Records what it serves; kBlock holds the loop until `gate` is set.
class RecordingLoop : public os::MessageLoop {
 public:
  ~RecordingLoop() override { Stop(); }

  std::vector<std::pair<UINT, WPARAM>> Served() {
    std::lock_guard<std::mutex> guard(mutex_);
    return served_;
  }
  os::Event gate{true, false};
  std::atomic<bool> blocked{false};
  std::function<void(UINT)> on_timer;

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      served_.emplace_back(message, wParam);
    }
    switch (message) {
      case kBlock:
        blocked = true;
        gate.Wait(INFINITE);
        return 0;
      case kDouble:
        return static_cast<LRESULT>(wParam) * 2 + lParam;
      case kNested:
        // From the owning thread a send is a direct call, not a deadlock.
        return SendMessage(kDouble, wParam, 0) + 1;
      case kQuit:
        QuitLoop();
        return 0;
      case WM_TIMER:
        if (on_timer) on_timer(static_cast<UINT>(wParam));
        return 0;
      default:
        return 0;
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<UINT, WPARAM>> served_;
};

TEST(MessageLoop, SendReturnsTheHandlersResultAcrossThreads) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  EXPECT_EQ(loop.SendMessage(kDouble, 20, 2), 42);
  EXPECT_EQ(loop.SendMessage(kNested, 5, 0), 11);
  std::vector<std::thread> senders;
  std::atomic<int> right{0};
  for (int i = 0; i < 8; ++i) {
    senders.emplace_back([&, i] {
      if (loop.SendMessage(kDouble, static_cast<WPARAM>(i), 0) == 2 * i) ++right;
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(right, 8);
}

TEST(MessageLoop, SentMessagesAreServedBeforePostedOnesAndPostsKeepTheirOrder) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.PostMessage(kBlock, 0, 0);
  ASSERT_TRUE(PollUntil([&] { return loop.blocked.load(); }));
  loop.PostMessage(kRecord, 1, 0);
  loop.PostMessage(kRecord, 2, 0);
  std::thread sender([&] { loop.SendMessage(kRecord, 3, 0); });
  ASSERT_TRUE(PollUntil([&] { return loop.PendingMessages() == 3; }));
  loop.gate.Set();
  sender.join();
  ASSERT_TRUE(PollUntil([&] { return loop.Served().size() >= 4; }));
  std::vector<WPARAM> records;
  for (auto [message, wParam] : loop.Served()) {
    if (message == kRecord) records.push_back(wParam);
  }
  EXPECT_EQ(records, (std::vector<WPARAM>{3, 1, 2}));
}

TEST(MessageLoop, SendToAnEndedLoopReturnsZeroAtOnce) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.PostMessage(kQuit, 0, 0);
  loop.Join();
  EXPECT_FALSE(loop.IsRunning());
  EXPECT_EQ(loop.SendMessage(kDouble, 1, 1), 0);
  EXPECT_FALSE(loop.PostMessage(kRecord, 0, 0));
}

TEST(MessageLoop, SenderBlockedWhileTheLoopEndsGetsZero) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.PostMessage(kBlock, 0, 0);
  ASSERT_TRUE(PollUntil([&] { return loop.blocked.load(); }));
  std::atomic<LRESULT> result{-1};
  std::thread sender([&] { result = loop.SendMessage(kDouble, 4, 0); });
  ASSERT_TRUE(PollUntil([&] { return loop.PendingMessages() == 1; }));
  std::thread stopper([&] { loop.Stop(); });
  ASSERT_TRUE(PollUntil([&] { return !loop.IsRunning(); }));
  loop.gate.Set();
  sender.join();
  stopper.join();
  EXPECT_EQ(result, 0);
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  std::vector<UINT> Fired(RecordingLoop& loop) {
    std::vector<UINT> ids;
    for (auto [message, wParam] : loop.Served()) {
      if (message == WM_TIMER) ids.push_back(static_cast<UINT>(wParam));
    }
    return ids;
  }
  os::FakeClock clock_;
};

TEST_F(TimerTest, TimersFireInDueOrderOnTheFakeClock) {
  RecordingLoop loop;
  loop.SetTimer(11, 120000);
  loop.SetTimer(10, 60000);
  // Driven step by step on this thread: nothing fires before its time.
  EXPECT_FALSE(loop.PumpOne(0));
  clock_.Advance(std::chrono::milliseconds(59999));
  EXPECT_FALSE(loop.PumpOne(0));
  clock_.Advance(std::chrono::milliseconds(1));
  EXPECT_TRUE(loop.PumpOne(0));
  clock_.Advance(std::chrono::milliseconds(60000));
  EXPECT_TRUE(loop.PumpOne(0));  // 11 is due now, and 10 again
  EXPECT_TRUE(loop.PumpOne(0));
  EXPECT_FALSE(loop.PumpOne(0));
  const auto fired = Fired(loop);
  ASSERT_EQ(fired.size(), 3u);
  EXPECT_EQ(fired[0], 10u);
}

TEST_F(TimerTest, KillingATimerInItsHandlerMakesItOneShot) {
  RecordingLoop loop;
  loop.on_timer = [&](UINT id) { loop.KillTimer(id); };
  ASSERT_TRUE(loop.Start());
  loop.SetTimer(10, 600000);
  ASSERT_TRUE(PollUntil([&] { return clock_.TimedWaiters() == 1; }));
  clock_.Advance(std::chrono::minutes(10));
  ASSERT_TRUE(PollUntil([&] { return Fired(loop).size() == 1; }));
  clock_.Advance(std::chrono::minutes(30));
  // A round trip through the loop shows it has seen the advance.
  loop.SendMessage(kRecord, 0, 0);
  EXPECT_EQ(Fired(loop), std::vector<UINT>{10});
}

TEST_F(TimerTest, ATimerArmedWhileTheLoopWaitsIsHonoured) {
  RecordingLoop loop;
  ASSERT_TRUE(loop.Start());
  loop.SetTimer(12, 3600000);
  loop.SendMessage(kRecord, 0, 0);
  loop.SetTimer(13, 60000);  // earlier than the wait the loop planned
  clock_.Advance(std::chrono::minutes(1));
  ASSERT_TRUE(PollUntil([&] { return !Fired(loop).empty(); }));
  EXPECT_EQ(Fired(loop).front(), 13u);
}

}  // namespace
