// `strandel sync`: one full sync of a task, or of every task, now. Through
// the running daemon when there is one (its reports come back over the
// socket), else in a module started here for the purpose.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "task_record.h"

namespace host {

struct SyncCommand {
  std::string name;  // empty: every task
  bool quiet = false;
  bool json = false;
};

// Prints what the syncs did; 0, or 1 when a task is unknown or an item failed.
int RunSync(const std::filesystem::path& data_dir, const SyncCommand& command);

// The tasks a sync request names, in store order; false (with *error) for an
// unknown name.
bool SelectSyncTasks(std::vector<TaskRecord> tasks, const std::string& name,
                     std::vector<TaskRecord>* selected, std::string* error);

}  // namespace host
