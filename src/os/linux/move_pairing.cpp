#include "os/linux/move_pairing.h"

#include <utility>

namespace os {
namespace {

constexpr auto kPairWindow = std::chrono::milliseconds(40);

}  // namespace

void MovePairing::Hold(uint32_t cookie, MovedFrom from, Time now) {
  const uint64_t generation = next_generation_++;
  waiting_[cookie] = {std::move(from), generation};
  timers_.push_back({now + kPairWindow, cookie, generation});
}

std::optional<MovedFrom> MovePairing::Take(uint32_t cookie) {
  const auto it = waiting_.find(cookie);
  if (it == waiting_.end()) return std::nullopt;
  MovedFrom from = std::move(it->second.from);
  waiting_.erase(it);
  return from;
}

void MovePairing::Expire(Time now, const std::function<void(const MovedFrom&)>& alone) {
  while (!timers_.empty() && timers_.front().due <= now) {
    const Timer timer = timers_.front();
    timers_.pop_front();
    const auto it = waiting_.find(timer.cookie);
    if (it == waiting_.end() || it->second.generation != timer.generation) continue;
    const MovedFrom from = std::move(it->second.from);
    waiting_.erase(it);
    alone(from);
  }
}

}  // namespace os
