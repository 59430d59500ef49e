// What the controller shares with its watch thread: the task map, the filter
// store, the echo maps, the change queue and its wake-up, the watch-ready
// hand-shake, the scheduled-sync marker, the tasks waiting for their USB
// volume, and the tasks that lost changes and need a full sync.
//
// Threads: owned by the controller; every member is thread-safe on its own
// (own lock, event or atomic), as the watch thread, the sync worker and the
// controller all use them.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "os/event.h"
#include "store/watch_task_map.h"
#include "watch/change_record.h"
#include "watch/echo_maps.h"
#include "watch/task_filter_map.h"

class WatchShared {
 public:
  // wake_worker is called (from the watch thread) when a record lands in an
  // empty queue.
  WatchShared(WatchTaskMap& tasks, std::function<void()> wake_worker)
      : m_WatchTaskMap(tasks), m_WakeWorker(std::move(wake_worker)) {}

  WatchTaskMap& m_WatchTaskMap;
  TaskFilterMap m_TaskFilterMap;
  EchoMap AddFilterMap{kEchoLifetime};
  EchoMap ModifyFilterMap{kEchoLifetime};
  EchoMap DeleteFilterMap{kEchoLifetime};
  RenameEchoMap RenameMap{kEchoLifetime};
  // Copies into either side of a two-way task, so that their notifications,
  // modifications included, never come back as changes.
  WrittenEchoMap WrittenMap{kEchoLifetime};
  ChangeQueue m_ChangeQueue;
  os::Event m_hWatchReady{true, false};
  std::atomic<bool> m_bWatchThreadRunning{false};

  // Builds the record and queues it; wakes the worker when the queue was empty.
  void QueueChangeRecord(DWORD action, const std::wstring& name, const std::wstring& new_name,
                         const std::wstring& task, BOOL source_side, BOOL same_file_system);

  // The scheduled full sync in progress, if any.
  void SetFullSync(const std::wstring& task);
  void ClearFullSync();
  bool IsFullSyncOf(const std::wstring& task) const;  // letter case ignored

  // Tasks parked until their USB volume arrives, by slot.
  void ParkUsbTask(int slot, const WatchTask& task);
  void ClearUsbWaiting();
  std::map<int, WatchTask> UsbWaiting() const;

  // Tasks that lost notifications (queue overflow, watch limit): only a full
  // sync brings them back in step.
  // The hook runs on the marking thread when a task is newly marked; set
  // before the watch starts.
  void SetNeedsFullSyncHook(std::function<void()> hook);
  void MarkNeedsFullSync(const std::wstring& task);
  std::set<std::wstring> TakeNeedsFullSync();
  bool NeedsFullSync(const std::wstring& task) const;

 private:
  std::function<void()> m_WakeWorker;
  std::function<void()> m_OnNeedsFullSync;  // guarded by m_Mutex
  mutable std::mutex m_Mutex;
  std::wstring m_strFullSyncTask;            // guarded by m_Mutex
  bool m_bFullSyncRunning = false;           // guarded by m_Mutex
  std::map<int, WatchTask> m_UsbWaitingMap;  // guarded by m_Mutex
  std::set<std::wstring> m_NeedsFullSync;    // guarded by m_Mutex
};
