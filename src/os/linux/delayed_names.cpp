#include "os/linux/delayed_names.h"

namespace os {

void DelayedNames::Start(int wd, const std::string& name, Time now) {
  const uint64_t generation = next_generation_++;
  entries_[{wd, name}] = generation;
  timers_.push_back({now + delay_, {wd, name}, generation});
}

void DelayedNames::DropWatch(int wd) {
  entries_.erase(entries_.lower_bound({wd, std::string()}),
                 entries_.lower_bound({wd + 1, std::string()}));
}

void DelayedNames::Expire(Time now,
                          const std::function<void(int wd, const std::string& name)>& fire) {
  while (!timers_.empty() && timers_.front().due <= now) {
    const Timer timer = std::move(timers_.front());
    timers_.pop_front();
    const auto it = entries_.find(timer.key);
    if (it == entries_.end() || it->second != timer.generation) continue;
    entries_.erase(it);
    fire(timer.key.first, timer.key.second);
  }
}

}  // namespace os
