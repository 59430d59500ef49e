#include "control/plan_sync_thread.h"

#include "control/controller_messages.h"
#include "os/named_event.h"
#include "platform/diag_log.h"
#include "watch/path_rules.h"

CPlanSyncThread::CPlanSyncThread(PlanSyncContext context)
    : m_Context(std::move(context)),
      m_hSyncComplete(os::CreateNamedEvent(kSyncCompleteEventName, true, false)) {
  DebugTrace("[Strandel] CPlanSyncThread Start !");
}

CPlanSyncThread::~CPlanSyncThread() {
  RequestStop();
  Stop();
  // A sync still queued will never run: nobody may wait for it.
  if (m_hSyncComplete) m_hSyncComplete->Set();
  DebugTrace("[Strandel] CPlanSyncThread Exit !");
}

void CPlanSyncThread::HandTask(const WatchTask& task) {
  std::lock_guard<std::mutex> guard(m_HandedMutex);
  m_HandedTask = task;
}

void CPlanSyncThread::RequestStop() { m_bStop.store(true); }

void CPlanSyncThread::WaitStarted(DWORD timeout_ms) { m_Started.Wait(timeout_ms); }

void CPlanSyncThread::OnLoopStart() {
  DebugTrace("[Strandel] CPlanSyncThread InitInstance !");
  m_Started.Set();
}

LRESULT CPlanSyncThread::Dispatch(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_START_PLANNING) {
    OnStartPlanning(static_cast<WORD>(wParam & 0xFFFF), lParam != 0);
  }
  return 0;
}

void CPlanSyncThread::OnStartPlanning(WORD wTimerIndex, bool handed) {
  DebugTrace("Strandel]GetMessage->OnStartPlanning!");
  if (m_hSyncComplete) m_hSyncComplete->Reset();

  WatchTask task;
  bool found = false;
  if (handed) {
    std::lock_guard<std::mutex> guard(m_HandedMutex);
    task = m_HandedTask;
    found = true;
  } else {
    for (const WatchTask& candidate : m_Context.tasks.Snapshot()) {
      if (candidate.nTimerId == wTimerIndex) {
        task = candidate;
        found = true;
        break;
      }
    }
    if (!found) DebugTrace("Strandel]Can't find Task in Map so out!");
  }
  // Only a watched task has its file systems noted by the watch; without them
  // every pair would be compared as if across file systems, where two
  // versions of one size a second apart count as one.
  if (found && task.strSrcFileSystem.empty()) {
    task.strSrcFileSystem = GetFileSystem(task.strSourceDir);
  }
  if (found && task.strDestFileSystem.empty()) {
    task.strDestFileSystem = GetFileSystem(task.strDestDir);
  }
  if (found && task.strWatchTaskName.empty()) {
    DebugTrace("[Strandel] OnStartPlaning failed because of the strWatchTaskName is not Exist !");
  }
  const FullSyncCounts counts =
      found && !task.strWatchTaskName.empty() ? Synchronise(task, wTimerIndex) : FullSyncCounts{};

  // The end names its task, so a host that asked for one sync among others
  // (timers, volumes) knows which one ended.
  m_Context.sink.Report(kOpSyncEnd, task.strWatchTaskName, L"", 0, 0, counts);
  if (m_hSyncComplete) m_hSyncComplete->Set();
  DebugTrace("[Strandel]%d: OnStartPlanning OUT", 213);
}

FullSyncCounts CPlanSyncThread::Synchronise(const WatchTask& task, WORD wTimerIndex) {
  ConnectPendingShare(m_Context.pending_shares, task.strDestDir);

  // A timer-driven sync uses the filters the watch thread built for the
  // task; a handed task may not be watched at all, so its own strings are split.
  TaskFilterEntry filters = MakeTaskFilterEntry(task);
  if (wTimerIndex != 0) {
    if (auto built = m_Context.shared.m_TaskFilterMap.Find(task.strWatchTaskName)) {
      filters = std::move(*built);
    }
  }

  m_Context.shared.SetFullSync(task.strWatchTaskName);
  CFullSync sync(m_Context.operations, &m_Context.sink, &m_bStop);
  if (!m_bStop.load()) sync.DoSyncDirectory(task, filters, FALSE);
  if (task.bBidirectional && !m_bStop.load()) sync.DoSyncDirectory(task, filters, TRUE);
  m_Context.shared.ClearFullSync();

  // The next timer-driven sync comes a full period after this one ended.
  if (wTimerIndex != 0 && !m_bStop.load()) m_Context.rearm_timer(task.nTimerId);
  DebugTrace("[Strandel]%d: OnStartPlanning wTimerIndex=%d", 202, wTimerIndex);
  return sync.Counts();
}
