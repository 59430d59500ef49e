// How tasks read to a person (a table, one task in full) and to a script (JSON).
#pragma once

#include <string>
#include <vector>

#include "task_record.h"

namespace host {

std::string DirectionName(const TaskRecord& task);
std::string AddStrategyName(AddStrategy strategy);
std::string DelStrategyName(DelStrategy strategy);
std::string RenameStrategyName(RenameStrategy strategy);
std::string DurationText(DWORD ms);

std::string TaskTable(const std::vector<TaskRecord>& tasks);
std::string TaskDetails(const TaskRecord& task);
// The password never leaves: only whether one is set.
std::string TasksJson(const std::vector<TaskRecord>& tasks);
std::string TaskJson(const TaskRecord& task);

}  // namespace host
