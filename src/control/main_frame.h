// CMainFrame: the controller. A window (a message loop on a thread of its own)
// that owns the task map, the counters, the events and the worker threads, and
// handles task operations, timers and device events one message at a time.
//
// Threads: every member is touched only on the controller thread, except those
// marked "shared", which carry their own synchronisation. Other threads reach
// the controller through SendMessage/PostMessage, or through Start/Release,
// which hand the start and stop sequences over to the controller thread.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "control/controller_messages.h"
#include "control/notify_window.h"
#include "control/plan_sync_thread.h"
#include "control/task_counters.h"
#include "os/event.h"
#include "os/message_loop.h"
#include "os/mount_monitor.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "store/watch_task_map.h"
#include "sync/change_handlers.h"
#include "sync/file_operations.h"
#include "sync/sync_worker.h"
#include "watch/watch_shared.h"
#include "watch/watch_thread.h"

class CMainFrame : public os::MessageLoop {
 public:
  // data_dir ends with a separator or is empty; on_destroy runs on the
  // controller thread when the window is destroyed.
  CMainFrame(std::wstring data_dir, std::function<void()> on_destroy);
  ~CMainFrame() override;

  // Starts the controller thread and creates the window.
  BOOL Create();
  // On the controller thread: open the storage and, only if that worked, start watching.
  void Start();
  // On the controller thread: ReleaseFileWatcher. FALSE also when the window is
  // gone. A full sync in progress is told to stop first, so that the
  // controller is not kept waiting for it.
  BOOL Release();

  // Controller thread.
  BOOL CreateStorageFile();
  BOOL StartWatchFileSys();
  BOOL ReleaseFileWatcher();
  // Any thread (the host's for an on-demand sync). Returns once the previous
  // full sync has completed and this one is requested.
  BOOL StartPlanSync(WORD wTimerIndex, const WatchTask* pTask);

  // Any thread: the number of stored tasks (0 while there is no storage), and
  // the task stored at a row position.
  DWORD CountTasks();
  bool ReadStoredTask(LONG position, WatchTask* task);

  void SetSyncHint(void* context, void* callback);  // shared: guarded by an atomic hand-off
  TaskIndexCounter& TaskIndexes() { return m_TaskIndexes; }  // shared: atomic
  const std::wstring& DataDirectory() const { return m_strDataDir; }

  WatchTaskMap m_WatchTaskMap;  // shared: has its own lock
  WatchShared m_Watch;          // shared with the watch thread and the sync worker
  NotifyWindow m_NotifyWindow;  // shared: has its own lock

 protected:
  LRESULT Dispatch(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  LRESULT OnCreate();
  void OnDestroy();
  void OnClose();
  void OnTimer(UINT nIDEvent);
  // Opens Strandel.db and starts the history recorder; a failure is reported.
  bool OpenStorage();
  // Starts the watch thread, or makes the running one rebuild its watch.
  void StartWatchThread();

  // True (traced) once the module is released: task operations then fail at once.
  bool RefuseAfterRelease(const char* operation);
  LRESULT OnAddWatchTask(WatchTask* pTask);
  LRESULT OnDelWatchTask(BSTR strTaskName);
  LRESULT OnResetWatchTask(DWORD dwTaskIndex, WatchTask* pTask);

  // How a task operation's last step went: the watch rebuilt by a running
  // thread, or a fresh start (its result), and whether the wait timed out.
  struct RestartOutcome {
    bool was_running;
    bool started;
    bool timed_out;
  };
  RestartOutcome RestartWatch(DWORD command);
  void ArmTaskTimer(const WatchTask& task);

  // The scheduled sync (scheduled_sync.cpp).
  void WaitSyncComplete();
  void RequestPlanStop();
  // Stops the scheduled-sync thread and waits for it and the wait thread.
  void StopPlanSync();
  void OnRearmTaskTimer(UINT nTimerId);
  void OnNeedsFullSync();
  void StartShareConnections();

  // Volumes arriving and leaving (usb_device_sync.cpp).
  void RegisterDeviceClasses();
  bool RegisterDeviceClass();
  void OnDeviceRegistrationTimer();
  LRESULT OnDeviceChange(WPARAM event, LPARAM device_type);
  // Has the watch look for volumes mounted on its trees or gone from them.
  void OnMountTableChanged();
  // The present drives once they differ from the stored set, or after the
  // last poll.
  std::vector<std::wstring> AwaitDriveSetChange() const;
  BOOL UsbSync(const std::wstring& volume);
  BOOL UsbInsertSync(int slot);
  // Closes the directories of the task whose slot holds a watched USB directory.
  BOOL UsbReject(int slot);

  // What the mount monitor posts. Each handler reads the table as it is when
  // it runs, so one waiting message of a kind stands for any number of
  // changes: a table that keeps changing while an arrival settles then never
  // piles messages up in front of the host's calls.
  enum MonitorPost { kPostArrival, kPostRemoval, kPostHandleCheck, kPostTableChange, kMonitorPosts };
  // Monitor thread: posts unless a message of that kind still waits.
  void PostOnce(MonitorPost kind, UINT message, WPARAM wParam, LPARAM lParam);
  // Controller thread, as a handler begins: the next change posts again.
  void Served(MonitorPost kind) { m_MonitorPosted[kind] = false; }

  const std::wstring m_strDataDir;
  std::function<void()> m_OnDestroy;

  TaskIndexCounter m_TaskIndexes;  // shared: the next index is taken on host threads
  TimerIdPool m_TimerIds;
  ModuleDatabase m_Database;                    // shared: every procedure takes the database lock
  std::unique_ptr<SyncLogRecorder> m_pSyncLog;  // set once, at the first successful open
  os::Event m_hWorkEvent{false, false};         // shared: wakes the sync worker
  BOOL m_bStopFlag = FALSE;

  std::shared_ptr<CPendingShareMap> m_pPendingShares = std::make_shared<CPendingShareMap>();
  ShareConnectThreads m_ShareConnects;  // joined by ReleaseFileWatcher and at destruction
  SyncFileOperations m_Operations{m_Watch, nullptr};
  ChangeHandlers m_Handlers{m_Operations, m_Watch};
  std::unique_ptr<CSyncWorker> m_pSyncWorker;  // m_hWatchSyncThread

  // The watch thread; m_Watch.m_bWatchThreadRunning is its running flag, which
  // the thread clears itself when it ends. An ended thread is joined and
  // deleted by the next start or release.
  std::unique_ptr<CWatchThread> m_pWatchThread;

  // The plan lock serialises the starts of full syncs: each waits for the
  // previous sync's completion before it hands over its task.
  std::mutex m_PlanLock;
  bool m_bPlanStopped = false;   // guarded by m_PlanLock: no sync starts after a release
  std::thread m_hWaitThread;     // guarded by m_PlanLock; ends when a sync completes
  std::mutex m_PlanThreadMutex;  // guards the pointer, so that a release can reach the thread
  std::unique_ptr<CPlanSyncThread> m_pPlanWatchThread;  // changed under m_PlanLock too

  // The stand-in for device notifications; posts WM_DEVICECHANGE here.
  std::unique_ptr<os::MountMonitor> m_pMountMonitor;
  std::vector<UINT> m_PendingDeviceRegistrations;
  LONG m_nRegistrationRetries = 0;
  std::vector<std::wstring> m_LogicalDrives;  // the present drives, sorted
  std::array<std::atomic<bool>, kMonitorPosts> m_MonitorPosted{};

  std::atomic<void*> m_pHintContext{nullptr};
  std::atomic<void*> m_pfnHint{nullptr};
};
