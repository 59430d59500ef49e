#include "control/task_rules.h"

#include "os/volumes.h"
#include "watch/path_rules.h"

namespace {

bool IsMalformed(const WatchTask& task) {
  return task.strWatchTaskName.empty() || !os::IsAbsolutePath(task.strSourceDir) ||
         !os::IsAbsolutePath(task.strDestDir);
}

SyncLogEntry TaskEntry(int32_t action, const std::wstring& name, const std::wstring& from,
                       const std::wstring& to, int32_t line) {
  SyncLogEntry entry;
  entry.strTaskName = name;
  entry.nAction = action;
  entry.strFromFile = from;
  entry.strToFile = to;
  entry.strOperation = L"SyncFinish";
  entry.nLineNo = line;
  entry.strInfo = L" ";
  return entry;
}

}  // namespace

void LoadTaskMap(const std::vector<WatchTask>& stored, WatchTaskMap& map,
                 TaskIndexCounter& indexes) {
  if (stored.empty()) return;
  for (const WatchTask& task : stored) {
    indexes.NoteLoaded(task.dwTaskIndex);
    map.Store(task);
  }
  indexes.FinishLoad();
}

LONG RefusalCode(TaskRefusal refusal) {
  switch (refusal) {
    case TaskRefusal::kNone:
      return 0;
    case TaskRefusal::kNameTaken:
      return -3;
    case TaskRefusal::kIllegalPair:
      return -2;
    default:
      return 1;
  }
}

TaskRefusal CheckAddedTask(const WatchTask& task, const WatchTaskMap& map) {
  if (map.Lookup(task.strWatchTaskName)) return TaskRefusal::kNameTaken;
  if (IsMalformed(task)) return TaskRefusal::kMalformed;
  if (map.Count() >= kMaxTasks) return TaskRefusal::kTooManyTasks;
  if (!IsLegalSyncPath(task.strSourceDir, task.strDestDir, map.Snapshot(), static_cast<DWORD>(-1),
                       -1)) {
    return TaskRefusal::kIllegalPair;
  }
  return TaskRefusal::kNone;
}

ResetCheck CheckResetTask(DWORD index, const WatchTask& task, const WatchTaskMap& map) {
  const std::vector<WatchTask> tasks = map.Snapshot();
  ResetCheck check;
  int position = -1;
  for (std::size_t i = 0; i < tasks.size() && position < 0; ++i) {
    if (tasks[i].dwTaskIndex == index) position = static_cast<int>(i);
  }
  if (position < 0) {
    check.refusal = TaskRefusal::kNoSuchIndex;
    return check;
  }
  check.old_task = tasks[static_cast<std::size_t>(position)];
  // The index asked for names the task; the record's index names the row that
  // is rewritten. When they differ (a host that left the record's index 0),
  // the rewrite would add a second row for the task, or overwrite another
  // task's row, and a later delete would leave one behind. Taking either
  // index instead would guess at what the host meant; refusing changes
  // nothing and tells the host its call was wrong.
  if (task.dwTaskIndex != index) {
    check.refusal = TaskRefusal::kOtherIndex;
  } else if (IsMalformed(task)) {
    check.refusal = TaskRefusal::kMalformed;
  } else if (task.strWatchTaskName != check.old_task.strWatchTaskName &&
             map.Lookup(task.strWatchTaskName)) {
    // A rename onto another task's name would silently replace that task.
    check.refusal = TaskRefusal::kNameOfAnother;
  } else if (!IsLegalSyncPath(task.strSourceDir, task.strDestDir, tasks, index, position)) {
    check.refusal = TaskRefusal::kIllegalPair;
  }
  return check;
}

SyncLogEntry TaskAddedEntry(const WatchTask& task) {
  return TaskEntry(-2, task.strWatchTaskName, task.strSourceDir, task.strDestDir, 3463);
}

SyncLogEntry TaskRemovedEntry(const std::wstring& name) {
  return TaskEntry(-1, name, L"", L"", 3583);
}
