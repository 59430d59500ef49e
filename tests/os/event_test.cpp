#include "os/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_support.h"

namespace {

using testing_support::PollUntil;

class FakeClockTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  os::FakeClock clock_;
};

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  os::Event event(false, false);
  std::atomic<int> woken{0};
  std::thread a([&] {
    if (event.Wait(INFINITE) == WAIT_OBJECT_0) ++woken;
  });
  std::thread b([&] {
    if (event.Wait(INFINITE) == WAIT_OBJECT_0) ++woken;
  });
  event.Set();
  ASSERT_TRUE(PollUntil([&] { return woken == 1; }));
  EXPECT_FALSE(event.IsSet());  // consumed by the waiter it released
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

TEST(Event, ManualResetStaysSetUntilReset) {
  os::Event event(true, false);
  event.Set();
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(event.Wait(0), WAIT_OBJECT_0);
  event.Reset();
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

TEST(Event, WaitForAnyNamesTheSetEventAndConsumesOnlyIt) {
  os::Event work(false, false);
  os::Event quit(false, false);
  quit.Set();
  EXPECT_EQ(os::WaitForAny({&work, &quit}, 0), WAIT_OBJECT_0 + 1);
  EXPECT_FALSE(quit.IsSet());
  work.Set();
  quit.Set();
  EXPECT_EQ(os::WaitForAny({&work, &quit}, 0), WAIT_OBJECT_0);  // the first wins
  EXPECT_TRUE(quit.IsSet());
}

TEST_F(FakeClockTest, TimedWaitEndsWhenTheClockPassesTheDeadline) {
  os::Event event(true, false);
  std::atomic<DWORD> result{0xFFFF};
  std::thread waiter([&] { result = event.Wait(10000); });
  ASSERT_TRUE(PollUntil([&] { return clock_.TimedWaiters() == 1; }));
  clock_.Advance(std::chrono::milliseconds(9999));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(result, 0xFFFFu);  // not due yet
  clock_.Advance(std::chrono::milliseconds(1));
  waiter.join();
  EXPECT_EQ(result, WAIT_TIMEOUT);
}

TEST_F(FakeClockTest, SetWakesATimedWaitBeforeItsDeadline) {
  os::Event a(false, false);
  os::Event b(false, false);
  std::atomic<DWORD> result{0xFFFF};
  std::thread waiter([&] { result = os::WaitForAny({&a, &b}, 60000); });
  ASSERT_TRUE(PollUntil([&] { return clock_.TimedWaiters() == 1; }));
  b.Set();
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
}

TEST_F(FakeClockTest, SleepRunsOnTheInjectedClock) {
  std::atomic<bool> done{false};
  std::thread sleeper([&] {
    os::GetClock().Sleep(std::chrono::minutes(10));
    done = true;
  });
  ASSERT_TRUE(PollUntil([&] { return clock_.TimedWaiters() == 1; }));
  EXPECT_FALSE(done);
  clock_.Advance(std::chrono::minutes(10));
  sleeper.join();
  EXPECT_TRUE(done);
}

}  // namespace
