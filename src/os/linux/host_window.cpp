#include "os/host_window.h"

namespace os {

// A Linux host has no window system: its "window" is a record it owns, valid
// while it carries its own size and the alive flag.
bool IsHostWindow(HWND hWnd) {
  return hWnd != nullptr && hWnd->cbSize == sizeof(struct HWND__) && hWnd->bAlive != 0;
}

LRESULT SendToHostWindow(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  if (!IsHostWindow(hWnd) || hWnd->lpfnWndProc == nullptr) return 0;
  return hWnd->lpfnWndProc(hWnd, uMsg, wParam, lParam);
}

}  // namespace os
