// Echo suppression: before the sync engine writes a path it announces it
// here; the watch thread drops the notification that write causes and takes
// the announcement back. Every write of a path is one notification, and
// several may be written before the watch reads the first, so a path keeps
// each announcement until its own notification comes. Keyed by the full path
// exactly as the two sides build it. Each map is thread-safe (its own lock).
#pragma once

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "os/clock.h"
#include "os/file_ops.h"

// Full path of a name under a watched directory, as both sides build keys.
std::wstring JoinWatchPath(const std::wstring& directory, const std::wstring& name);

// A path none of whose announcements a notification matched for a lifetime
// (module clock, counted from its latest announcement) is taken to have no
// notification coming and dropped: a write whose notification never came, or
// came in another form, cannot stand in for someone else's later change, and
// the maps cannot grow without bound.
template <typename Value>
class EchoMapOf {
 public:
  // heard: false when no watch will ever take announcements back; they are
  // then not kept.
  explicit EchoMapOf(os::Duration lifetime, bool heard = true)
      : lifetime_(lifetime), heard_(heard) {}

  // One more write of path whose notification is to be dropped.
  void Announce(const std::wstring& path, const Value& value) {
    if (!heard_) return;
    std::lock_guard<std::mutex> guard(mutex_);
    const os::TimePoint now = os::GetClock().Now();
    DropLapsed(now);
    Entry& entry = entries_[path];
    if (Lapsed(entry, now)) entry.pending.clear();
    entry.pending.push_back(value);
    entry.announced = now;
  }
  // Takes back an announcement whose write did not happen.
  void Withdraw(const std::wstring& path, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    if (it == entries_.end()) return;
    auto& pending = it->second.pending;
    const auto last = std::find(pending.rbegin(), pending.rend(), value);
    if (last != pending.rend()) pending.erase(std::next(last).base());
    if (pending.empty()) entries_.erase(it);
  }
  // Drops every announcement of path.
  bool Erase(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.erase(path) > 0;
  }
  // True, and one announcement fewer, when path has one of exactly this
  // value; another task's announcement stays.
  bool Consume(const std::wstring& path, const Value& expected) {
    return ConsumeIf(path, [&](const Value& value) { return value == expected; });
  }
  // True, and one announcement fewer, when path has one that matches.
  template <typename Match>
  bool ConsumeIf(const std::wstring& path, Match match) {
    return Take(path, [&](const std::vector<Value>& pending) {
      return std::find_if(pending.begin(), pending.end(), match) - pending.begin();
    });
  }
  // True, and the oldest announcement fewer, when expected is one of path's
  // announcements: while a file is still a version one of the writes left
  // (the next may be announced and not yet made), every notification pending
  // for it is a write's own, whichever write it came from.
  bool ConsumeWhileOneOf(const std::wstring& path, const Value& expected) {
    return Take(path, [&](const std::vector<Value>& pending) -> std::ptrdiff_t {
      return std::find(pending.begin(), pending.end(), expected) != pending.end()
                 ? 0
                 : std::ssize(pending);
    });
  }
  bool Contains(const std::wstring& path) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    return it != entries_.end() && !Lapsed(it->second, os::GetClock().Now());
  }
  // Paths announced, lapsed ones not yet dropped included.
  std::size_t Size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
  }

 private:
  struct Entry {
    std::vector<Value> pending;  // oldest first
    os::TimePoint announced{};
  };

  // pick names the pending announcement to take, or returns the count for none.
  template <typename Pick>
  bool Take(const std::wstring& path, Pick pick) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    if (it == entries_.end()) return false;
    if (Lapsed(it->second, os::GetClock().Now())) {
      entries_.erase(it);
      return false;
    }
    auto& pending = it->second.pending;
    const std::ptrdiff_t index = pick(pending);
    if (index >= std::ssize(pending)) return false;
    pending.erase(pending.begin() + index);
    if (pending.empty()) entries_.erase(it);
    return true;
  }
  bool Lapsed(const Entry& entry, os::TimePoint now) const {
    return now - entry.announced >= lifetime_;
  }
  // Sweeps at most once a lifetime, so a busy map is not walked on every
  // announcement. Called with mutex_ held.
  void DropLapsed(os::TimePoint now) {
    if (now < next_sweep_) return;
    std::erase_if(entries_, [&](const auto& item) { return Lapsed(item.second, now); });
    next_sweep_ = now + lifetime_;
  }

  const os::Duration lifetime_;
  const bool heard_;
  mutable std::mutex mutex_;
  std::map<std::wstring, Entry> entries_;  // guarded by mutex_
  os::TimePoint next_sweep_{};             // guarded by mutex_
};

// Full path -> task name.
using EchoMap = EchoMapOf<std::wstring>;
// New full path -> (task name, old full path).
using RenameEchoMap = EchoMapOf<std::pair<std::wstring, std::wstring>>;
// The notification of a write comes within moments, unless the watch falls
// far behind; a path still unmatched after this long has none coming.
inline constexpr os::Duration kEchoLifetime = std::chrono::seconds(30);

// What a copy of the engine left at a path: a notification about that path
// is the copy's own only while the file is still that version.
struct WrittenEcho {
  std::wstring task;
  os::CopiedVersion version;
  bool operator==(const WrittenEcho&) const = default;
};
// Full path -> the last copy written there.
using WrittenEchoMap = EchoMapOf<WrittenEcho>;
