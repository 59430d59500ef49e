#include "os/impersonation.h"

#include <windows.h>

#include <string>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/unique_handle.h"

// Windows: a thread acts as a user through an impersonation token on the
// thread; groups are part of the token, so SavedIdentity carries nothing here
// and the state to restore lives in a per-thread stack of previous tokens.
namespace os {
namespace {

// The thread's token before each Impersonate, innermost last; a null entry
// stands for "acting as the process".
thread_local std::vector<HANDLE> t_previous_tokens;

}  // namespace

GroupId CurrentFsGid() { return 0; }

std::vector<GroupId> CurrentGroups() { return {}; }

std::optional<SavedIdentity> Impersonate(const UserToken& token) {
  if (!token.handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return std::nullopt;
  }
  HANDLE previous = nullptr;
  // Asked as the process: the impersonated user may not open its own thread.
  if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE | TOKEN_QUERY, TRUE, &previous)) {
    if (::GetLastError() != ERROR_NO_TOKEN) return std::nullopt;
    previous = nullptr;
  }
  if (!::ImpersonateLoggedOnUser(static_cast<HANDLE>(token.handle.get()))) {
    const DWORD error = ::GetLastError();
    if (previous != nullptr) ::CloseHandle(previous);
    SetLastError(error);
    return std::nullopt;
  }
  t_previous_tokens.push_back(previous);
  return SavedIdentity{0, 0, {}};
}

void RevertIdentity(const SavedIdentity&) {
  if (t_previous_tokens.empty()) {
    ::RevertToSelf();
    return;
  }
  HANDLE previous = t_previous_tokens.back();
  t_previous_tokens.pop_back();
  if (previous == nullptr) {
    ::RevertToSelf();
    return;
  }
  if (!::SetThreadToken(nullptr, previous)) ::RevertToSelf();
  ::CloseHandle(previous);
}

bool EnablePrivilege(std::string_view name) {
  const std::wstring wide = FromUtf8(name);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, wide.c_str(), &privileges.Privileges[0].Luid)) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return false;
  }
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
    return false;
  }
  const UniqueHandle process_token(raw);
  if (!::AdjustTokenPrivileges(process_token.get(), FALSE, &privileges, 0, nullptr, nullptr)) {
    return false;
  }
  // Success with ERROR_NOT_ALL_ASSIGNED: the account does not hold it.
  if (::GetLastError() == ERROR_NOT_ALL_ASSIGNED) return false;
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace os
