#include "os/module_path.h"

#include <windows.h>

namespace os {

std::wstring ModuleDirectory() {
  HMODULE module = nullptr;
  if (!::GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&ModuleDirectory)), &module)) {
    return std::wstring();
  }
  // A long path does not fit MAX_PATH: grow until the name is not truncated.
  std::wstring file(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = ::GetModuleFileNameW(module, file.data(), static_cast<DWORD>(file.size()));
    if (length == 0) return std::wstring();
    if (length < file.size()) {
      file.resize(length);
      break;
    }
    if (file.size() >= 32768) return std::wstring();
    file.resize(file.size() * 2);
  }
  const auto cut = file.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return std::wstring();
  file.resize(cut + 1);
  file.back() = L'\\';
  return file;
}

}  // namespace os
