#include "control/watcher_monitor.h"

#include <iterator>

#include "control/main_frame.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "platform/share_connection.h"
#include "store/watch_task.h"
#include "watch/path_rules.h"
#include "watch/wildcard.h"

namespace {

// In the order of the interface's slots; the DISPID is the position plus one.
constexpr const wchar_t* kMethodNames[] = {L"AddWatchTask",  L"DelWatchTask",   L"ResetWatchTask",
                                           L"QueryTaskInfo", L"SyncWatchTask",  L"SetNotifyWindow",
                                           L"GetTaskCount",  L"ConnectNetShare"};

}  // namespace

CWatcherMonitor::CWatcherMonitor(CMainFrame* frame) : m_pMainFrame(frame) {}

HRESULT STRANDEL_CALL CWatcherMonitor::QueryInterface(REFIID riid, void** ppvObject) {
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

ULONG STRANDEL_CALL CWatcherMonitor::AddRef() { return m_cRef.fetch_add(1) + 1; }

ULONG STRANDEL_CALL CWatcherMonitor::Release() {
  // Decide on the value this decrement produced; another thread may release
  // at the same moment.
  const ULONG remaining = m_cRef.fetch_sub(1) - 1;
  if (remaining == 0) delete this;
  return remaining;
}

HRESULT STRANDEL_CALL CWatcherMonitor::GetTypeInfoCount(UINT* pctinfo) {
  if (pctinfo == nullptr) return E_POINTER;
  *pctinfo = 0;
  return S_OK;
}

HRESULT STRANDEL_CALL CWatcherMonitor::GetTypeInfo(UINT, ULONG, TypeInfoPointer* ppTInfo) {
  if (ppTInfo != nullptr) *ppTInfo = nullptr;
  return E_NOTIMPL;
}

HRESULT STRANDEL_CALL CWatcherMonitor::GetIDsOfNames(REFIID, OLECHAR** rgszNames, UINT cNames,
                                                     ULONG, DISPID* rgDispId) {
  if (rgszNames == nullptr || rgDispId == nullptr) return E_POINTER;
  HRESULT result = S_OK;
  for (UINT i = 0; i < cNames; ++i) {
    rgDispId[i] = -1;  // DISPID_UNKNOWN
    for (std::size_t id = 0; id < std::size(kMethodNames); ++id) {
      if (rgszNames[i] != nullptr && EqualsIgnoreCase(rgszNames[i], kMethodNames[id])) {
        rgDispId[i] = static_cast<DISPID>(id + 1);
      }
    }
    if (rgDispId[i] == -1) result = DISP_E_UNKNOWNNAME;
  }
  return result;
}

HRESULT STRANDEL_CALL CWatcherMonitor::Invoke(DISPID dispIdMember, REFIID, ULONG, WORD,
                                              DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                              ExceptionDetails*, UINT* puArgErr) {
  if (dispIdMember < 1 || dispIdMember > static_cast<DISPID>(std::size(kMethodNames))) {
    return DISP_E_MEMBERNOTFOUND;
  }
  const UINT count = pDispParams != nullptr ? pDispParams->cArgs : 0;
  // Automation passes the arguments last first.
  auto arg = [&](UINT n) -> VARIANT* { return &pDispParams->rgvarg[count - 1 - n]; };
  auto expect = [&](UINT n, VARTYPE type) {
    if (arg(n)->vt == type) return true;
    if (puArgErr != nullptr) *puArgErr = count - 1 - n;
    return false;
  };
  auto answer = [&](LONG value) {
    if (pVarResult != nullptr) {
      pVarResult->vt = VT_I4;
      pVarResult->lVal = value;
    }
  };
  switch (dispIdMember) {
    case 2: {  // DelWatchTask: the method keeps the name it is given, so it gets its own copy
      if (count != 1) return DISP_E_BADPARAMCOUNT;
      if (!expect(0, VT_BSTR)) return DISP_E_TYPEMISMATCH;
      answer(DelWatchTask(SysAllocString(arg(0)->bstrVal != nullptr ? arg(0)->bstrVal : L"")));
      return S_OK;
    }
    case 7: {  // GetTaskCount
      if (count != 1) return DISP_E_BADPARAMCOUNT;
      if (!expect(0, VT_BYREF | VT_I4)) return DISP_E_TYPEMISMATCH;
      const HRESULT hr = GetTaskCount(arg(0)->plVal);
      answer(hr);
      return hr;
    }
    case 8: {  // ConnectNetShare
      if (count != 3) return DISP_E_BADPARAMCOUNT;
      for (UINT n = 0; n < 3; ++n) {
        if (!expect(n, VT_BSTR)) return DISP_E_TYPEMISMATCH;
      }
      const HRESULT hr = ConnectNetShare(arg(0)->bstrVal, arg(1)->bstrVal, arg(2)->bstrVal);
      answer(hr);
      return hr;
    }
    default:
      // A WatchTaskInfo or a window handle does not travel in a VARIANT.
      return DISP_E_TYPEMISMATCH;
  }
}

LONG STRANDEL_CALL CWatcherMonitor::AddWatchTask(WatchTaskInfo* pInfo) {
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

LONG STRANDEL_CALL CWatcherMonitor::DelWatchTask(BSTR strTaskName) {
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

LONG STRANDEL_CALL CWatcherMonitor::ResetWatchTask(LONG nTaskIndex, WatchTaskInfo* pInfo) {
  if (pInfo == nullptr) return 1;
  WatchTask task = WatchTaskFromInfo(*pInfo);
  task.dwTaskIndex = pInfo->dwTaskIndex;
  const auto result = static_cast<LONG>(m_pMainFrame->SendMessage(
      WM_RESET_WATCH_TASK, static_cast<WPARAM>(static_cast<DWORD>(nTaskIndex)),
      reinterpret_cast<LPARAM>(&task)));
  return (result == 1 || result == -2) ? result : 0;
}

LONG STRANDEL_CALL CWatcherMonitor::QueryTaskInfo(LONG nPosition, WatchTaskInfo* pInfo) {
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

LONG STRANDEL_CALL CWatcherMonitor::SyncWatchTask(WatchTaskInfo* pInfo) {
  if (pInfo == nullptr) return 0;
  WatchTask task = WatchTaskFromInfo(*pInfo);
  task.dwTaskIndex = pInfo->dwTaskIndex;
  task.strSrcFileSystem = GetFileSystem(task.strSourceDir);
  task.strDestFileSystem = GetFileSystem(task.strDestDir);
  m_pMainFrame->StartPlanSync(0, &task);
  return 0;
}

LONG STRANDEL_CALL CWatcherMonitor::SetNotifyWindow(HWND hWnd, UINT uMsg) {
  m_pMainFrame->m_NotifyWindow.Register(hWnd, uMsg);
  return 0;
}

HRESULT STRANDEL_CALL CWatcherMonitor::GetTaskCount(LONG* pCount) {
  if (pCount == nullptr) return E_POINTER;
  *pCount = static_cast<LONG>(m_pMainFrame->CountTasks());
  return S_OK;
}

HRESULT STRANDEL_CALL CWatcherMonitor::ConnectNetShare(BSTR strPath, BSTR strUserName,
                                                       BSTR strPassword) {
  std::wstring path = strPath != nullptr ? std::wstring(strPath) : std::wstring();
  if (!path.empty() && (path.back() == L'\\' || path.back() == os::kPathSeparator)) path.pop_back();
  const std::wstring password = strPassword != nullptr ? std::wstring(strPassword) : std::wstring();
  const std::wstring user = strUserName != nullptr ? std::wstring(strUserName) : std::wstring();
  return ConnectShare(path, password, user) ? S_OK : E_FAIL;
}
