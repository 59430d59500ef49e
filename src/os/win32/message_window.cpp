#include "os/win32/message_window.h"

#include <mutex>

namespace os {
namespace {

// Registering a class and making a window, or destroying one and letting the
// class go, are one step each.
std::mutex g_class_mutex;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

}  // namespace

HWND CreateMessageWindow(const wchar_t* class_name, WNDPROC procedure, void* create_param) {
  const std::lock_guard<std::mutex> guard(g_class_mutex);
  WNDCLASSEXW definition{};
  definition.cbSize = sizeof definition;
  definition.lpfnWndProc = procedure;
  definition.hInstance = ThisModule();
  definition.lpszClassName = class_name;
  if (::RegisterClassExW(&definition) == 0 && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    return nullptr;
  }
  const HWND window = ::CreateWindowExW(0, class_name, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        ThisModule(), create_param);
  if (window == nullptr) {
    const DWORD error = ::GetLastError();
    ::UnregisterClassW(class_name, ThisModule());
    ::SetLastError(error);
  }
  return window;
}

void DestroyMessageWindow(HWND window, const wchar_t* class_name) {
  const std::lock_guard<std::mutex> guard(g_class_mutex);
  if (window != nullptr) ::DestroyWindow(window);
  ::UnregisterClassW(class_name, ThisModule());  // refused while a window of it is left
}

}  // namespace os
