#include "store/watch_task_map.h"

#include "os/confined_roots.h"

namespace {

// Every file operation below a stored task's directories is confined to them.
void Confine(const WatchTask& task) {
  os::AddConfinedRoot(task.strSourceDir);
  os::AddConfinedRoot(task.strDestDir);
}

void Release(const WatchTask& task) {
  os::RemoveConfinedRoot(task.strSourceDir);
  os::RemoveConfinedRoot(task.strDestDir);
}

}  // namespace

WatchTaskMap::~WatchTaskMap() {
  for (const auto& [name, task] : tasks_) Release(task);
}

std::optional<WatchTask> WatchTaskMap::Lookup(const std::wstring& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = tasks_.find(name);
  if (it == tasks_.end()) return std::nullopt;
  return it->second;
}

bool WatchTaskMap::IsBidirectional(const std::wstring& name) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = tasks_.find(name);
  return it != tasks_.end() && it->second.bBidirectional != 0;
}

void WatchTaskMap::Store(const WatchTask& task) {
  std::lock_guard<std::mutex> guard(mutex_);
  Confine(task);
  const auto [it, inserted] = tasks_.try_emplace(task.strWatchTaskName, task);
  if (!inserted) {
    Release(it->second);
    it->second = task;
  }
}

bool WatchTaskMap::Erase(const std::wstring& name) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = tasks_.find(name);
  if (it == tasks_.end()) return false;
  Release(it->second);
  tasks_.erase(it);
  return true;
}

bool WatchTaskMap::SetTimerId(const std::wstring& name, UINT id) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = tasks_.find(name);
  if (it == tasks_.end()) return false;
  it->second.nTimerId = id;
  return true;
}

bool WatchTaskMap::NoteWatchState(const WatchTask& watched) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto it = tasks_.find(watched.strWatchTaskName);
  if (it == tasks_.end()) return false;
  WatchTask& task = it->second;
  task.bSrcIsDrive = watched.bSrcIsDrive;
  task.bDestIsDrive = watched.bDestIsDrive;
  task.strSrcFileSystem = watched.strSrcFileSystem;
  task.strDestFileSystem = watched.strDestFileSystem;
  task.strSrcWatchPath = watched.strSrcWatchPath;
  task.strDestWatchPath = watched.strDestWatchPath;
  return true;
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
