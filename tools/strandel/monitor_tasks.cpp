#include "monitor_tasks.h"

#include "os/text.h"

namespace host {

std::vector<TaskRecord> MonitorTasks::List() {
  std::vector<TaskRecord> tasks;
  LONG count = 0;
  if (monitor_->GetTaskCount(&count) != S_OK) return tasks;
  for (LONG position = 0; position < count; ++position) {
    WatchTaskInfo info{};
    if (monitor_->QueryTaskInfo(position, &info) != 0) continue;
    tasks.push_back(FromInfo(info));
    FreeInfoStrings(info);
  }
  return tasks;
}

LONG MonitorTasks::Add(const TaskRecord& task) {
  TaskInfoBuffer info(task);
  return monitor_->AddWatchTask(info.get());
}

LONG MonitorTasks::Reset(const TaskRecord& task) {
  TaskInfoBuffer info(task);
  return monitor_->ResetWatchTask(static_cast<LONG>(task.index), info.get());
}

bool MonitorTasks::Remove(const std::string& name) {
  // The method takes the string over.
  return monitor_->DelWatchTask(SysAllocString(os::FromUtf8(name).c_str())) == 0;
}

}  // namespace host
