#include "watch/task_filter_map.h"

#include <utility>

#include "watch/path_rules.h"

TaskFilterEntry MakeTaskFilterEntry(const WatchTask& task) {
  TaskFilterEntry entry;
  entry.task_name = task.strWatchTaskName;
  if (task.bSetInclude) SplitFilterString(&entry.include_patterns, task.strIncludeFilter, L';', 0);
  if (task.bSetExclude) SplitFilterString(&entry.exclude_patterns, task.strExcludeFilter, L';', 0);
  return entry;
}

bool PassesFilterEntry(const TaskFilterEntry& entry, const std::wstring& bare_name) {
  // Exclusion wins: a name both lists match is not synchronised.
  return MatchIncludeFilter(bare_name, entry.include_patterns) &&
         !MatchExcludeFilter(bare_name, entry.exclude_patterns);
}

void TaskFilterMap::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
}

void TaskFilterMap::Insert(TaskFilterEntry entry) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::wstring key = entry.task_name;
  entries_.insert_or_assign(std::move(key), std::move(entry));
}

std::optional<TaskFilterEntry> TaskFilterMap::Find(const std::wstring& task_name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = entries_.find(task_name);
  if (it == entries_.end()) return std::nullopt;
  return it->second;
}

std::size_t TaskFilterMap::Size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

bool TaskFilterMap::Passes(const std::wstring& task_name, const std::wstring& bare_name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = entries_.find(task_name);
  return it == entries_.end() || PassesFilterEntry(it->second, bare_name);
}
