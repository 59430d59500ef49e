// The host window that receives the full sync's progress reports, and the
// message it receives them with, as registered through SetNotifyWindow.
//
// Threads: the host registers on its own threads while the scheduled sync
// reports on its thread; the registration is read and written under a lock,
// and the window procedure is called outside it.
#pragma once

#include <mutex>

#include "strandel/strandel.h"
#include "sync/full_sync.h"

class NotifyWindow final : public ProgressSink {
 public:
  // Nothing changes for a window that is not valid. uMsg 0 switches the
  // reports off.
  void Register(HWND hWnd, UINT uMsg);

  // The window procedure's reply; 0 when no live window is registered.
  LRESULT Report(LONG operation, const std::wstring& first, const std::wstring& second, DWORD error,
                 LONG ask, const FullSyncCounts& counts) override;

 private:
  std::mutex m_Mutex;
  BOOL m_bEnabled = FALSE;  // guarded by m_Mutex, as are the two below
  HWND m_hWnd = nullptr;
  UINT m_uMsg = 0;
};
