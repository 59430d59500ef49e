// Where the task commands read and change the tasks: a started module's
// monitor object (the daemon's), or the task store itself while no module
// runs. Both answer with the module's result codes, so a command says the same
// words either way.
#pragma once

#include <string>
#include <vector>

#include "strandel/strandel.h"
#include "task_record.h"

namespace host {

class TaskAccess {
 public:
  virtual ~TaskAccess() = default;

  // In the store's row order.
  virtual std::vector<TaskRecord> List() = 0;
  // The new task's index; or 1 refused, -2 the pair would feed back, -3 the
  // name is taken.
  virtual LONG Add(const TaskRecord& task) = 0;
  // Changes the task that holds task.index: 0; or 1 refused, -2 the pair
  // would feed back.
  virtual LONG Reset(const TaskRecord& task) = 0;
  // False when no task has that name.
  virtual bool Remove(const std::string& name) = 0;
};

}  // namespace host
