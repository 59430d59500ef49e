// The first halves of renames, each waiting a short while for the second half
// with the same cookie: a rename's halves are queued together, but a read may
// end between them.
//
// Threads: belongs to the port's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>

namespace os {

struct MovedFrom {
  int wd;
  std::string name;
  bool is_dir;
};

class MovePairing {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // A later half with the same cookie replaces an earlier one.
  void Hold(uint32_t cookie, MovedFrom from, Time now);
  // The waiting half of cookie, taken out; none when it never came or timed out.
  std::optional<MovedFrom> Take(uint32_t cookie);
  // Takes the halves whose partner did not come in time, calling alone for each.
  void Expire(Time now, const std::function<void(const MovedFrom&)>& alone);
  Time NextDue() const { return timers_.empty() ? Time::max() : timers_.front().due; }

 private:
  struct Waiting {
    MovedFrom from;
    uint64_t generation;
  };
  struct Timer {
    Time due;
    uint32_t cookie;
    uint64_t generation;
  };
  std::unordered_map<uint32_t, Waiting> waiting_;  // by cookie
  std::deque<Timer> timers_;
  uint64_t next_generation_ = 1;
};

}  // namespace os
