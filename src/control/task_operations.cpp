// The controller's three task operations (add, delete, reset), each run on the
// controller thread as the handler of the message the monitor object sends.
#include "control/main_frame.h"
#include "control/task_rules.h"
#include "platform/diag_log.h"
#include "store/database_lock.h"

CMainFrame::RestartOutcome CMainFrame::RestartWatch(DWORD command) {
  RestartOutcome outcome{};
  m_Watch.m_hWatchReady.Reset();
  if (m_pWatchThread && m_Watch.m_bWatchThreadRunning) {
    outcome.was_running = true;
    outcome.started = m_pWatchThread->PostCommand(command);
  } else {
    // An ended watch thread cannot be woken again: the start makes a new one
    // over the tasks as they now stand.
    outcome.started = StartWatchFileSys() != FALSE;
  }
  outcome.timed_out =
      outcome.started && m_Watch.m_hWatchReady.Wait(kWatchReadyWaitMs) != WAIT_OBJECT_0;
  return outcome;
}

void CMainFrame::ArmTaskTimer(const WatchTask& task) {
  if (task.bEnableTimer && task.nTimerId != 0 && task.dwSynctime >= kMinimumSyncPeriodMs) {
    SetTimer(task.nTimerId, task.dwSynctime);
  }
}

bool CMainFrame::RefuseAfterRelease(const char* operation) {
  // Nothing watches after a release and nothing starts again: an operation
  // would only wait out the watch's start for nothing.
  if (m_bStopFlag) DebugTrace("[Strandel]%s refused: the module is released", operation);
  return m_bStopFlag != FALSE;
}

LRESULT CMainFrame::OnAddWatchTask(WatchTask* pTask) {
  if (pTask == nullptr || RefuseAfterRelease("OnAddWatchTask")) return 1;
  WatchTask task = *pTask;
  DebugTraceW(L"[Strandel]OnAddWatchTask(%ls) IN", task.strWatchTaskName.c_str());
  const TaskRefusal refusal = CheckAddedTask(task, m_WatchTaskMap);
  if (refusal == TaskRefusal::kMalformed) {
    DebugTraceW(
        L"[Strandel]OnAddWatchTask(%ls) refused: a task needs a name and two absolute "
        L"directories (%ls %ls)",
        task.strWatchTaskName.c_str(), task.strSourceDir.c_str(), task.strDestDir.c_str());
  } else if (refusal == TaskRefusal::kTooManyTasks) {
    DebugTraceW(L"[Strandel]OnAddWatchTask(%ls) refused: at most %zu tasks can be watched",
                task.strWatchTaskName.c_str(), kMaxTasks);
  } else if (refusal == TaskRefusal::kIllegalPair) {
    DebugTraceW(L"[Strandel]%d: Illegal IsLegalSyncPath(%ls %ls)", __LINE__,
                task.strSourceDir.c_str(), task.strDestDir.c_str());
  }
  if (refusal != TaskRefusal::kNone) return RefusalCode(refusal);
  // A task that cannot be stored is not taken: it would vanish at the next start.
  if (!m_Database.IsOpen() && !OpenStorage()) {
    DebugTraceW(L"[Strandel]OnAddWatchTask(%ls) refused: no task storage",
                task.strWatchTaskName.c_str());
    return 1;
  }
  task.bSrcIsDrive = 0;
  task.bDestIsDrive = 0;
  // Stored first: a task that only the map holds would watch until the next
  // start and then be gone without a word.
  if (!m_Database.AddTask(task)) {
    DebugTraceW(L"[Strandel]OnAddWatchTask(%ls) refused: the task cannot be stored",
                task.strWatchTaskName.c_str());
    return 1;
  }
  task.nTimerId = task.bEnableTimer ? m_TimerIds.Acquire() : 0;
  m_WatchTaskMap.Store(task);
  if (m_pSyncLog) m_pSyncLog->Record(TaskAddedEntry(task));

  const RestartOutcome outcome = RestartWatch(WATCHCMD_ADD_TASK);
  if (outcome.was_running) {
    ArmTaskTimer(task);
    if (outcome.timed_out) DebugTrace("[Strandel]AddWatchTask Failed! WAIT_TIMEOUT!");
    return 0;
  }
  if (outcome.timed_out) {
    DebugTrace("[Strandel]%d: AddWatchTask Failed because of WAIT_TIMEOUT!", 3519);
  } else {
    DebugTrace("[Strandel] OnAddWatchTask -> StartWatchFileSys(...)");
  }
  return outcome.started ? 0 : 1;
}

LRESULT CMainFrame::OnDelWatchTask(BSTR strTaskName) {
  if (RefuseAfterRelease("OnDelWatchTask")) return 0;
  const std::wstring name = strTaskName != nullptr ? std::wstring(strTaskName) : std::wstring();
  DebugTraceW(L"[Strandel]%d:OnDelWatchTask(%ls) IN", 3548, name.c_str());
  if (!m_WatchTaskMap.Lookup(name)) {
    DebugTraceW(L"[Strandel]%d:OnDelWatchTask(%ls) failed, not exist in map(size=%d)", 3553,
                name.c_str(), static_cast<int>(m_WatchTaskMap.Count()));
    return 0;
  }
  {
    CDatabaseLock lock(m_Database.Lock());
    // The map, the timer and the watch change only once the row is gone:
    // a task whose row stays would come back at the next start.
    const ModuleDatabase::DeleteResult deleted = m_Database.DeleteTask(name);
    if (deleted == ModuleDatabase::DeleteResult::kFailed) return 0;
    if (deleted == ModuleDatabase::DeleteResult::kNoRow) {
      DebugTraceW(L"[Strandel]OnDelWatchTask(%ls) failed, no stored row", name.c_str());
      return 0;
    }
    if (m_pSyncLog) m_pSyncLog->Record(TaskRemovedEntry(name));
    if (const auto task = m_WatchTaskMap.Lookup(name); task && task->bEnableTimer) {
      KillTimer(task->nTimerId);
      DebugTrace("OnDelWatchTask killtimer(%x)", task->nTimerId);
      if (task->nTimerId != 0) m_TimerIds.Release(task->nTimerId);
    }
    m_WatchTaskMap.Erase(name);
  }
  const RestartOutcome outcome = RestartWatch(WATCHCMD_DEL_TASK);
  if (outcome.timed_out) {
    DebugTrace("[Strandel]OnDelWatchTask Failed because of WAIT_TIMEOUT!");
  } else if (!outcome.was_running) {
    DebugTrace("[Strandel] OnDelWatchTask -> StartWatchFileSys(...)");
  }
  // With no task left there is nothing to watch: that is not a failure.
  return outcome.was_running || outcome.started || m_WatchTaskMap.Count() == 0 ? 1 : 0;
}

LRESULT CMainFrame::OnResetWatchTask(DWORD dwTaskIndex, WatchTask* pTask) {
  if (pTask == nullptr || RefuseAfterRelease("OnResetWatchTask")) return 1;
  const ResetCheck check = CheckResetTask(dwTaskIndex, *pTask, m_WatchTaskMap);
  WatchTask task = *pTask;
  switch (check.refusal) {
    case TaskRefusal::kNoSuchIndex:
      DebugTrace("[Strandel] OnResetWatchTask(%d) bRet == FALSE, m_WatchTaskMap.size=%d",
                 static_cast<int>(dwTaskIndex), static_cast<int>(m_WatchTaskMap.Count()));
      return 1;
    case TaskRefusal::kMalformed:
      DebugTraceW(
          L"[Strandel] OnResetWatchTask refused: a task needs a name and two absolute "
          L"directories (%ls %ls)",
          task.strSourceDir.c_str(), task.strDestDir.c_str());
      return 1;
    case TaskRefusal::kNameOfAnother:
      DebugTraceW(L"[Strandel] OnResetWatchTask refused: a task named %ls exists",
                  task.strWatchTaskName.c_str());
      return 1;
    case TaskRefusal::kOtherIndex:
      DebugTrace("[Strandel] OnResetWatchTask(%d) refused: the record names task index %d",
                 static_cast<int>(dwTaskIndex), static_cast<int>(task.dwTaskIndex));
      return 1;
    default:
      break;
  }
  const WatchTask& old_task = check.old_task;
  // Killed even when the pair is refused below: the old task stays without its timer.
  if (old_task.bEnableTimer && old_task.nTimerId != 0 && old_task.dwSynctime != 0) {
    KillTimer(old_task.nTimerId);
    DebugTrace("[Strandel] OnResetWatchTask killtimer(%x)", old_task.nTimerId);
  }
  if (check.refusal == TaskRefusal::kIllegalPair) {
    DebugTraceW(L"[Strandel] OnResetWatchTask IsLegalSyncPath(%ls %ls)", task.strSourceDir.c_str(),
                task.strDestDir.c_str());
    return -2;
  }
  {
    CDatabaseLock lock(m_Database.Lock());
    if (!m_Database.RewriteTask(task)) {
      // The old task stands as it was, its timer included.
      DebugTraceW(L"[Strandel] OnResetWatchTask(%ls) refused: the task cannot be stored",
                  task.strWatchTaskName.c_str());
      ArmTaskTimer(old_task);
      return 1;
    }
    if (old_task.bEnableTimer && !task.bEnableTimer) {
      m_TimerIds.Release(old_task.nTimerId);
      task.nTimerId = 0;
    } else if (!old_task.bEnableTimer && task.bEnableTimer) {
      task.nTimerId = m_TimerIds.Acquire();
    } else {
      task.nTimerId = old_task.nTimerId;
    }
    task.bSrcIsDrive = 0;
    task.bDestIsDrive = 0;
    task.strSrcFileSystem.clear();
    task.strDestFileSystem.clear();
    task.strSrcWatchPath.clear();
    task.strDestWatchPath.clear();
    m_WatchTaskMap.Erase(old_task.strWatchTaskName);
    m_WatchTaskMap.Store(task);
  }
  const RestartOutcome outcome = RestartWatch(WATCHCMD_RESET_TASK);
  if (!outcome.was_running) {
    DebugTrace("[Strandel]WatchTask is not running!,OnResetWatchTask will start it!");
    DebugTrace("[Strandel] OnResetWatchTask -> StartWatchFileSys(...)");
    if (outcome.timed_out) DebugTrace("[Strandel]OnResetWatchTask Failed because of WAIT_TIMEOUT!");
    return outcome.started ? 0 : 1;
  }
  if (task.bEnableTimer && task.dwSynctime >= kMinimumSyncPeriodMs) {
    ArmTaskTimer(task);
  } else if (task.bEnableTimer && task.nTimerId != 0) {
    // Too short a period holds no timer; the stored task must not keep an id
    // that the free list may hand to another task.
    KillTimer(task.nTimerId);
    m_TimerIds.Release(task.nTimerId);
    m_WatchTaskMap.SetTimerId(task.strWatchTaskName, 0);
  }
  if (outcome.timed_out) DebugTrace("[Strandel]OnResetWatchTask Failed because of WAIT_TIMEOUT!");
  return 0;
}
