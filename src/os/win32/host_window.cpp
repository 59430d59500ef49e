#include "os/host_window.h"

#include <windows.h>

namespace os {

bool IsHostWindow(HWND hWnd) { return hWnd != nullptr && ::IsWindow(hWnd); }

LRESULT SendToHostWindow(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (!IsHostWindow(hWnd)) return 0;
  return ::SendMessageW(hWnd, uMsg, wParam, lParam);
}

}  // namespace os
