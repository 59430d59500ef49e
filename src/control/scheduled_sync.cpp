// The controller's side of the scheduled full sync: starting one on the
// scheduled-sync thread after the previous one has completed, arming a task's
// timer again after its sync, and the full sync of a task that lost changes.
#include <system_error>

#include "control/main_frame.h"
#include "os/named_event.h"
#include "os/system_info.h"
#include "platform/diag_log.h"

BOOL CMainFrame::StartPlanSync(WORD wTimerIndex, const WatchTask* pTask) {
  const os::LocalTime now = os::LocalTimeNow();
  DebugTrace("%d:%d:%d : StartPlanSync Start!!!!!!!!!!", now.hour, now.minute, now.second);

  // The whole start holds the plan lock: the host's thread and the controller
  // thread may start at once, and each must find the previous sync completed.
  std::lock_guard<std::mutex> plan(m_PlanLock);
  if (m_bPlanStopped) {
    DebugTrace("[Strandel]StartPlanSync ignored: the module is released");
    return TRUE;
  }
  if (m_hWaitThread.joinable()) m_hWaitThread.join();

  if (!m_pPlanWatchThread) {
    DebugTrace("m_pPlanWatchThread.bCreated == FALSE");
    auto thread = std::make_unique<CPlanSyncThread>(
        PlanSyncContext{m_WatchTaskMap, m_Watch, m_Operations, m_NotifyWindow, *m_pPendingShares,
                        [this](UINT timer_id) { PostMessage(WM_REARM_TASK_TIMER, timer_id, 0); }});
    if (!thread->Start()) {
      DebugTrace("[Strandel]StartPlanSync: the scheduled-sync thread cannot start");
      return TRUE;
    }
    {
      std::lock_guard<std::mutex> guard(m_PlanThreadMutex);
      m_pPlanWatchThread = std::move(thread);
    }
    DebugTrace(
        "[Strandel]m_pPlanWatchThread.pThreadBuffer = "
        "(CPlanSyncThread*)AfxBeginThread(RUNTIME_CLASS(CPlanSyncThread)); LINE:%d",
        __LINE__);
    if (pTask != nullptr) m_pPlanWatchThread->HandTask(*pTask);
    m_pPlanWatchThread->WaitStarted(kPlanThreadStartWaitMs);
    DebugTrace("[Strandel]AfxBeginThread PlanSync");
  } else {
    // The thread is up and idle (the previous sync has completed): a fixed
    // pause here would only delay every sync.
    if (pTask != nullptr) m_pPlanWatchThread->HandTask(*pTask);
    DebugTrace("[Strandel]Just postthreadmessage to StartPlanSync()");
  }
  m_pPlanWatchThread->PostMessage(WM_START_PLANNING, wTimerIndex, pTask != nullptr ? 1 : 0);

  try {
    m_hWaitThread = std::thread([this] { WaitSyncComplete(); });
  } catch (const std::system_error&) {
    // Without a wait thread the next start does not wait; the sync still runs.
    DebugTrace("[Strandel]StartPlanSync: no wait thread");
    return TRUE;
  }
  DebugTrace(
      "[Strandel]m_hWaitThread = (HANDLE)_beginthreadex(NULL, 0, _WaitSyncComplete, this, 0, "
      "NULL); LINE:%d",
      __LINE__);
  return TRUE;
}

void CMainFrame::WaitSyncComplete() {
  const std::shared_ptr<os::NamedEvent> complete = os::OpenNamedEvent(kSyncCompleteEventName);
  if (!complete) {
    DebugTrace("OpenEvent(EVENT_SYNCCOMPLETE) FAILED !!");
    return;
  }
  complete->Wait(INFINITE);
  complete->Reset();
}

void CMainFrame::RequestPlanStop() {
  std::lock_guard<std::mutex> guard(m_PlanThreadMutex);
  if (m_pPlanWatchThread) m_pPlanWatchThread->RequestStop();
}

void CMainFrame::StopPlanSync() {
  RequestPlanStop();
  std::lock_guard<std::mutex> plan(m_PlanLock);
  m_bPlanStopped = true;
  std::unique_ptr<CPlanSyncThread> thread;
  {
    std::lock_guard<std::mutex> guard(m_PlanThreadMutex);
    thread = std::move(m_pPlanWatchThread);
  }
  thread.reset();  // joined; it signals completion on its way out
  if (m_hWaitThread.joinable()) m_hWaitThread.join();
}

void CMainFrame::OnRearmTaskTimer(UINT nTimerId) {
  if (m_bStopFlag) return;
  // The task may have been deleted or changed while it was synchronised:
  // only a task that still holds the timer gets it back, with its period now.
  for (const WatchTask& task : m_WatchTaskMap.Snapshot()) {
    if (task.nTimerId == nTimerId) {
      ArmTaskTimer(task);
      return;
    }
  }
}

void CMainFrame::OnNeedsFullSync() {
  for (const std::wstring& name : m_Watch.TakeNeedsFullSync()) {
    const std::optional<WatchTask> task = m_WatchTaskMap.Lookup(name);
    if (!task) continue;  // deleted meanwhile
    DebugTraceW(L"[Strandel]Task %ls lost changes: full sync", name.c_str());
    StartPlanSync(0, &*task);
  }
}
