// Starts the full syncs this host asks for, in order, on a thread of its own:
// the module's start of a sync waits for the sync running before it, which
// may be long, and the caller's loop must not wait with it.
//
// Threads: Start from any thread. Destroy only after the module is released,
// which lets a start that waits inside the module return.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "sync_router.h"
#include "task_record.h"

namespace host {

class SyncStarter {
 public:
  SyncStarter(IWatcherMonitor* monitor, SyncRouter& router);
  ~SyncStarter();
  SyncStarter(const SyncStarter&) = delete;
  SyncStarter& operator=(const SyncStarter&) = delete;

  // task's reports go to channel (which may be null).
  void Start(const TaskRecord& task, std::shared_ptr<SyncChannel> channel);

 private:
  void Run();

  IWatcherMonitor* monitor_;
  SyncRouter& router_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<TaskRecord, std::shared_ptr<SyncChannel>>> queue_;  // guarded by mutex_
  bool stopping_ = false;                                                  // guarded by mutex_
  std::thread thread_;
};

}  // namespace host
