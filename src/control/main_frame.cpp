#include "control/main_frame.h"

#include "control/task_rules.h"
#include "os/text.h"
#include "os/volumes.h"
#include "platform/diag_log.h"
#include "store/sync_log_retention.h"

CMainFrame::CMainFrame(std::wstring data_dir, std::function<void()> on_destroy)
    // The watch thread wakes the worker itself: a detour through this
    // thread's queue would add a thread switch to every change's latency.
    : m_Watch(m_WatchTaskMap, [this] { m_hWorkEvent.Set(); }),
      m_strDataDir(std::move(data_dir)),
      m_OnDestroy(std::move(on_destroy)),
      m_Database(m_strDataDir),
      m_LogicalDrives(os::PresentDrives()) {
  m_Watch.SetNeedsFullSyncHook([this] { PostMessage(WM_NEEDS_FULL_SYNC, 0, 0); });
  m_Watch.SetRearmTimerHook([this](UINT id) { PostMessage(WM_REARM_TASK_TIMER, id, 0); });
}

CMainFrame::~CMainFrame() {
  // A running full sync could hold the controller thread in a start.
  RequestPlanStop();
  Stop();
  // The controller thread has ended, so nothing else touches the monitor; a
  // notice it posts meanwhile finds the queue closed.
  m_pMountMonitor.reset();
  StopPlanSync();
}

BOOL CMainFrame::Create() {
  if (!MessageLoop::Start()) return FALSE;
  // A window that refuses its creation (-1) is closed again by the creator.
  if (SendMessage(WM_CREATE, 0, 0) == -1) {
    SendMessage(WM_CLOSE, 0, 0);
    return FALSE;
  }
  return TRUE;
}

void CMainFrame::Start() { SendMessage(WM_STRANDEL_START, 0, 0); }

BOOL CMainFrame::Release() {
  RequestPlanStop();
  return static_cast<BOOL>(SendMessage(WM_STRANDEL_RELEASE, 0, 0));
}

LRESULT CMainFrame::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE:
      return OnCreate();
    case WM_DESTROY:
      OnDestroy();
      return 0;
    case WM_CLOSE:
      OnClose();
      return 0;
    case WM_SYSCOMMAND:
      // Closing from the system menu only hides the window; nothing to do for
      // a window that is never shown.
      return 0;
    case WM_TIMER:
      OnTimer(static_cast<UINT>(wParam));
      return 0;
    case WM_DEVICECHANGE:
      return OnDeviceChange(wParam, lParam);
    case WM_MOUNT_TABLE_CHANGED:
      OnMountTableChanged();
      return 0;
    case WM_SYNC_QUEUED:
      m_hWorkEvent.Set();
      return 0;
    case WM_ADD_WATCH_TASK:
      return OnAddWatchTask(reinterpret_cast<WatchTask*>(lParam));
    case WM_DEL_WATCH_TASK:
      return OnDelWatchTask(reinterpret_cast<BSTR>(lParam));
    case WM_RESET_WATCH_TASK:
      return OnResetWatchTask(static_cast<DWORD>(wParam), reinterpret_cast<WatchTask*>(lParam));
    case WM_START_PLAN_SYNC:
      return StartPlanSync(static_cast<WORD>(wParam & 0xFFFF),
                           reinterpret_cast<const WatchTask*>(lParam));
    case WM_STRANDEL_START:
      // A host may change files as soon as the start returns: like a task
      // operation, the start returns once the watch is armed.
      if (CreateStorageFile() && StartWatchFileSys()) m_Watch.m_hWatchReady.Wait(kWatchReadyWaitMs);
      return 0;
    case WM_STRANDEL_RELEASE:
      return ReleaseFileWatcher();
    case WM_REARM_TASK_TIMER:
      OnRearmTaskTimer(static_cast<UINT>(wParam));
      return 0;
    case WM_NEEDS_FULL_SYNC:
      OnNeedsFullSync();
      return 0;
    default:
      return 0;
  }
}

LRESULT CMainFrame::OnCreate() { return 0; }

void CMainFrame::OnDestroy() {
  if (m_OnDestroy) m_OnDestroy();
  QuitLoop();
}

void CMainFrame::OnClose() {
  if (m_Watch.m_bWatchThreadRunning && ReleaseFileWatcher()) {
    DebugTrace("File system watcher and register watcher thread had been completed!!");
  }
  // The window is destroyed below; its owner then joins the thread and deletes
  // the object.
  Dispatch(WM_DESTROY, 0, 0);
}

void CMainFrame::OnTimer(UINT nIDEvent) {
  if (nIDEvent == kDeviceRegistrationTimerId) {
    OnDeviceRegistrationTimer();
    return;
  }
  if (nIDEvent >= TimerIdPool::kFirstId && nIDEvent <= m_TimerIds.NextFresh() + 10) {
    DebugTrace("[Strandel]StartPlanSync(nIDEvent:%d, NULL) line:%d", nIDEvent, __LINE__);
    // One-shot: the scheduled sync arms the timer again when it has run.
    KillTimer(nIDEvent);
    StartPlanSync(static_cast<WORD>(nIDEvent & 0xFFFF), nullptr);
  }
}

bool CMainFrame::OpenStorage() {
  std::string reason;
  if (!m_Database.Open(&reason)) {
    WriteReport(ReportError, L"Cannot open the task database %ls", os::FromUtf8(reason).c_str());
    return false;
  }
  if (!m_pSyncLog) {
    m_pSyncLog = std::make_unique<SyncLogRecorder>(m_Database.FilePath(), m_Database.Lock());
    m_Operations.SetRecorder(m_pSyncLog.get());
  }
  return true;
}

BOOL CMainFrame::CreateStorageFile() {
  RegisterDeviceClasses();
  if (!m_Database.IsOpen()) OpenStorage();
  if (!m_Database.IsOpen()) {
    DebugTrace("[Strandel]CreateStorageFile Failed !!");
    return FALSE;
  }
  return TRUE;
}

BOOL CMainFrame::StartWatchFileSys() {
  if (!m_Database.IsOpen() && !OpenStorage()) return FALSE;
  RunSyncLogRetention(m_Database);

  for (UINT id = TimerIdPool::kFirstId; id < m_TimerIds.NextFresh(); ++id) {
    KillTimer(id);
    DebugTrace("[Strandel]StartWatchFileSys killtimer(TimerId = %x)", id);
  }
  m_TimerIds.Reset();

  const std::vector<WatchTask> stored = m_Database.LoadTasks();
  if (stored.empty()) return FALSE;  // traced by the load
  LoadTaskMap(stored, m_WatchTaskMap, m_TaskIndexes);

  DebugTrace("[Strandel] SyncThread run(LINE = %d, this = %u)", __LINE__,
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
  if (m_bStopFlag) {
    DebugTrace("[Strandel] SyncThread Already run(LINE = %d, this = %u)", __LINE__,
               static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    return TRUE;
  }

  StartWatchThread();

  for (WatchTask task : m_WatchTaskMap.Snapshot()) {
    DebugTrace("[Strandel]%d: StartWatchFileSys bEnableTimer=%d dwSynctime=%d", __LINE__,
               task.bEnableTimer, static_cast<int>(task.dwSynctime));
    if (task.bEnableTimer && task.dwSynctime >= kMinimumSyncPeriodMs) {
      task.nTimerId = m_TimerIds.AcquireFresh();
      SetTimer(task.nTimerId, task.dwSynctime);
      // The timer id only: the watch thread, started above, is filling in
      // what it found out about the same task.
      m_WatchTaskMap.SetTimerId(task.strWatchTaskName, task.nTimerId);
      DebugTrace("[Strandel]%d: StartWatchFileSys SetTimer(%d %d)", __LINE__, task.nTimerId,
                 static_cast<int>(task.dwSynctime));
    }
  }
  StartShareConnections();

  if (!m_pSyncWorker) {
    m_pSyncWorker = std::make_unique<CSyncWorker>(m_Watch, m_Handlers, m_Operations,
                                                  *m_pPendingShares, m_hWorkEvent);
  }
  m_pSyncWorker->Start();
  DebugTrace(
      "[Strandel]m_hWatchSyncThread = (HANDLE)_beginthreadex(NULL, 0, _WatchSyncFileCopy, this, 0, "
      "NULL); LINE:%d",
      __LINE__);
  return TRUE;
}

void CMainFrame::StartShareConnections() {
  for (const WatchTask& task : m_WatchTaskMap.Snapshot()) {
    const uint32_t type = os::DriveTypeOf(task.strDestDir);
    if (type != DRIVE_REMOTE && type != DRIVE_NO_ROOT_DIR) continue;
    auto param = std::make_unique<ShareConnectParam>();
    param->pPendingShares = m_pPendingShares;
    param->strDestDir = task.strDestDir;
    param->strShareUserName = task.strShareUserName;
    param->strSharePassword = task.strShareUserPassword;
    m_ShareConnects.Start(std::move(param));
  }
}

void CMainFrame::StartWatchThread() {
  m_Watch.m_hWatchReady.Reset();
  if (m_pWatchThread && m_Watch.m_bWatchThreadRunning) {
    // Already watching: a second thread would watch everything twice. The
    // running one rebuilds its watch from the map as it now stands.
    m_pWatchThread->PostCommand(WATCHCMD_RESET_TASK);
    return;
  }
  m_pWatchThread.reset();  // an ended thread: joined here
  m_pWatchThread = std::make_unique<CWatchThread>(m_Watch);
  if (!m_pWatchThread->Start()) {
    m_pWatchThread.reset();
    return;
  }
  DebugTrace(
      "[Strandel]m_pWatchThread.pThreadBuffer  = "
      "(CWatchThread*)AfxBeginThread(RUNTIME_CLASS(CWatchThread)); LINE:%d",
      __LINE__);
  m_Watch.m_bWatchThreadRunning = true;
  DebugTrace("[Strandel]start mainfrm");
  m_pWatchThread->PostMessage(WM_START_FILESYS_WATCH, 0, 0);
}

BOOL CMainFrame::ReleaseFileWatcher() {
  m_bStopFlag = TRUE;
  DebugTrace("[Strandel] ReleaseFileWatcher ComeIn(LINE = %d)", __LINE__);
  m_ShareConnects.StopAll();
  StopPlanSync();
  if (m_pSyncWorker) {
    m_pSyncWorker->Stop();
    m_pSyncWorker.reset();
  }
  if (!m_Watch.m_bWatchThreadRunning) {
    m_pWatchThread.reset();
    return TRUE;
  }
  m_Watch.m_hWatchReady.Reset();
  if (m_pWatchThread) m_pWatchThread->PostCommand(WATCHCMD_EXIT);
  m_Watch.m_bWatchThreadRunning = false;
  if (m_Watch.m_hWatchReady.Wait(kWatchExitWaitMs) == WAIT_OBJECT_0) {
    m_pWatchThread.reset();
    return TRUE;
  }
  // A thread cannot be killed safely; it is left to end on its own and
  // joined when the controller goes.
  DebugTrace("[Strandel]TerminateThread(m_pWatchThread.pThreadBuffer->m_hThread, 0); LINE:%d",
             __LINE__);
  DebugTrace("Strandel thread overtime!");
  return FALSE;
}

DWORD CMainFrame::CountTasks() { return m_Database.CountTasks(); }

bool CMainFrame::ReadStoredTask(LONG position, WatchTask* task) {
  return m_Database.ReadTask(position, task);
}

void CMainFrame::SetSyncHint(void* context, void* callback) {
  m_pHintContext.store(context);
  m_pfnHint.store(callback);
}
