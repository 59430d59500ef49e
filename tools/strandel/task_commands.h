// add, edit, remove, list and show, carried out on the tasks: the running
// daemon's module for a client, or the task store while no module runs.
#pragma once

#include <string>

#include "request.h"
#include "task_access.h"

namespace host {

struct Output {
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// Exit status: 0 done, 1 refused or failed.
int Execute(const Request& request, TaskAccess& access, Output& output);

}  // namespace host
