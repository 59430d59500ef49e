// Auto-reset events, waits on several, timed waits on the fake clock, and
// events known by name.
#include "os/event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "os/named_event.h"
#include "test_support.h"

namespace {

using testing_support::PollUntil;

TEST(Event, AutoResetReleasesOneWaiterPerSet) {
  os::Event event(false, false);
  std::atomic<int> woken{0};
  auto wait = [&] {
    if (event.Wait(INFINITE) == WAIT_OBJECT_0) ++woken;
  };
  std::thread a(wait);
  std::thread b(wait);
  event.Set();
  ASSERT_TRUE(PollUntil([&] { return woken == 1; }));
  EXPECT_FALSE(PollUntil([&] { return woken == 2; }, std::chrono::milliseconds(50)));
  EXPECT_FALSE(event.IsSet());  // consumed by the waiter it released
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

TEST(NamedEvent, HoldersOfANameShareOneEventThatEndsWithTheLast) {
  EXPECT_EQ(os::OpenNamedEvent("strandel-test-event"), nullptr);
  auto first = os::CreateNamedEvent("strandel-test-event", true, false);
  auto second = os::CreateNamedEvent("strandel-test-event", false, true);  // settings of the first
  auto opened = os::OpenNamedEvent("strandel-test-event");
  auto other = os::CreateNamedEvent("strandel-test-other", true, false);
  ASSERT_TRUE(first && second && opened && other);
  EXPECT_EQ(second->Wait(0), WAIT_TIMEOUT);
  first->Set();
  EXPECT_EQ(opened->Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(second->Wait(0), WAIT_OBJECT_0);  // manual reset: a wait consumes nothing
  EXPECT_EQ(other->Wait(0), WAIT_TIMEOUT);
  opened->Reset();
  EXPECT_EQ(first->Wait(0), WAIT_TIMEOUT);
  first.reset();
  second.reset();
  opened.reset();
  EXPECT_EQ(os::OpenNamedEvent("strandel-test-event"), nullptr);
}

TEST(Event, WaitForAnyTakesTheFirstSetEventAndConsumesOnlyThat) {
  os::Event work(false, false);
  os::Event quit(false, false);
  work.Set();
  quit.Set();
  EXPECT_EQ(os::WaitForAny({&work, &quit}, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(quit.IsSet());
  EXPECT_EQ(os::WaitForAny({&work, &quit}, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(os::WaitForAny({&work, &quit}, 0), WAIT_TIMEOUT);
}

class FakeClockTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  os::FakeClock clock_;
};

TEST_F(FakeClockTest, TimedWaitsEndAtTheDeadlineOrWhenSet) {
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

  os::Event other(false, false);
  std::thread any([&] { result = os::WaitForAny({&event, &other}, 60000); });
  ASSERT_TRUE(PollUntil([&] { return clock_.TimedWaiters() == 1; }));
  other.Set();
  any.join();
  EXPECT_EQ(result, WAIT_OBJECT_0 + 1);
}

}  // namespace
