#include "os/linux/copy_target_index.h"

#include <iterator>
#include <utility>

namespace os {
namespace {

// Copies into one directory come in runs; keep its name list for the run.
constexpr auto kLinger = std::chrono::seconds(10);
constexpr auto kSweepPeriod = std::chrono::seconds(1);

}  // namespace

bool CopyTargetIndex::Touch(int wd, Time now) {
  const auto it = lists_.find(wd);
  if (it == lists_.end()) return false;
  it->second.last_used = now;
  return true;
}

void CopyTargetIndex::Add(int wd, std::vector<DirEntry> entries, Time now) {
  Names& names = lists_[wd];
  names.last_used = now;
  for (auto& entry : entries) names.inodes.emplace(std::move(entry.name), entry.ino);
}

void CopyTargetIndex::Note(int wd, const std::string& name, bool exists) {
  const auto it = lists_.find(wd);
  if (it == lists_.end()) return;
  if (exists) {
    it->second.inodes[name] = 0;
  } else {
    it->second.inodes.erase(name);
  }
}

std::optional<ino_t> CopyTargetIndex::Listed(int wd, const std::string& name) const {
  const auto list = lists_.find(wd);
  if (list == lists_.end()) return std::nullopt;
  const auto entry = list->second.inodes.find(name);
  if (entry == list->second.inodes.end()) return std::nullopt;
  return entry->second;
}

void CopyTargetIndex::Forget(int wd) { lists_.erase(wd); }

void CopyTargetIndex::Sweep(Time now) {
  // Every pump comes here, and a busy copy pumps thousands of times a
  // second: a sweep each second is enough for a linger of ten.
  if (now < next_sweep_) return;
  next_sweep_ = now + kSweepPeriod;
  for (auto it = lists_.begin(); it != lists_.end();) {
    it = now - it->second.last_used > kLinger ? lists_.erase(it) : std::next(it);
  }
}

}  // namespace os
