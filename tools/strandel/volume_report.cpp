#include "volume_report.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "monitor_tasks.h"
#include "os/text.h"
#include "task_volumes.h"

namespace host {
namespace {

bool Holds(const std::vector<std::string>& drives, const std::string& drive) {
  return std::find(drives.begin(), drives.end(), drive) != drives.end();
}

}  // namespace

VolumeReport::VolumeReport(IWatcherMonitor* monitor)
    : monitor_(monitor), mount_monitor_([this](const os::DriveChanges& c) { Print(c); }) {
  if (!mount_monitor_.Start()) {
    std::fprintf(stderr, "strandel: cannot follow the mount table: volumes are not reported\n");
  }
}

void VolumeReport::Print(const os::DriveChanges& changes) {
  const std::vector<TaskRecord> tasks = MonitorTasks(monitor_).List();
  for (const std::wstring& wide : changes.removed) {
    const std::string drive = os::ToUtf8(wide);
    std::fprintf(stderr, "strandel: volume %s left\n", drive.c_str());
    for (const TaskRecord& task : tasks) {
      if (!Holds(TaskDrives(task), drive)) continue;
      std::fprintf(stderr, "strandel: task %s waits for %s\n", task.name.c_str(), drive.c_str());
    }
  }
  for (const std::wstring& wide : changes.arrived) {
    const std::string drive = os::ToUtf8(wide);
    std::fprintf(stderr, "strandel: volume %s arrived\n", drive.c_str());
    for (const TaskRecord& task : tasks) {
      if (!Holds(TaskDrives(task), drive)) continue;
      const std::vector<std::string> absent = AbsentDrives(task);
      if (absent.empty()) {
        std::fprintf(stderr, "strandel: task %s resumes\n", task.name.c_str());
      } else {
        std::fprintf(stderr, "strandel: task %s still waits for %s\n", task.name.c_str(),
                     absent.front().c_str());
      }
    }
  }
}

}  // namespace host
