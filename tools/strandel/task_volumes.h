// Which removable volumes a task's folders lie on, and which of them are not
// mounted now: a task on an absent volume waits for it, whatever runs it.
#pragma once

#include <string>
#include <vector>

#include "task_record.h"

namespace host {

// The drives (mount locations of removable volumes) of the task's source and
// destination, each once, source first; folders on the system's own file
// systems have none.
std::vector<std::string> TaskDrives(const TaskRecord& task);

// Those of TaskDrives that are not mounted now.
std::vector<std::string> AbsentDrives(const TaskRecord& task);

}  // namespace host
