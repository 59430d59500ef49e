// The include and exclude patterns of every task that filters its changes,
// keyed by exact task name. The watch thread replaces the whole map whenever it
// (re)starts watching; the sync worker and the whole-directory copy test each
// item against it. Every member function takes the map's own lock, so any
// thread may call any of them.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "store/watch_task.h"

struct TaskFilterEntry {
  std::wstring task_name;
  std::vector<std::wstring> include_patterns;  // empty unless the task sets bSetInclude
  std::vector<std::wstring> exclude_patterns;  // empty unless the task sets bSetExclude

  bool operator==(const TaskFilterEntry&) const = default;
};

// Patterns are split at ";".
TaskFilterEntry MakeTaskFilterEntry(const WatchTask& task);

// The one rule for whether an item may cross: a directory always does
// (filters judge files), a file when the part of relative_name behind its last
// separator satisfies the include patterns and none of the exclude patterns.
// A pattern never sees a directory part of the name.
bool PassesFilterEntry(const TaskFilterEntry& entry, const std::wstring& relative_name,
                       bool is_directory);

class TaskFilterMap {
 public:
  // Puts entries in place of everything the map held, in one hold of the
  // lock: a reader sees the old set or the new one, never a map being built.
  // A later entry of the same task name wins.
  void Replace(const std::vector<TaskFilterEntry>& entries);
  std::optional<TaskFilterEntry> Find(const std::wstring& task_name) const;
  std::size_t Size() const;

  // TRUE when task has no entry or the item passes its entry; the lookup and
  // the pattern tests happen under one hold of the lock.
  bool Passes(const std::wstring& task_name, const std::wstring& relative_name,
              bool is_directory) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::wstring, TaskFilterEntry> entries_;  // guarded by mutex_
};
