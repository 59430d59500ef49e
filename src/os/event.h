// Manual- and auto-reset events with Windows semantics, and waits on one or
// two of them with a time-out in milliseconds measured on the module clock.
// An auto-reset event releases one waiter per Set and resets itself.
// Thread-safe; an event must outlive every wait on it.
#pragma once

#include <initializer_list>
#include <memory>
#include <mutex>
#include <vector>

#include "os/clock.h"
#include "strandel/strandel.h"

// The Windows values, under the names Windows gives them; there they come
// from <windows.h>.
#ifndef _WIN32
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
#endif

namespace os {

class Event {
 public:
  Event(bool manual_reset, bool initially_set);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;

  // WAIT_OBJECT_0 when the event was set in time, else WAIT_TIMEOUT.
  DWORD Wait(DWORD timeout_ms);

 private:
  friend DWORD WaitForAny(std::initializer_list<Event*> events, DWORD timeout_ms);
  bool TryConsume();  // with mutex_ not held

  const bool manual_reset_;
  mutable std::mutex mutex_;
  bool set_;                                         // guarded by mutex_
  std::vector<std::shared_ptr<WaitPoint>> waiters_;  // guarded by mutex_
};

// Waits until one of events is set: WAIT_OBJECT_0 + its position (the first
// set one when several are), or WAIT_TIMEOUT.
DWORD WaitForAny(std::initializer_list<Event*> events, DWORD timeout_ms);

// The deadline on the module clock for a time-out in milliseconds (INFINITE: never).
TimePoint DeadlineAfter(DWORD timeout_ms);

}  // namespace os
