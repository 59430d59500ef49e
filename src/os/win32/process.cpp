#include "os/process.h"

#include <userenv.h>
#include <windows.h>

#include <algorithm>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/account_token.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

// Windows: CreateProcessW (or CreateProcessAsUserW with the user's logon token
// when that is not the process's own user), the command line joined by the
// runtime's quoting rules, never through cmd.exe; the environment is the
// account's (CreateEnvironmentBlock) and only the three standard handles are
// inherited (PROC_THREAD_ATTRIBUTE_HANDLE_LIST).
namespace os {
namespace {

// The name of "NAME=value"; a leading '=' belongs to the name ("=C:=C:\x").
std::wstring VariableName(const std::wstring& entry) {
  return entry.substr(0, entry.find(L'=', entry.empty() ? 0 : 1));
}

bool SameName(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Variable names ignore case on Windows: an extra entry replaces any spelling.
void SetVariable(std::vector<std::wstring>& env, const std::wstring& entry) {
  const std::wstring name = VariableName(entry);
  for (std::wstring& existing : env) {
    if (SameName(VariableName(existing), name)) {
      existing = entry;
      return;
    }
  }
  env.push_back(entry);
}

// The block CreateProcess takes: sorted by name without regard to case, each
// entry NUL-terminated, one more NUL at the end.
std::wstring EnvironmentBlock(std::vector<std::wstring> env) {
  std::stable_sort(env.begin(), env.end(), [](const std::wstring& a, const std::wstring& b) {
    const std::wstring na = VariableName(a);
    const std::wstring nb = VariableName(b);
    return ::CompareStringOrdinal(na.c_str(), static_cast<int>(na.size()), nb.c_str(),
                                  static_cast<int>(nb.size()), TRUE) == CSTR_LESS_THAN;
  });
  std::wstring block;
  for (const std::wstring& entry : env) {
    block += entry;
    block.push_back(L'\0');
  }
  if (block.empty()) block.push_back(L'\0');
  block.push_back(L'\0');
  return block;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(SystemPath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The file to run; empty with the last error set when there is none. A name
// without a directory is searched in the account's PATH, ".exe" added when it
// has no extension; a path names the file itself (or that file plus ".exe").
std::wstring ResolveProgram(const std::wstring& program, const std::vector<std::wstring>& env) {
  if (program.find_first_of(L"\\/:") != std::wstring::npos) {
    if (IsFile(program)) return program;
    const std::size_t last = program.find_last_of(L"\\/:");
    if (program.find(L'.', last) == std::wstring::npos && IsFile(program + L".exe")) {
      return program + L".exe";
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }
  std::wstring path;
  for (const std::wstring& entry : env) {
    if (SameName(VariableName(entry), L"PATH")) path = entry.substr(5);
  }
  std::wstring found(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::SearchPathW(path.empty() ? nullptr : path.c_str(), program.c_str(), L".exe",
                      static_cast<DWORD>(found.size()), found.data(), nullptr);
    if (length == 0) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return {};
    }
    if (length < found.size()) {
      found.resize(length);
      break;
    }
    found.resize(length);
  }
  if (!IsFile(found)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
  }
  return found;
}

UniqueHandle OpenNul(DWORD access) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  return UniqueHandle(::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                    OPEN_EXISTING, 0, nullptr));
}

// An inheritable copy of one of the caller's standard handles; invalid when
// the caller has none (a service or a windowed host).
UniqueHandle InheritableStd(DWORD which) {
  HANDLE original = ::GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return UniqueHandle();
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), original, ::GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
    return UniqueHandle();
  }
  return UniqueHandle(copy);
}

struct Launch {
  HANDLE user_token = nullptr;  // set: CreateProcessAsUserW
  std::wstring application;
  std::wstring command_line;
  std::wstring environment;
  bool inherit_output = false;
};

// Creates the process: ERROR_SUCCESS, or why it could not (the caller sets it
// as the last error once the handles here are closed).
DWORD CreateChild(Launch& launch, PROCESS_INFORMATION* info) {
  UniqueHandle input = OpenNul(GENERIC_READ);
  UniqueHandle null_output = OpenNul(GENERIC_WRITE);
  if (!input.valid() || !null_output.valid()) return ::GetLastError();
  UniqueHandle output;
  UniqueHandle error;
  if (launch.inherit_output) {
    output = InheritableStd(STD_OUTPUT_HANDLE);
    error = InheritableStd(STD_ERROR_HANDLE);
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input.get();
  startup.StartupInfo.hStdOutput = output.valid() ? output.get() : null_output.get();
  startup.StartupInfo.hStdError = error.valid() ? error.get() : null_output.get();
  // Another user's program belongs on the interactive desktop, not on the
  // service's invisible one, where it could not even start its window code.
  wchar_t desktop[] = L"winsta0\\default";
  if (launch.user_token != nullptr) startup.StartupInfo.lpDesktop = desktop;

  // Only these handles reach the child, whatever else is inheritable now.
  std::vector<HANDLE> handles = {startup.StartupInfo.hStdInput, startup.StartupInfo.hStdOutput};
  if (startup.StartupInfo.hStdError != startup.StartupInfo.hStdOutput) {
    handles.push_back(startup.StartupInfo.hStdError);
  }
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<BYTE> attributes(size);
  startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
  if (!::InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size)) {
    return ::GetLastError();
  }
  struct ListGuard {
    LPPROC_THREAD_ATTRIBUTE_LIST list;
    ~ListGuard() { ::DeleteProcThreadAttributeList(list); }
  } list_guard{startup.lpAttributeList};
  if (!::UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   handles.data(), handles.size() * sizeof(HANDLE), nullptr,
                                   nullptr)) {
    return ::GetLastError();
  }
  const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT;
  BOOL created;
  if (launch.user_token != nullptr) {
    created = ::CreateProcessAsUserW(
        launch.user_token, launch.application.c_str(), launch.command_line.data(), nullptr, nullptr,
        TRUE, flags, launch.environment.data(), nullptr, &startup.StartupInfo, info);
  } else {
    created = ::CreateProcessW(launch.application.c_str(), launch.command_line.data(), nullptr,
                               nullptr, TRUE, flags, launch.environment.data(), nullptr,
                               &startup.StartupInfo, info);
  }
  return created ? ERROR_SUCCESS : ::GetLastError();
}

}  // namespace

std::vector<std::string> AccountEnvironment(const UserToken& token) {
  // Without a token of its own, the process's own user is the only account
  // whose login can be told; another gets the machine's variables only.
  UniqueHandle own;
  HANDLE handle = static_cast<HANDLE>(token.handle.get());
  if (handle == nullptr && token.uid == win32::OwnProcessRid()) {
    own = win32::OpenOwnProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE);
    handle = own.get();
  }
  void* block = nullptr;
  if (!::CreateEnvironmentBlock(&block, handle, FALSE)) return {};
  std::vector<std::string> env;
  for (const wchar_t* entry = static_cast<const wchar_t*>(block); *entry != L'\0';) {
    const std::wstring_view text(entry);
    env.push_back(ToUtf8(text));
    entry += text.size() + 1;
  }
  ::DestroyEnvironmentBlock(block);
  return env;
}

StartResult StartProcess(const UserToken& token, const std::vector<std::string>& argv,
                         const StartOptions& options) {
  StartResult result;
  if (argv.empty() || argv[0].empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return result;
  }
  Launch launch;
  HANDLE user_token = static_cast<HANDLE>(token.handle.get());
  if (user_token != nullptr) {
    const UniqueHandle own = win32::OpenOwnProcessToken(TOKEN_QUERY);
    if (!own.valid()) return result;
    if (!win32::SameUser(user_token, own.get())) launch.user_token = user_token;
  } else if (token.uid != win32::OwnProcessRid()) {
    // Another user without a logon token: nothing to start it as.
    SetLastError(ERROR_ACCESS_DENIED);
    return result;
  }

  std::vector<std::wstring> env;
  for (const std::string& entry : AccountEnvironment(token)) env.push_back(FromUtf8(entry));
  for (const std::string& entry : options.extra_environment) SetVariable(env, FromUtf8(entry));

  std::vector<std::wstring> arguments;
  for (const std::string& arg : argv) arguments.push_back(FromUtf8(arg));
  launch.application = ResolveProgram(arguments[0], env);
  if (launch.application.empty()) return result;
  launch.command_line = JoinCommandLine(arguments);
  launch.environment = EnvironmentBlock(std::move(env));
  launch.inherit_output = options.inherit_output;

  PROCESS_INFORMATION info{};
  if (const DWORD error = CreateChild(launch, &info); error != ERROR_SUCCESS) {
    SetLastError(error);
    return result;
  }
  ::CloseHandle(info.hThread);
  result.started = true;
  if (options.wait) {
    DWORD code = 0;
    if (::WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(info.hProcess, &code)) {
      result.exit_status = static_cast<int>(code);
    }
  }
  ::CloseHandle(info.hProcess);
  return result;
}

}  // namespace os
