// Echo suppression: before the sync engine writes a path it enters it here;
// the watch thread drops the one notification that write causes and consumes
// the entry. Entries are single-use and keyed by the full path exactly as the
// two sides build it. Each map is thread-safe (its own lock).
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "os/clock.h"
#include "os/file_ops.h"

// Full path of a name under a watched directory, as both sides build keys.
std::wstring JoinWatchPath(const std::wstring& directory, const std::wstring& name);

// Entries of a map made with a lifetime lapse: one that no notification
// matched within it is taken as absent and dropped, so an announcement whose
// write never came (or came in another form) cannot stand in for someone
// else's later change. Without a lifetime an entry stays until it is used.
template <typename Value>
class EchoMapOf {
 public:
  EchoMapOf() = default;
  explicit EchoMapOf(os::Duration lifetime) : lifetime_(lifetime), expires_(true) {}

  // False when the path was there already (the entry is left as it was).
  bool Insert(const std::wstring& path, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const os::TimePoint now = Stamp();
    DropLapsed(now);
    auto [it, inserted] = entries_.try_emplace(path, Entry{value, now});
    if (inserted || !Lapsed(it->second, now)) return inserted;
    it->second = Entry{value, now};
    return true;
  }
  // Enters or replaces.
  void Assign(const std::wstring& path, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    const os::TimePoint now = Stamp();
    DropLapsed(now);
    entries_.insert_or_assign(path, Entry{value, now});
  }
  bool Erase(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.erase(path) > 0;
  }
  // Erases and returns true when path is there with exactly this value; an
  // entry of another task stays. A lapsed entry is dropped and matches nothing.
  bool Consume(const std::wstring& path, const Value& expected) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    if (it == entries_.end()) return false;
    if (Lapsed(it->second, Stamp())) {
      entries_.erase(it);
      return false;
    }
    if (!(it->second.value == expected)) return false;
    entries_.erase(it);
    return true;
  }
  bool Contains(const std::wstring& path) const {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    return it != entries_.end() && !Lapsed(it->second, Stamp());
  }
  // Lapsed entries not yet dropped included.
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
    Value value;
    os::TimePoint made;
  };

  // A map without a lifetime never reads the clock.
  os::TimePoint Stamp() const { return expires_ ? os::GetClock().Now() : os::TimePoint{}; }
  bool Lapsed(const Entry& entry, os::TimePoint now) const {
    return expires_ && now - entry.made >= lifetime_;
  }
  // Sweeps at most once a lifetime, so entries never used up cannot pile up
  // and a busy map is not walked on every insert. Called with mutex_ held.
  void DropLapsed(os::TimePoint now) {
    if (!expires_ || now < next_sweep_) return;
    std::erase_if(entries_, [&](const auto& item) { return Lapsed(item.second, now); });
    next_sweep_ = now + lifetime_;
  }

  const os::Duration lifetime_{};
  const bool expires_ = false;
  mutable std::mutex mutex_;
  std::map<std::wstring, Entry> entries_;  // guarded by mutex_
  os::TimePoint next_sweep_{};             // guarded by mutex_
};

// Full path -> task name.
using EchoMap = EchoMapOf<std::wstring>;
// New full path -> (task name, old full path).
using RenameEchoMap = EchoMapOf<std::pair<std::wstring, std::wstring>>;
// The notification of the engine's own rename comes within moments; an entry
// still unmatched after this long is taken to have no notification coming.
inline constexpr os::Duration kRenameEchoLifetime = std::chrono::seconds(5);

// What a copy of the engine left at a path: a notification about that path
// is the copy's own only while the file is still that version.
struct WrittenEcho {
  std::wstring task;
  os::CopiedVersion version;
  bool operator==(const WrittenEcho&) const = default;
};
// Full path -> the last copy written there.
using WrittenEchoMap = EchoMapOf<WrittenEcho>;
