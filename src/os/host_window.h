// The host's window, as the module reaches it: whether it still lives, and
// a message sent to it, which runs the host's window procedure and waits for
// its reply.
//
// Thread-safe as far as the host's window procedure is.
#pragma once

#include "strandel/strandel.h"

namespace os {

// Whether hWnd is a window the host has made and not destroyed.
bool IsHostWindow(HWND hWnd);

// The window procedure's reply to the message; 0 when the window is gone or
// has no procedure.
LRESULT SendToHostWindow(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);

}  // namespace os
