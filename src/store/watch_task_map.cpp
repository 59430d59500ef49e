#include "store/watch_task_map.h"

std::optional<WatchTask> WatchTaskMap::Lookup(const std::wstring& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = tasks_.find(name);
  if (it == tasks_.end()) return std::nullopt;
  return it->second;
}

void WatchTaskMap::Store(const WatchTask& task) {
  std::lock_guard<std::mutex> guard(mutex_);
  tasks_.insert_or_assign(task.strWatchTaskName, task);
}

bool WatchTaskMap::Erase(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  return tasks_.erase(name) > 0;
}

std::size_t WatchTaskMap::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return tasks_.size();
}

std::vector<WatchTask> WatchTaskMap::Snapshot() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<WatchTask> out;
  out.reserve(tasks_.size());
  for (const auto& [name, task] : tasks_) out.push_back(task);
  return out;
}
