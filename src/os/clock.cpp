#include "os/clock.h"

#include <algorithm>
#include <atomic>

namespace os {
namespace {

SteadyClock& Steady() {
  static SteadyClock* clock = new SteadyClock;  // leaked: waits may run during exit
  return *clock;
}

std::atomic<Clock*> g_clock{nullptr};

}  // namespace

void Clock::Sleep(Duration d) {
  auto point = std::make_shared<WaitPoint>();
  std::unique_lock<std::mutex> lock(point->mutex);
  WaitUntil(point, lock, Now() + d, [] { return false; });
}

TimePoint SteadyClock::Now() const { return std::chrono::steady_clock::now(); }

bool SteadyClock::WaitUntil(const std::shared_ptr<WaitPoint>& point,
                            std::unique_lock<std::mutex>& lock, TimePoint deadline,
                            const std::function<bool()>& ready) {
  if (deadline == TimePoint::max()) {
    point->cv.wait(lock, ready);
    return true;
  }
  return point->cv.wait_until(lock, deadline, ready);
}

FakeClock::FakeClock() : now_(std::chrono::steady_clock::time_point{} + std::chrono::hours(1)) {}

TimePoint FakeClock::Now() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return now_;
}

bool FakeClock::WaitUntil(const std::shared_ptr<WaitPoint>& point,
                          std::unique_lock<std::mutex>& lock, TimePoint deadline,
                          const std::function<bool()>& ready) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_.push_back(point);
    ++timed_waiters_;
    ++timed_waits_started_;
  }
  bool result;
  for (;;) {
    if (ready()) {
      result = true;
      break;
    }
    if (Now() >= deadline) {
      result = false;
      break;
    }
    // Advance() takes point->mutex before notifying, so no wake-up is lost
    // between the time check above and this wait.
    point->cv.wait(lock);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  --timed_waiters_;
  for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
    if (auto p = it->lock(); p == point) {
      waiting_.erase(it);
      break;
    }
  }
  return result;
}

void FakeClock::Advance(Duration d) {
  std::vector<std::shared_ptr<WaitPoint>> wake;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    now_ += d;
    for (const auto& weak : waiting_) {
      if (auto p = weak.lock()) wake.push_back(std::move(p));
    }
  }
  for (const auto& p : wake) {
    { std::lock_guard<std::mutex> guard(p->mutex); }
    p->cv.notify_all();
  }
}

std::size_t FakeClock::TimedWaitsStarted() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return timed_waits_started_;
}

std::size_t FakeClock::TimedWaiters() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return timed_waiters_;
}

Clock& GetClock() {
  Clock* clock = g_clock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : Steady();
}

bool IsSystemClock() { return g_clock.load(std::memory_order_acquire) == nullptr; }

void SetClock(Clock* clock) { g_clock.store(clock, std::memory_order_release); }

}  // namespace os
