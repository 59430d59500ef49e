// The sync worker: one thread that drains the change queue, checks each
// record against its task's filters, hands it to the handler for its action
// and direction, and writes the final "SyncFinish" history entry.
//
// Threads: Start/Stop belong to the controller thread; the work event may be
// set from any thread. ProcessSyncQueue runs on the worker (tests call it
// directly to drive one pass).
#pragma once

#include <thread>

#include "os/event.h"
#include "platform/share_connection.h"
#include "sync/change_handlers.h"
#include "sync/file_operations.h"
#include "watch/watch_shared.h"

class CSyncWorker {
 public:
  // work_event is the controller's: it outlives any one worker and may be set
  // from any thread.
  CSyncWorker(WatchShared& shared, ChangeHandlers& handlers, SyncFileOperations& operations,
              CPendingShareMap& pending_shares, os::Event& work_event);
  ~CSyncWorker();
  CSyncWorker(const CSyncWorker&) = delete;
  CSyncWorker& operator=(const CSyncWorker&) = delete;

  bool Start();
  // Ends the thread after the record in hand; records still queued stay.
  void Stop();
  bool IsRunning() const { return m_Thread.joinable(); }

  void ProcessSyncQueue();
  void ProcessRecord(const ChangeRecord& record);
  BOOL PassesTaskFilter(const WatchTask& task, const ChangeRecord& record);
  BOOL DispatchToDest(const WatchTask& task, const ChangeRecord& record);
  BOOL DispatchToSource(const ChangeRecord& record, const WatchTask& task);

 private:
  void Run();
  BOOL Dispatch(const WatchTask& task, const ChangeRecord& record);
  // A failed record's item is gone from its side, and a queued record
  // removes or renames it (or a directory above it).
  bool TakenAwayByALaterRecord(const WatchTask& task, const ChangeRecord& record);
  // A rename record's old name is gone from the other side and its new name
  // is there: the rename reached it, whatever failed after.
  static bool RenameCarriedAcross(const WatchTask& task, const ChangeRecord& record);

  WatchShared& m_Shared;
  ChangeHandlers& m_Handlers;
  SyncFileOperations& m_Operations;
  CPendingShareMap& m_PendingShares;
  os::Event& m_hWorkEvent;
  os::Event m_hQuitEvent{false, false};
  std::thread m_Thread;
};
