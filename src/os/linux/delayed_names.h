// Names of watched directories whose record waits: a new file until its
// writer closes it or a grace time ends, a file written and not closed until
// it has been written for a while. A name entered again outlives the timer
// of its earlier entry.
//
// Threads: belongs to the port's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace os {

class DelayedNames {
 public:
  using Time = std::chrono::steady_clock::time_point;
  using Key = std::pair<int, std::string>;  // (directory's wd, entry name)

  explicit DelayedNames(std::chrono::milliseconds delay) : delay_(delay) {}

  // Enters or renews the name; its record is due after the delay from now.
  void Start(int wd, const std::string& name, Time now);
  bool Contains(const Key& key) const { return entries_.count(key) > 0; }
  // True when the name was waiting (its record will not come).
  bool Erase(const Key& key) { return entries_.erase(key) > 0; }
  // Forgets every name of the directory.
  void DropWatch(int wd);
  // Takes the names that are due, calling fire for each.
  void Expire(Time now, const std::function<void(int wd, const std::string& name)>& fire);
  // When the next name falls due; Time::max() when none waits.
  Time NextDue() const { return timers_.empty() ? Time::max() : timers_.front().due; }

 private:
  struct Timer {
    Time due;
    Key key;
    uint64_t generation;  // the entry this timer was set for
  };
  const std::chrono::milliseconds delay_;
  std::map<Key, uint64_t> entries_;  // by key: the generation of its timer
  std::deque<Timer> timers_;         // in due order: one delay for all
  uint64_t next_generation_ = 1;
};

}  // namespace os
