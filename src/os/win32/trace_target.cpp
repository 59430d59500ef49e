#include "os/trace_target.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>

#include "os/text.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

// Windows: STRANDEL_TRACE=stderr, =debugger (OutputDebugString, what a
// debugger or DebugView shows) or a file path.
namespace os {
namespace {

void WriteAll(HANDLE handle, std::string_view text) {
  while (!text.empty()) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    if (!::WriteFile(handle, text.data(), chunk, &written, nullptr) || written == 0) return;
    text.remove_prefix(written);
  }
}

std::wstring TraceTarget() {
  DWORD size = ::GetEnvironmentVariableW(L"STRANDEL_TRACE", nullptr, 0);
  if (size == 0) return {};
  std::wstring value(size, L'\0');
  size = ::GetEnvironmentVariableW(L"STRANDEL_TRACE", value.data(), size);
  value.resize(size);
  return value;
}

}  // namespace

TraceSink SinkFromEnvironment() {
  const std::wstring target = TraceTarget();
  if (target.empty()) return {};
  if (target == L"stderr") {
    return [](std::string_view message) { WriteAll(::GetStdHandle(STD_ERROR_HANDLE), message); };
  }
  if (target == L"debugger") {
    return [](std::string_view message) { ::OutputDebugStringA(std::string(message).c_str()); };
  }
  // Appending: each WriteFile lands at the end, even with other writers.
  HANDLE file = ::CreateFileW(SystemPath(target).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  auto owned = std::make_shared<UniqueHandle>(file);
  return [owned](std::string_view message) { WriteAll(owned->get(), message); };
}

}  // namespace os
