// What the task operations decide before they change anything, for the
// controller and for a host that changes the task store while no module runs:
// loading the stored tasks into a task map and the index counter, the checks
// that refuse an add or a reset, and the history entries that mark a task's
// arrival and departure. Pure apart from the path rules' trace lines; any
// thread.
#pragma once

#include <cstddef>
#include <vector>

#include "control/task_counters.h"
#include "store/sync_log_recorder.h"
#include "store/watch_task.h"
#include "store/watch_task_map.h"

// At most this many tasks: the watch has two slots per task.
inline constexpr std::size_t kMaxTasks = 50;

// Puts every stored task into the map and sets the next index one above the
// largest stored one. Nothing stored changes nothing.
void LoadTaskMap(const std::vector<WatchTask>& stored, WatchTaskMap& map,
                 TaskIndexCounter& indexes);

enum class TaskRefusal {
  kNone,
  kNameTaken,      // add: a task of that name exists
  kMalformed,      // no name, or a directory that is not absolute
  kTooManyTasks,   // add: kMaxTasks are there already
  kIllegalPair,    // the pair would feed what is written back into a source
  kNoSuchIndex,    // reset: no task holds the index
  kNameOfAnother,  // reset: the new name is another task's
  kOtherIndex,     // reset: the new record carries another task index than the one asked for
};

// The operations' result for a refusal: -3 for a taken name, -2 for an
// illegal pair, 1 for the rest.
LONG RefusalCode(TaskRefusal refusal);

TaskRefusal CheckAddedTask(const WatchTask& task, const WatchTaskMap& map);

struct ResetCheck {
  TaskRefusal refusal = TaskRefusal::kNone;
  WatchTask old_task;  // the map's entry for the index, unless kNoSuchIndex
};
// task replaces the entry whose index is index.
ResetCheck CheckResetTask(DWORD index, const WatchTask& task, const WatchTaskMap& map);

SyncLogEntry TaskAddedEntry(const WatchTask& task);
SyncLogEntry TaskRemovedEntry(const std::wstring& name);
