#include "control/notify_window.h"

#include "os/host_window.h"

void NotifyWindow::Register(HWND hWnd, UINT uMsg) {
  if (!os::IsHostWindow(hWnd)) return;
  std::lock_guard<std::mutex> guard(m_Mutex);
  m_bEnabled = uMsg != 0 ? TRUE : FALSE;
  m_hWnd = uMsg != 0 ? hWnd : nullptr;
  m_uMsg = uMsg;
}

LRESULT NotifyWindow::Report(LONG operation, const std::wstring& first, const std::wstring& second,
                             DWORD error, LONG ask, const FullSyncCounts& counts) {
  HWND window;
  UINT message;
  {
    std::lock_guard<std::mutex> guard(m_Mutex);
    if (!m_bEnabled) return 0;
    window = m_hWnd;
    message = m_uMsg;
  }
  // The host may have destroyed the window since it registered it.
  if (!os::IsHostWindow(window)) return 0;
  const SyncProgressInfo info{operation,
                              first.c_str(),
                              second.c_str(),
                              error,
                              ask,
                              counts.listed,
                              counts.listed_bytes,
                              counts.checked,
                              counts.checked_bytes,
                              counts.done,
                              counts.failed,
                              counts.bytes};
  return os::SendToHostWindow(window, message, static_cast<WPARAM>(operation),
                              reinterpret_cast<LPARAM>(&info));
}
