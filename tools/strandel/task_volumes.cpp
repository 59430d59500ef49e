#include "task_volumes.h"

#include <algorithm>

#include "os/text.h"
#include "os/volumes.h"

namespace host {

std::vector<std::string> TaskDrives(const TaskRecord& task) {
  std::vector<std::string> drives;
  for (const std::string* dir : {&task.source, &task.dest}) {
    const std::wstring drive = os::DriveOf(os::FromUtf8(*dir));
    if (drive.empty() || drive == L"/") continue;
    const std::string text = os::ToUtf8(drive);
    if (std::find(drives.begin(), drives.end(), text) == drives.end()) drives.push_back(text);
  }
  return drives;
}

std::vector<std::string> AbsentDrives(const TaskRecord& task) {
  std::vector<std::string> absent;
  for (const std::string& drive : TaskDrives(task)) {
    if (!os::IsDrivePresent(os::FromUtf8(drive))) absent.push_back(drive);
  }
  return absent;
}

}  // namespace host
