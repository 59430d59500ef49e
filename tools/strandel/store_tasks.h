// The tasks in the data directory's Strandel.db, read and changed while no
// module runs over it: the same store procedures, checks and index rule as
// the module's task operations, under the same database lock, without
// starting anything (no watch, no share program, no probe).
#pragma once

#include <filesystem>
#include <string>

#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "task_access.h"

namespace host {

class StoreTasks : public TaskAccess {
 public:
  explicit StoreTasks(const std::filesystem::path& data_dir);

  // Opens the database, creating it when absent; false with *reason when the
  // file cannot be used.
  bool Open(std::string* reason);

  std::vector<TaskRecord> List() override;
  LONG Add(const TaskRecord& task) override;
  LONG Reset(const TaskRecord& task) override;
  bool Remove(const std::string& name) override;

 private:
  // The history entry that marks the change, written once the lock is free
  // (the recorder's writer thread takes it).
  void Record(SyncLogEntry entry);

  ModuleDatabase database_;
};

}  // namespace host
