// Echo suppression: before the sync engine writes a path it enters it here;
// the watch thread drops the one notification that write causes and consumes
// the entry. Entries are single-use and keyed by the full path exactly as the
// two sides build it. Each map is thread-safe (its own lock).
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "os/file_ops.h"

// Full path of a name under a watched directory, as both sides build keys.
std::wstring JoinWatchPath(const std::wstring& directory, const std::wstring& name);

template <typename Value>
class EchoMapOf {
 public:
  // False when the path was there already (the entry is left as it was).
  bool Insert(const std::wstring& path, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.emplace(path, value).second;
  }
  // Enters or replaces.
  void Assign(const std::wstring& path, const Value& value) {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.insert_or_assign(path, value);
  }
  bool Erase(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.erase(path) > 0;
  }
  // Erases and returns true when path is there with exactly this value; an
  // entry of another task stays.
  bool Consume(const std::wstring& path, const Value& expected) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(path);
    if (it == entries_.end() || !(it->second == expected)) return false;
    entries_.erase(it);
    return true;
  }
  bool Contains(const std::wstring& path) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.count(path) > 0;
  }
  std::size_t Size() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::map<std::wstring, Value> entries_;  // guarded by mutex_
};

// Full path -> task name.
using EchoMap = EchoMapOf<std::wstring>;
// New full path -> (task name, old full path).
using RenameEchoMap = EchoMapOf<std::pair<std::wstring, std::wstring>>;

// What a copy of the engine left at a path: a notification about that path
// is the copy's own only while the file is still that version.
struct WrittenEcho {
  std::wstring task;
  os::CopiedVersion version;
  bool operator==(const WrittenEcho&) const = default;
};
// Full path -> the last copy written there.
using WrittenEchoMap = EchoMapOf<WrittenEcho>;
