// Strandel: the one header a host includes to load and drive libstrandel.so.
//
// The host starts the module with InitStrandel, controls tasks through the
// IWatcherMonitor object that GetWatcherMonitor returns, and stops watching
// with ReleaseStrandel. The interfaces use the COM binary layout (vtable slot
// order, no virtual destructors), so a C host can call them through the vtable.
#ifndef STRANDEL_STRANDEL_H_
#define STRANDEL_STRANDEL_H_

#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
/* On Windows the basic, window and COM types are the system's. */
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
/* IDispatch and the Automation types, after the rest of windows.h. */
#include <oaidl.h>
#ifdef STRANDEL_BUILDING_DLL
#define STRANDEL_API __declspec(dllexport)
#else
#define STRANDEL_API __declspec(dllimport)
#endif
#define STRANDEL_CALL STDMETHODCALLTYPE

#else

#define STRANDEL_API __attribute__((visibility("default")))
#define STRANDEL_CALL

/* Basic types with their Windows widths. */
typedef int32_t BOOL;
typedef int32_t LONG;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t ULONG;
typedef uint16_t WORD;
typedef int32_t HRESULT;
typedef wchar_t OLECHAR;
/* Length-prefixed wide string: a 32-bit byte count stands before the first
   character; the pointer addresses the characters and the text is also
   zero-terminated. */
typedef OLECHAR* BSTR;
typedef intptr_t LRESULT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;

/* A host window: a host-owned record that stands for a window. It is valid
   while cbSize is sizeof(struct HWND__) and bAlive is nonzero; sending it a
   message calls lpfnWndProc on the sending thread and returns its result. A
   host destroys the window by clearing bAlive, and keeps the record in memory
   while the module may still send to it. */
typedef struct HWND__* HWND;
typedef LRESULT (*WNDPROC)(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
struct HWND__ {
  UINT cbSize;
  LONG bAlive;
  WNDPROC lpfnWndProc;
  void* pContext;
};

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_FAIL ((HRESULT)0x80004005)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

typedef struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID;
typedef GUID IID;
#ifdef __cplusplus
typedef const IID& REFIID;
inline bool IsEqualGUID(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}
#else
typedef const IID* REFIID;
#endif

/* Automation values, as far as IDispatch::Invoke needs them. */
typedef LONG DISPID;
typedef WORD VARTYPE;
enum { VT_EMPTY = 0, VT_I4 = 3, VT_BSTR = 8, VT_BYREF = 0x4000 };
#define DISPATCH_METHOD 0x1
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000E)
typedef struct VARIANT {
  VARTYPE vt;
  WORD wReserved1, wReserved2, wReserved3;
  union {
    LONG lVal;
    BSTR bstrVal;
    LONG* plVal;
    void* byref;
  };
  void* pRecordInfo; /* the record member's second word: keeps the Windows size */
} VARIANT;
typedef VARIANT VARIANTARG;
typedef struct DISPPARAMS {
  VARIANTARG* rgvarg; /* arguments in reverse order, as Automation passes them */
  DISPID* rgdispidNamedArgs;
  UINT cArgs;
  UINT cNamedArgs;
} DISPPARAMS;

/* Interface ids, defined here so that the library exports nothing but its
   functions. */
static const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
static const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

#ifdef __cplusplus

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};

/* Late binding covers the methods whose arguments are integers and strings:
   GetIDsOfNames maps the method names to DISPIDs 1 to 8 (letter case
   ignored) and Invoke calls them; the methods that take a WatchTaskInfo answer
   DISP_E_TYPEMISMATCH there. There is no type library (GetTypeInfoCount
   reports 0). */
struct IDispatch : IUnknown {
  virtual HRESULT GetTypeInfoCount(UINT* pctinfo) = 0;
  virtual HRESULT GetTypeInfo(UINT iTInfo, ULONG lcid, void** ppTInfo) = 0;
  virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR** rgszNames, UINT cNames, ULONG lcid,
                                DISPID* rgDispId) = 0;
  virtual HRESULT Invoke(DISPID dispIdMember, REFIID riid, ULONG lcid, WORD wFlags,
                         DISPPARAMS* pDispParams, VARIANT* pVarResult, void* pExcepInfo,
                         UINT* puArgErr) = 0;
};

#endif

#endif /* _WIN32 */

/* What a progress report carries (lParam; valid during the call only). wParam
   is nOperation: 0 listing, 1 create directory, 2 remove directory, 3 copy
   file, 4 delete file, 5 move to the trash, 6 end of a sync. The end of a
   sync names its task in pszFirstPath (empty when no task was found). The
   reply to a report with bAsk set and a nonzero dwError: -1 retries the
   operation, -2 stops the asking for the rest of the pass.
   The totals after bAsk run over the whole sync (both passes of a two-way
   task) up to the report; the module fills them, so a host that knows only
   the first five members still reads them right. */
typedef struct SyncProgressInfo {
  LONG nOperation;
  const wchar_t* pszFirstPath;
  const wchar_t* pszSecondPath;
  DWORD dwError;
  LONG bAsk;
  uint64_t nItemsListed;  /* files and directories the listings found */
  uint64_t nBytesListed;  /* the sizes of those files */
  uint64_t nItemsChecked; /* of the listed items, those compared so far */
  uint64_t nBytesChecked;
  uint64_t nItemsDone;   /* operations that succeeded */
  uint64_t nItemsFailed; /* items that failed for good */
  uint64_t nBytesCopied;
} SyncProgressInfo;

/* 32-bit, and every 32-bit value is a valid one: a host may pass values
   outside 0..2, and the engine gives those a meaning too. */
#ifdef __cplusplus
#define STRANDEL_ENUM_BASE : int32_t
#else
#define STRANDEL_ENUM_BASE
#endif
typedef enum AddStrategy STRANDEL_ENUM_BASE {
  AddOverwrite = 0,
  AddKeepBackup = 1,
  AddIgnore = 2
} AddStrategy;
typedef enum DelStrategy STRANDEL_ENUM_BASE {
  DelPermanent = 0,
  DelToRecycleBin = 1,
  DelIgnore = 2
} DelStrategy;
typedef enum RenameStrategy STRANDEL_ENUM_BASE {
  RenameInPlace = 0,
  RenameKeepBackup = 1,
  RenameIgnore = 2
} RenameStrategy;

/* The host's form of a watch task. Strings passed in stay the caller's; strings
   the module writes (QueryTaskInfo) are allocated with SysAllocString and belong
   to the caller. */
typedef struct WatchTaskInfo {
  DWORD dwTaskIndex;
  BOOL bSyncNow;
  BOOL bBidirectional;
  BOOL bSetInclude;
  BOOL bSetExclude;
  BSTR strIncludeFilter;
  BSTR strExcludeFilter;
  BOOL bNotWatchSubDir;
  BOOL bFailReport;
  AddStrategy enAddStrategy;
  DelStrategy enDelStrategy;
  RenameStrategy enRenameStrategy;
  BOOL bEnableTimer;
  UINT nTimerId;
  DWORD dwSynctime;
  BOOL bSupportUsb;
  BSTR strWatchTaskName;
  BSTR strSourceDir;
  BSTR strDestDir;
  BSTR strShareUserName;
  BSTR strShareUserPassword;
} WatchTaskInfo;

/* The monitor's interface id, its class and its type library, as the
   registration scripts carried in the library name them
   ("Strandel.WatcherMonitor.1", "WatcherMonitor Class"). */
static const IID IID_IWatcherMonitor = {
    0x63ae6d4b, 0xd72c, 0x4a26, {0xa8, 0x13, 0xc4, 0x27, 0x2a, 0xb2, 0x4b, 0xca}};
static const GUID CLSID_WatcherMonitor = {
    0x0b3c5f8e, 0x4d1a, 0x4c6e, {0x9f, 0x27, 0x51, 0xa8, 0xe2, 0x6d, 0x03, 0xb4}};
static const GUID LIBID_StrandelLib = {
    0x8e41d2a7, 0x6c93, 0x4f05, {0xb1, 0x5e, 0x2d, 0x77, 0x9a, 0xc4, 0x18, 0x6f}};

#ifdef __cplusplus

struct IWatcherMonitor : IDispatch {
  /* The new task's index; 1 failure, -2 illegal path pair, -3 name exists. */
  virtual LONG STRANDEL_CALL AddWatchTask(WatchTaskInfo* pInfo) = 0;
  /* 0 success, 1 failure. Takes ownership of the name string. */
  virtual LONG STRANDEL_CALL DelWatchTask(BSTR strTaskName) = 0;
  /* 0 success, 1 failure, -2 illegal path pair. */
  virtual LONG STRANDEL_CALL ResetWatchTask(LONG nTaskIndex, WatchTaskInfo* pInfo) = 0;
  /* 0 success, 1 position out of range. */
  virtual LONG STRANDEL_CALL QueryTaskInfo(LONG nPosition, WatchTaskInfo* pInfo) = 0;
  virtual LONG STRANDEL_CALL SyncWatchTask(WatchTaskInfo* pInfo) = 0;
  virtual LONG STRANDEL_CALL SetNotifyWindow(HWND hWnd, UINT uMsg) = 0;
  virtual HRESULT STRANDEL_CALL GetTaskCount(LONG* pCount) = 0;
  virtual HRESULT STRANDEL_CALL ConnectNetShare(BSTR strPath, BSTR strUserName,
                                                BSTR strPassword) = 0;
};

#else

/* The same object seen from C: a pointer to the table of its methods, in
   slot order, each taking the object first. */
typedef struct IWatcherMonitor IWatcherMonitor;
typedef struct IWatcherMonitorVtbl {
  HRESULT(STRANDEL_CALL* QueryInterface)(IWatcherMonitor* This, REFIID riid, void** ppvObject);
  ULONG(STRANDEL_CALL* AddRef)(IWatcherMonitor* This);
  ULONG(STRANDEL_CALL* Release)(IWatcherMonitor* This);
  HRESULT(STRANDEL_CALL* GetTypeInfoCount)(IWatcherMonitor* This, UINT* pctinfo);
  HRESULT(STRANDEL_CALL* GetTypeInfo)
  (IWatcherMonitor* This, UINT iTInfo, ULONG lcid, void** ppTInfo);
  HRESULT(STRANDEL_CALL* GetIDsOfNames)
  (IWatcherMonitor* This, REFIID riid, OLECHAR** rgszNames, UINT cNames, ULONG lcid,
   DISPID* rgDispId);
  HRESULT(STRANDEL_CALL* Invoke)
  (IWatcherMonitor* This, DISPID dispIdMember, REFIID riid, ULONG lcid, WORD wFlags,
   DISPPARAMS* pDispParams, VARIANT* pVarResult, void* pExcepInfo, UINT* puArgErr);
  LONG(STRANDEL_CALL* AddWatchTask)(IWatcherMonitor* This, WatchTaskInfo* pInfo);
  LONG(STRANDEL_CALL* DelWatchTask)(IWatcherMonitor* This, BSTR strTaskName);
  LONG(STRANDEL_CALL* ResetWatchTask)
  (IWatcherMonitor* This, LONG nTaskIndex, WatchTaskInfo* pInfo);
  LONG(STRANDEL_CALL* QueryTaskInfo)(IWatcherMonitor* This, LONG nPosition, WatchTaskInfo* pInfo);
  LONG(STRANDEL_CALL* SyncWatchTask)(IWatcherMonitor* This, WatchTaskInfo* pInfo);
  LONG(STRANDEL_CALL* SetNotifyWindow)(IWatcherMonitor* This, HWND hWnd, UINT uMsg);
  HRESULT(STRANDEL_CALL* GetTaskCount)(IWatcherMonitor* This, LONG* pCount);
  HRESULT(STRANDEL_CALL* ConnectNetShare)
  (IWatcherMonitor* This, BSTR strPath, BSTR strUserName, BSTR strPassword);
} IWatcherMonitorVtbl;
struct IWatcherMonitor {
  const IWatcherMonitorVtbl* lpVtbl;
};

#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*SyncHintProc)(void* pContext);

/* Starts the module with the directory of Strandel.db and Report.dat (may be
   null: the current directory). */
STRANDEL_API void InitStrandel(const wchar_t* dataDir);
/* Stops watching. TRUE when every thread stopped in order. */
STRANDEL_API BOOL ReleaseStrandel(void);
/* The module's one monitor object; no reference is added and the host must not
   release it. Null before InitStrandel. */
STRANDEL_API IWatcherMonitor* GetWatcherMonitor(void);
/* Stores a host context and callback; the module keeps them and never calls them. */
STRANDEL_API void SetSyncHint(void* pContext, SyncHintProc pfnHint);

#ifndef _WIN32
/* The module's own BSTR functions; on Windows they are the system's. */
STRANDEL_API BSTR SysAllocString(const OLECHAR* psz);
STRANDEL_API void SysFreeString(BSTR bstrString);
STRANDEL_API UINT SysStringLen(BSTR bstr);
#endif

#ifdef __cplusplus
}
#endif

#endif /* STRANDEL_STRANDEL_H_ */