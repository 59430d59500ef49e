#include "os/event.h"

#include <algorithm>

namespace os {

Event::Event(bool manual_reset, bool initially_set)
    : manual_reset_(manual_reset), set_(initially_set) {}

void Event::Set() {
  std::vector<std::shared_ptr<WaitPoint>> wake;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = true;
    wake = waiters_;
  }
  for (const auto& point : wake) {
    { std::lock_guard<std::mutex> guard(point->mutex); }
    point->cv.notify_all();
  }
}

void Event::Reset() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return set_;
}

DWORD Event::Wait(DWORD timeout_ms) { return WaitForAny({this}, timeout_ms); }

bool Event::TryConsume() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!set_) return false;
  if (!manual_reset_) set_ = false;
  return true;
}

TimePoint DeadlineAfter(DWORD timeout_ms) {
  if (timeout_ms == INFINITE) return TimePoint::max();
  return GetClock().Now() + std::chrono::milliseconds(timeout_ms);
}

DWORD WaitForAny(std::initializer_list<Event*> events, DWORD timeout_ms) {
  const TimePoint deadline = DeadlineAfter(timeout_ms);
  auto point = std::make_shared<WaitPoint>();
  std::unique_lock<std::mutex> lock(point->mutex);
  for (Event* event : events) {
    std::lock_guard<std::mutex> guard(event->mutex_);
    event->waiters_.push_back(point);
  }
  DWORD result = WAIT_TIMEOUT;
  const bool signalled = GetClock().WaitUntil(point, lock, deadline, [&] {
    DWORD index = 0;
    for (Event* event : events) {
      if (event->TryConsume()) {
        result = WAIT_OBJECT_0 + index;
        return true;
      }
      ++index;
    }
    return false;
  });
  for (Event* event : events) {
    std::lock_guard<std::mutex> guard(event->mutex_);
    auto& w = event->waiters_;
    w.erase(std::find(w.begin(), w.end(), point));
  }
  return signalled ? result : WAIT_TIMEOUT;
}

}  // namespace os
