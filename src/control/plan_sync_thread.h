// CPlanSyncThread: the scheduled-sync thread. Each WM_START_PLANNING runs one
// full sync of a task (both directions for a two-way task), one at a time,
// and ends by reporting the end to the host window and setting the completion
// event "Event_SyncComplete", which the controller's next start waits for.
//
// Threads: Dispatch runs on the thread's own loop. HandTask is called by the
// starter before it posts; RequestStop from any thread. The thread reads the
// task map and writes the full-sync marker, both thread-safe; it never touches
// the controller's own state, and asks the controller to arm a timer again
// through the callback it is given.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "os/event.h"
#include "os/message_loop.h"
#include "os/named_event.h"
#include "platform/share_connection.h"
#include "store/watch_task.h"
#include "store/watch_task_map.h"
#include "sync/file_operations.h"
#include "sync/full_sync.h"
#include "watch/watch_shared.h"

inline constexpr char kSyncCompleteEventName[] = "Event_SyncComplete";

struct PlanSyncContext {
  WatchTaskMap& tasks;
  WatchShared& shared;
  SyncFileOperations& operations;
  ProgressSink& sink;
  CPendingShareMap& pending_shares;
  // Called on the sync thread after a timer-driven sync with the task's timer id.
  std::function<void(UINT timer_id)> rearm_timer;
};

class CPlanSyncThread final : public os::MessageLoop {
 public:
  explicit CPlanSyncThread(PlanSyncContext context);
  ~CPlanSyncThread() override;

  // The task of the next WM_START_PLANNING that carries one (its lParam is
  // then nonzero). Copied, so the caller's task may be a temporary.
  void HandTask(const WatchTask& task);
  // The running pass ends before its next item and no further pass starts.
  void RequestStop();
  // Waits until the thread's loop runs, at most timeout_ms on the module clock.
  void WaitStarted(DWORD timeout_ms);

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;
  void OnLoopStart() override;

 private:
  void OnStartPlanning(WORD wTimerIndex, bool handed);
  FullSyncCounts Synchronise(const WatchTask& task, WORD wTimerIndex);

  PlanSyncContext m_Context;
  std::shared_ptr<os::NamedEvent> m_hSyncComplete;  // null when the system made none
  os::Event m_Started{true, false};
  std::atomic<bool> m_bStop{false};
  std::mutex m_HandedMutex;
  WatchTask m_HandedTask;  // guarded by m_HandedMutex
};
