#include "control/watcher_monitor.h"

#include "control/main_frame.h"
#include "platform/diag_log.h"
#include "store/watch_task.h"

CWatcherMonitor::CWatcherMonitor(CMainFrame* frame) : m_pMainFrame(frame) {}

HRESULT CWatcherMonitor::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IDispatch) ||
      IsEqualGUID(riid, IID_IWatcherMonitor)) {
    *ppvObject = static_cast<IWatcherMonitor*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG CWatcherMonitor::AddRef() { return m_cRef.fetch_add(1) + 1; }

ULONG CWatcherMonitor::Release() {
  // Decide on the value this decrement produced; another thread may release
  // at the same moment.
  const ULONG remaining = m_cRef.fetch_sub(1) - 1;
  if (remaining == 0) delete this;
  return remaining;
}

HRESULT CWatcherMonitor::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT CWatcherMonitor::GetTypeInfo(UINT, ULONG, void** ppTInfo) {
  if (ppTInfo != nullptr) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT CWatcherMonitor::GetIDsOfNames(REFIID, OLECHAR**, UINT, ULONG, LONG*) { return E_NOTIMPL; }

HRESULT CWatcherMonitor::Invoke(LONG, REFIID, ULONG, WORD, void*, void*, void*, UINT*) {
  return E_NOTIMPL;
}

LONG CWatcherMonitor::AddWatchTask(WatchTaskInfo* pInfo) {
  if (pInfo == nullptr) return 1;
  WatchTask task = WatchTaskFromInfo(*pInfo);
  task.dwTaskIndex = m_pMainFrame->TaskIndexes().TakeNext();
  const auto result = static_cast<LONG>(
      m_pMainFrame->SendMessage(WM_ADD_WATCH_TASK, 0, reinterpret_cast<LPARAM>(&task)));
  switch (result) {
    case 1:
      DebugTrace("[Strandel]OnAddWatchTask failed at CWatcherMonitor!");
      return 1;
    case -2:
      DebugTrace("[Strandel]DestDirPath illegal,it may case death cycle !");
      return -2;
    case -3:
      DebugTrace("[Strandel]NewTask has the same taskname in the taskmap !");
      return -3;
    default:
      // The index this task took, not the counter now: another host thread
      // may have added a task meanwhile.
      return static_cast<LONG>(task.dwTaskIndex);
  }
}

LONG CWatcherMonitor::DelWatchTask(BSTR strTaskName) {
  const LRESULT result =
      m_pMainFrame->SendMessage(WM_DEL_WATCH_TASK, 0, reinterpret_cast<LPARAM>(strTaskName));
  LONG answer = 0;
  if (result == 0) {
    DebugTraceW(L"[Strandel]DelWatchTask(%ls) failed at CWatcherMonitor!",
                strTaskName != nullptr ? strTaskName : L"");
    answer = 1;
  }
  SysFreeString(strTaskName);
  return answer;
}

LONG CWatcherMonitor::ResetWatchTask(LONG nTaskIndex, WatchTaskInfo* pInfo) {
  if (pInfo == nullptr) return 1;
  WatchTask task = WatchTaskFromInfo(*pInfo);
  task.dwTaskIndex = pInfo->dwTaskIndex;
  const auto result = static_cast<LONG>(m_pMainFrame->SendMessage(
      WM_RESET_WATCH_TASK, static_cast<WPARAM>(static_cast<DWORD>(nTaskIndex)),
      reinterpret_cast<LPARAM>(&task)));
  return (result == 1 || result == -2) ? result : 0;
}

LONG CWatcherMonitor::QueryTaskInfo(LONG nPosition, WatchTaskInfo* pInfo) {
  const DWORD count = m_pMainFrame->CountTasks();
  if (pInfo == nullptr || count < 1 || nPosition < 0 || static_cast<DWORD>(nPosition) >= count) {
    return 1;
  }
  // The row is looked up again under the lock: a task deleted meanwhile
  // makes the position fail instead of reading past the end.
  WatchTask task;
  if (!m_pMainFrame->ReadStoredTask(nPosition, &task)) return 1;
  return FillWatchTaskInfo(task, pInfo) ? 0 : 1;
}

LONG CWatcherMonitor::SyncWatchTask(WatchTaskInfo* pInfo) {
  if (pInfo == nullptr) return 1;
  WatchTask task = WatchTaskFromInfo(*pInfo);
  task.dwTaskIndex = pInfo->dwTaskIndex;
  return m_pMainFrame->StartPlanSync(0, &task) ? 0 : 1;
}

LONG CWatcherMonitor::SetNotifyWindow(HWND, UINT) {
  DebugTrace("[Strandel]SetNotifyWindow refused: progress notification is not available");
  return 1;
}

HRESULT CWatcherMonitor::GetTaskCount(LONG* pCount) {
  if (pCount == nullptr) return E_POINTER;
  *pCount = static_cast<LONG>(m_pMainFrame->CountTasks());
  return S_OK;
}

HRESULT CWatcherMonitor::ConnectNetShare(BSTR, BSTR, BSTR) {
  DebugTrace("[Strandel]ConnectNetShare refused: share connection is not available");
  return E_FAIL;
}
