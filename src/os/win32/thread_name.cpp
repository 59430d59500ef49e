#include "os/thread_name.h"

#include <windows.h>

#include "os/text.h"

// Windows: the thread description debuggers and tools show. The call exists
// from Windows 10 1607 on (and not in every Wine), so it is looked up.
namespace os {
namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn DescriptionCall() {
  static const SetThreadDescriptionFn call = [] {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return SetThreadDescriptionFn{};
    return reinterpret_cast<SetThreadDescriptionFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel, "SetThreadDescription")));
  }();
  return call;
}

}  // namespace

void NameCurrentThread(const char* name) {
  if (name == nullptr) return;
  if (const SetThreadDescriptionFn call = DescriptionCall()) {
    call(::GetCurrentThread(), FromUtf8(name).c_str());
  }
}

}  // namespace os
