// m_WatchTaskMap: the master copies of every task, keyed by the exact
// (case-sensitive) task name, iterated in ascending name order. Each operation
// takes the map's own lock; callers get copies, never references into the map.
// Thread-safe. While a task is stored, no file operation follows a link
// below its directories.
//
// Writers: the controller stores and erases whole tasks and is the only one
// that writes nTimerId; the watch thread writes only what its watch found out
// (NoteWatchState). Each of these changes its fields in place under the lock,
// so neither can undo the other's write with a stale copy.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/watch_task.h"

class WatchTaskMap {
 public:
  WatchTaskMap() = default;
  ~WatchTaskMap();
  WatchTaskMap(const WatchTaskMap&) = delete;
  WatchTaskMap& operator=(const WatchTaskMap&) = delete;

  std::optional<WatchTask> Lookup(const std::wstring& name) const;
  // Whether the named task exists and runs both ways, without copying it.
  bool IsBidirectional(const std::wstring& name) const;
  // Inserts or replaces the entry of task.strWatchTaskName.
  void Store(const WatchTask& task);
  bool Erase(const std::wstring& name);
  // Controller: the timer id of the task of that name; false when there is none.
  bool SetTimerId(const std::wstring& name, UINT id);
  // Watch thread: the drive flags, file-system names and watch paths of
  // watched, into the task of the same name; false when there is none.
  bool NoteWatchState(const WatchTask& watched);
  std::size_t Count() const;
  // Every task in name order, as one consistent copy.
  std::vector<WatchTask> Snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::wstring, WatchTask> tasks_;  // guarded by mutex_
};
