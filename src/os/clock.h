// The module's one source of time for waits, timers and retry delays. Production
// uses the steady clock; a test installs a FakeClock and moves time forward by
// hand, which also releases every wait that has come due, so a ten-minute timer
// runs in microseconds.
//
// A wait is made on a WaitPoint (a mutex and a condition variable that can
// outlive the object that waits on it): the fake clock holds only weak
// references to the points that wait on it and wakes them after each advance.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace os {

using Duration = std::chrono::steady_clock::duration;
using TimePoint = std::chrono::steady_clock::time_point;

struct WaitPoint {
  std::mutex mutex;
  std::condition_variable cv;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
  // With lock held on point->mutex: blocks until ready() holds (true) or the
  // clock reaches deadline (false). Whoever makes ready() true must notify
  // point->cv while holding or after releasing point->mutex.
  virtual bool WaitUntil(const std::shared_ptr<WaitPoint>& point,
                         std::unique_lock<std::mutex>& lock, TimePoint deadline,
                         const std::function<bool()>& ready) = 0;
  // Sleeps for d on this clock.
  void Sleep(Duration d);
};

class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override;
  bool WaitUntil(const std::shared_ptr<WaitPoint>& point, std::unique_lock<std::mutex>& lock,
                 TimePoint deadline, const std::function<bool()>& ready) override;
};

class FakeClock final : public Clock {
 public:
  FakeClock();
  TimePoint Now() const override;
  bool WaitUntil(const std::shared_ptr<WaitPoint>& point, std::unique_lock<std::mutex>& lock,
                 TimePoint deadline, const std::function<bool()>& ready) override;
  // Moves time forward and wakes every waiter so that due ones return.
  void Advance(Duration d);
  // Number of threads blocked in a timed wait on this clock right now.
  std::size_t TimedWaiters() const;
  // Timed waits begun since the clock was made, so that a test can tell one
  // pause from the next.
  std::size_t TimedWaitsStarted() const;

 private:
  mutable std::mutex mutex_;
  TimePoint now_;
  std::vector<std::weak_ptr<WaitPoint>> waiting_;
  std::size_t timed_waiters_ = 0;
  std::size_t timed_waits_started_ = 0;
};

// The clock every wait of the module uses. Defaults to a SteadyClock.
Clock& GetClock();
// Whether waits run in real time: no other clock is installed.
bool IsSystemClock();
// Installs clock (null restores the steady clock). Tests call it before they
// create the objects under test; the clock must outlive every wait on it.
void SetClock(Clock* clock);

}  // namespace os
