#include "store_tasks.h"

#include "control/task_rules.h"
#include "os/text.h"
#include "store/database_lock.h"
#include "store/watch_task_map.h"

namespace host {
namespace {

// Through WatchTaskInfo, as the monitor object converts what a host gives it.
WatchTask ToWatchTask(const TaskRecord& record) {
  TaskInfoBuffer info(record);
  WatchTask task = WatchTaskFromInfo(*info.get());
  task.dwTaskIndex = record.index;
  return task;
}

// The tasks as a module started now would hold them: its map and its next index.
struct LoadedTasks {
  explicit LoadedTasks(ModuleDatabase& database) {
    LoadTaskMap(database.LoadTasks(), map, indexes);
  }
  WatchTaskMap map;
  TaskIndexCounter indexes;
};

TaskRecord ToRecord(const WatchTask& task) {
  WatchTaskInfo info{};
  FillWatchTaskInfo(task, &info);
  TaskRecord record = FromInfo(info);
  FreeInfoStrings(info);
  return record;
}

}  // namespace

StoreTasks::StoreTasks(const std::filesystem::path& data_dir)
    : database_(os::FromUtf8(data_dir.string() + "/")) {}

bool StoreTasks::Open(std::string* reason) { return database_.Open(reason); }

std::vector<TaskRecord> StoreTasks::List() {
  std::vector<TaskRecord> records;
  for (const WatchTask& task : database_.LoadTasks()) records.push_back(ToRecord(task));
  return records;
}

LONG StoreTasks::Add(const TaskRecord& record) {
  WatchTask task = ToWatchTask(record);
  {
    // Held from the load to the write, so no other process adds in between.
    CDatabaseLock lock(database_.Lock());
    LoadedTasks loaded(database_);
    task.dwTaskIndex = loaded.indexes.TakeNext();
    const TaskRefusal refusal = CheckAddedTask(task, loaded.map);
    if (refusal != TaskRefusal::kNone) return RefusalCode(refusal);
    if (!database_.AddTask(task)) return 1;
  }
  Record(TaskAddedEntry(task));
  return static_cast<LONG>(task.dwTaskIndex);
}

LONG StoreTasks::Reset(const TaskRecord& record) {
  const WatchTask task = ToWatchTask(record);
  CDatabaseLock lock(database_.Lock());
  LoadedTasks loaded(database_);
  const ResetCheck check = CheckResetTask(task.dwTaskIndex, task, loaded.map);
  if (check.refusal != TaskRefusal::kNone) return RefusalCode(check.refusal);
  return database_.RewriteTask(task) ? 0 : 1;
}

bool StoreTasks::Remove(const std::string& name) {
  const std::wstring wide = os::FromUtf8(name);
  {
    CDatabaseLock lock(database_.Lock());
    if (!LoadedTasks(database_).map.Lookup(wide)) return false;
    if (database_.DeleteTask(wide) != ModuleDatabase::DeleteResult::kDeleted) return false;
  }
  Record(TaskRemovedEntry(wide));
  return true;
}

void StoreTasks::Record(SyncLogEntry entry) {
  SyncLogRecorder recorder(database_.FilePath(), database_.Lock());
  recorder.Record(std::move(entry));
}

}  // namespace host
