// CWatcherMonitor: the COM object through which the host controls the tasks.
// Task changes are sent to the controller window and wait for its answer; the
// other methods run on the caller's thread.
// Thread-safe: any host thread may call any method.
#pragma once

#include <atomic>

#include "strandel/strandel.h"

class CMainFrame;

// The two types IDispatch leaves to the platform: Windows names the type
// information and the exception details, Linux passes them untyped.
#ifdef _WIN32
using TypeInfoPointer = ITypeInfo*;
using ExceptionDetails = EXCEPINFO;
#else
using TypeInfoPointer = void*;
using ExceptionDetails = void;
#endif

class CWatcherMonitor final : public IWatcherMonitor {
 public:
  // Starts with one reference, which belongs to the creator.
  explicit CWatcherMonitor(CMainFrame* frame);

  HRESULT STRANDEL_CALL QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STRANDEL_CALL AddRef() override;
  ULONG STRANDEL_CALL Release() override;

  HRESULT STRANDEL_CALL GetTypeInfoCount(UINT* pctinfo) override;
  HRESULT STRANDEL_CALL GetTypeInfo(UINT iTInfo, ULONG lcid, TypeInfoPointer* ppTInfo) override;
  HRESULT STRANDEL_CALL GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, UINT cNames, ULONG lcid,
                                      DISPID* rgDispId) override;
  HRESULT STRANDEL_CALL Invoke(DISPID dispIdMember, REFIID riid, ULONG lcid, WORD wFlags,
                               DISPPARAMS* pDispParams, VARIANT* pVarResult,
                               ExceptionDetails* pExcepInfo, UINT* puArgErr) override;

  LONG STRANDEL_CALL AddWatchTask(WatchTaskInfo* pInfo) override;
  LONG STRANDEL_CALL DelWatchTask(BSTR strTaskName) override;
  LONG STRANDEL_CALL ResetWatchTask(LONG nTaskIndex, WatchTaskInfo* pInfo) override;
  LONG STRANDEL_CALL QueryTaskInfo(LONG nPosition, WatchTaskInfo* pInfo) override;
  LONG STRANDEL_CALL SyncWatchTask(WatchTaskInfo* pInfo) override;
  LONG STRANDEL_CALL SetNotifyWindow(HWND hWnd, UINT uMsg) override;
  HRESULT STRANDEL_CALL GetTaskCount(LONG* pCount) override;
  HRESULT STRANDEL_CALL ConnectNetShare(BSTR strPath, BSTR strUserName, BSTR strPassword) override;

 private:
  ~CWatcherMonitor() = default;  // only Release deletes

  std::atomic<ULONG> m_cRef{1};
  CMainFrame* const m_pMainFrame;
};
