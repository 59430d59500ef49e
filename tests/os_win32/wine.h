// Whether the tests run under Wine, whose services differ from Windows in a
// few measured ways; a test that meets one says so instead of failing.
#pragma once

#include <windows.h>

namespace testing_support {

inline bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

}  // namespace testing_support
