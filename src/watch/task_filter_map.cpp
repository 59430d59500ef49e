#include "watch/task_filter_map.h"

#include "os/text.h"
#include "watch/path_rules.h"

TaskFilterEntry MakeTaskFilterEntry(const WatchTask& task) {
  TaskFilterEntry entry;
  entry.task_name = task.strWatchTaskName;
  if (task.bSetInclude) SplitFilterString(&entry.include_patterns, task.strIncludeFilter, L';', 0);
  if (task.bSetExclude) SplitFilterString(&entry.exclude_patterns, task.strExcludeFilter, L';', 0);
  return entry;
}

bool PassesFilterEntry(const TaskFilterEntry& entry, const std::wstring& relative_name,
                       bool is_directory) {
  if (is_directory) return true;
  const auto cut = relative_name.rfind(os::kPathSeparator);
  const std::wstring name =
      cut == std::wstring::npos ? relative_name : relative_name.substr(cut + 1);
  // Exclusion wins: a name both lists match is not synchronised.
  return MatchIncludeFilter(name, entry.include_patterns) &&
         !MatchExcludeFilter(name, entry.exclude_patterns);
}

void TaskFilterMap::Replace(const std::vector<TaskFilterEntry>& entries) {
  std::map<std::wstring, TaskFilterEntry> built;
  for (const TaskFilterEntry& entry : entries) built.insert_or_assign(entry.task_name, entry);
  // The old set leaves in built, freed once the lock is let go.
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.swap(built);
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

bool TaskFilterMap::Passes(const std::wstring& task_name, const std::wstring& relative_name,
                           bool is_directory) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = entries_.find(task_name);
  return it == entries_.end() || PassesFilterEntry(it->second, relative_name, is_directory);
}
