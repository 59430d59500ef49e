// The tasks of a started module, through its IWatcherMonitor.
#pragma once

#include "task_access.h"

namespace host {

class MonitorTasks : public TaskAccess {
 public:
  explicit MonitorTasks(IWatcherMonitor* monitor) : monitor_(monitor) {}

  std::vector<TaskRecord> List() override;
  LONG Add(const TaskRecord& task) override;
  LONG Reset(const TaskRecord& task) override;
  bool Remove(const std::string& name) override;

 private:
  IWatcherMonitor* monitor_;
};

}  // namespace host
