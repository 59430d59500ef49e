// CWatcherMonitor: the COM object through which the host controls the tasks.
// Task changes are sent to the controller window and wait for its answer; the
// other methods run on the caller's thread.
// Thread-safe: any host thread may call any method.
#pragma once

#include <atomic>

#include "strandel/strandel.h"

class CMainFrame;

class CWatcherMonitor final : public IWatcherMonitor {
 public:
  // Starts with one reference, which belongs to the creator.
  explicit CWatcherMonitor(CMainFrame* frame);

  HRESULT QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG AddRef() override;
  ULONG Release() override;

  HRESULT GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT GetTypeInfo(UINT iTInfo, ULONG lcid, void** ppTInfo) override;
  HRESULT GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, UINT cNames, ULONG lcid,
                        DISPID* rgDispId) override;
  HRESULT Invoke(DISPID dispIdMember, REFIID riid, ULONG lcid, WORD wFlags, DISPPARAMS* pDispParams,
                 VARIANT* pVarResult, void* pExcepInfo, UINT* puArgErr) override;

  LONG AddWatchTask(WatchTaskInfo* pInfo) override;
  LONG DelWatchTask(BSTR strTaskName) override;
  LONG ResetWatchTask(LONG nTaskIndex, WatchTaskInfo* pInfo) override;
  LONG QueryTaskInfo(LONG nPosition, WatchTaskInfo* pInfo) override;
  LONG SyncWatchTask(WatchTaskInfo* pInfo) override;
  LONG SetNotifyWindow(HWND hWnd, UINT uMsg) override;
  HRESULT GetTaskCount(LONG* pCount) override;
  HRESULT ConnectNetShare(BSTR strPath, BSTR strUserName, BSTR strPassword) override;

 private:
  ~CWatcherMonitor() = default;  // only Release deletes

  std::atomic<ULONG> m_cRef{1};
  CMainFrame* const m_pMainFrame;
};
