// The include and exclude patterns of every task that filters its changes,
// keyed by exact task name. The watch thread rebuilds the map whenever it
// (re)starts watching; the sync worker tests each changed file against it.
// Every member function takes the map's own lock, so any thread may call any
// of them.
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

// TRUE when bare_name (a file name without directory part) passes entry:
// it satisfies the include patterns and none of the exclude patterns.
bool PassesFilterEntry(const TaskFilterEntry& entry, const std::wstring& bare_name);

class TaskFilterMap {
 public:
  void Clear();
  // Replaces any entry of the same task name.
  void Insert(TaskFilterEntry entry);
  std::optional<TaskFilterEntry> Find(const std::wstring& task_name) const;
  std::size_t Size() const;

  // TRUE when task has no entry or bare_name passes its entry; the lookup and
  // the pattern tests happen under one hold of the lock.
  bool Passes(const std::wstring& task_name, const std::wstring& bare_name) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::wstring, TaskFilterEntry> entries_;  // guarded by mutex_
};
