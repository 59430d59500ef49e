// Message-only windows (HWND_MESSAGE) of this module's own classes. A class
// is registered with its first window and unregistered with its last, so a
// module unloaded once its windows are gone leaves no class behind whose
// window procedure points into it. Thread-safe.
#pragma once

#include <windows.h>

namespace os {

// Null when the class or the window cannot be made (last error set).
// create_param reaches WM_NCCREATE and WM_CREATE as the creation parameter.
HWND CreateMessageWindow(const wchar_t* class_name, WNDPROC procedure, void* create_param);
// Destroys window, which may be gone already, and lets the class go when no
// window of it is left.
void DestroyMessageWindow(HWND window, const wchar_t* class_name);

}  // namespace os
