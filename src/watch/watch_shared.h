// What the controller shares with its watch thread: the task map, the filter
// store, the echo maps, the change queue and its wake-up, the watch-ready
// hand-shake, the scheduled-sync marker, the tasks waiting for their USB
// volume and the watched directories that lie on one, the tasks that lost
// changes and need a full sync, and the re-arming of a task's timer.
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

// Whether the host follows changes as they happen. STRANDEL_REALTIME=0 says
// it only runs full syncs and ends soon after (the command line's one-off
// sync): no tree is then watched, and no write announced to a watch.
bool FollowsChanges();

class WatchShared {
 public:
  // wake_worker is called (from the watch thread) when a record lands in an
  // empty queue.
  WatchShared(WatchTaskMap& tasks, std::function<void()> wake_worker)
      : m_WatchTaskMap(tasks), m_WakeWorker(std::move(wake_worker)) {}

  WatchTaskMap& m_WatchTaskMap;
  TaskFilterMap m_TaskFilterMap;
  const bool m_bFollowsChanges = FollowsChanges();
  // Unheard without a watch: announcements would only pile up.
  EchoMap AddFilterMap{kEchoLifetime, m_bFollowsChanges};
  EchoMap ModifyFilterMap{kEchoLifetime, m_bFollowsChanges};
  EchoMap DeleteFilterMap{kEchoLifetime, m_bFollowsChanges};
  RenameEchoMap RenameMap{kEchoLifetime, m_bFollowsChanges};
  // Copies into either side of a two-way task, so that their notifications,
  // modifications included, never come back as changes.
  WrittenEchoMap WrittenMap{kEchoLifetime, m_bFollowsChanges};
  ChangeQueue m_ChangeQueue;
  os::Event m_hWatchReady{true, false};
  std::atomic<bool> m_bWatchThreadRunning{false};

  // Builds the record and queues it; wakes the worker when the queue was empty.
  void QueueChangeRecord(DWORD action, const std::wstring& name, const std::wstring& new_name,
                         const std::wstring& task, BOOL source_side, BOOL same_file_system);

  // The scheduled full sync in progress, if any. Its end releases the
  // records held meanwhile.
  void SetFullSync(const std::wstring& task);
  void ClearFullSync();
  // Holds the record back until the task's full sync ends; false, holding
  // nothing, when no full sync of the task runs.
  bool HoldDuringFullSyncOf(DWORD action, const std::wstring& name, const std::wstring& new_name,
                            const std::wstring& task, BOOL source_side, BOOL same_file_system);
  bool IsFullSyncOf(const std::wstring& task) const;  // letter case ignored

  // Tasks parked until their USB volume arrives, by slot.
  void ParkUsbTask(int slot, const WatchTask& task);
  void ClearUsbWaiting();  // and the USB directories
  std::map<int, WatchTask> UsbWaiting() const;
  bool UnparkUsbTask(int slot);

  // Watched directories on a USB volume, by slot: the watch closes them when
  // their volume leaves. Only paths are kept; nothing here holds a volume.
  // Registering cannot fail: the unmount of a watched directory reaches the
  // watch by itself, and the controller asks after every change of the
  // mount table whether the drives of these paths are still there.
  BOOL DoRegisterDeviceHandle(int slot, const std::wstring& directory);
  bool DropUsbHandle(int slot);
  bool IsUsbHandle(int slot) const;
  std::map<int, std::wstring> UsbHandles() const;

  // Tasks that lost notifications (queue overflow, watch limit): only a full
  // sync brings them back in step.
  // The hook runs on the marking thread when a task is newly marked; set
  // before the watch starts.
  void SetNeedsFullSyncHook(std::function<void()> hook);
  void MarkNeedsFullSync(const std::wstring& task);
  std::set<std::wstring> TakeNeedsFullSync();
  bool NeedsFullSync(const std::wstring& task) const;

  // Asks the timers' owner to arm a task's timer afresh (its id is passed);
  // the hook is set before the watch starts and runs on the asking thread.
  void SetRearmTimerHook(std::function<void(UINT)> hook);
  void RearmTaskTimer(UINT timer_id);

 private:
  std::function<void()> m_WakeWorker;
  std::function<void()> m_OnNeedsFullSync;   // guarded by m_Mutex
  std::function<void(UINT)> m_OnRearmTimer;  // guarded by m_Mutex
  mutable std::mutex m_Mutex;
  std::wstring m_strFullSyncTask;              // guarded by m_Mutex
  bool m_bFullSyncRunning = false;             // guarded by m_Mutex
  std::map<int, WatchTask> m_UsbWaitingMap;    // guarded by m_Mutex
  std::map<int, std::wstring> m_UsbHandleMap;  // guarded by m_Mutex
  std::set<std::wstring> m_NeedsFullSync;      // guarded by m_Mutex
};
