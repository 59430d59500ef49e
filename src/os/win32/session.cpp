#include "os/session.h"

#include <userenv.h>
#include <windows.h>
#include <wtsapi32.h>

#include <mutex>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/account_token.h"

// Windows: the sessions are terminal services' sessions (wtsapi32.dll, loaded
// at run time), a user is the logon token of a session, and its UserId is the
// relative id of its SID (see account_token.h).
namespace os {
namespace {

constexpr wchar_t kDefaultLibrary[] = L"wtsapi32.dll";

using EnumerateSessionsFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
using QueryUserTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);
using FreeMemoryFn = void(WINAPI*)(PVOID);
using QuerySessionInformationFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);

std::mutex g_seam_mutex;
SessionSource& TestSource() {
  static auto* source = new SessionSource;  // leaked: asked during exit
  return *source;
}
std::wstring& LibraryName() {
  static auto* name = new std::wstring(kDefaultLibrary);
  return *name;
}

SessionSource CurrentTestSource() {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  return TestSource();
}

std::wstring CurrentLibraryName() {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  return LibraryName();
}

HMODULE LoadSessionLibrary() {
  const std::wstring name = CurrentLibraryName();
  // A bare name is taken from system32 only, never from the host's directory.
  const bool bare = name.find_first_of(L"\\/:") == std::wstring::npos;
  return ::LoadLibraryExW(name.c_str(), nullptr, bare ? LOAD_LIBRARY_SEARCH_SYSTEM32 : 0);
}

template <typename Fn>
Fn Entry(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
                : nullptr;
}

DWORD OwnSessionId() {
  DWORD id = kNoSession;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &id)) return kNoSession;
  return id;
}

// Takes ownership of token (closed with the last copy of the result).
std::optional<UserToken> TokenFromHandle(HANDLE handle) {
  std::shared_ptr<void> owned(handle, [](void* h) { ::CloseHandle(h); });
  std::vector<BYTE> user = win32::TokenUserBuffer(handle);
  if (user.empty()) return std::nullopt;
  UserToken token;
  token.handle = std::move(owned);
  token.uid = win32::RidOfSid(win32::SidOf(user));
  token.gid = 0;
  token.name = win32::AccountNameOfSid(win32::SidOf(user));
  DWORD size = 0;
  ::GetUserProfileDirectoryW(handle, nullptr, &size);
  if (size > 0) {
    std::wstring home(size, L'\0');
    if (::GetUserProfileDirectoryW(handle, home.data(), &size)) {
      home.resize(home.find(L'\0') == std::wstring::npos ? home.size() : home.find(L'\0'));
      token.home = ToUtf8(home);
    }
  }
  return token;
}

// A primary token of the process's own user.
std::optional<UserToken> OwnToken() {
  const UniqueHandle own = win32::OpenOwnProcessToken(TOKEN_DUPLICATE | TOKEN_QUERY);
  if (!own.valid()) return std::nullopt;
  HANDLE duplicate = nullptr;
  if (!::DuplicateTokenEx(own.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                          &duplicate)) {
    return std::nullopt;
  }
  return TokenFromHandle(duplicate);
}

UserId RidOfAccountName(const std::wstring& domain, const std::wstring& user) {
  const std::wstring account = domain.empty() ? user : domain + L"\\" + user;
  DWORD sid_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use;
  ::LookupAccountNameW(nullptr, account.c_str(), nullptr, &sid_size, nullptr, &domain_size, &use);
  if (sid_size == 0) return kNoUserId;
  std::vector<BYTE> sid(sid_size);
  std::wstring found_domain(domain_size + 1, L'\0');
  if (!::LookupAccountNameW(nullptr, account.c_str(), sid.data(), &sid_size, found_domain.data(),
                            &domain_size, &use)) {
    return kNoUserId;
  }
  return win32::RidOfSid(sid.data());
}

std::wstring SessionText(HMODULE module, DWORD id, WTS_INFO_CLASS what) {
  const auto query = Entry<QuerySessionInformationFn>(module, "WTSQuerySessionInformationW");
  const auto free_memory = Entry<FreeMemoryFn>(module, "WTSFreeMemory");
  if (query == nullptr || free_memory == nullptr) return {};
  LPWSTR text = nullptr;
  DWORD bytes = 0;
  if (!query(WTS_CURRENT_SERVER_HANDLE, id, what, &text, &bytes) || text == nullptr) return {};
  std::wstring result(text);
  free_memory(text);
  return result;
}

// The user of a session: its token when this process may have it (LocalSystem),
// the process's own user for its own session, else the account of the name
// terminal services report for it.
UserId SessionUid(HMODULE module, DWORD id, DWORD own_session) {
  if (id == own_session) return win32::OwnProcessRid();
  const auto query_token = Entry<QueryUserTokenFn>(module, "WTSQueryUserToken");
  HANDLE handle = nullptr;
  if (query_token != nullptr && query_token(id, &handle)) {
    const UniqueHandle token(handle);
    return win32::RidOfToken(token.get());
  }
  const std::wstring user = SessionText(module, id, WTSUserName);
  if (user.empty()) return kNoUserId;
  return RidOfAccountName(SessionText(module, id, WTSDomainName), user);
}

std::optional<std::vector<Session>> RealSessions(HMODULE module) {
  const auto enumerate = Entry<EnumerateSessionsFn>(module, "WTSEnumerateSessionsW");
  const auto free_memory = Entry<FreeMemoryFn>(module, "WTSFreeMemory");
  if (enumerate == nullptr || free_memory == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return std::nullopt;
  }
  PWTS_SESSION_INFOW info = nullptr;
  DWORD count = 0;
  if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return std::nullopt;
  const DWORD own_session = OwnSessionId();
  std::vector<Session> sessions;
  for (DWORD i = 0; i < count; ++i) {
    Session session;
    session.id = info[i].SessionId;
    session.active = info[i].State == WTSActive;
    session.uid = SessionUid(module, session.id, own_session);
    sessions.push_back(session);
  }
  if (info != nullptr) free_memory(info);
  // Windows always lists session 0; an empty list is a service that does not
  // keep sessions (Wine's), where the process's own session is the only one.
  if (sessions.empty() && own_session != kNoSession) {
    sessions.push_back({own_session, true, win32::OwnProcessRid()});
  }
  return sessions;
}

std::optional<UserToken> RealQueryUserToken(HMODULE module, uint32_t session_id) {
  const auto query_token = Entry<QueryUserTokenFn>(module, "WTSQueryUserToken");
  if (query_token == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return std::nullopt;
  }
  HANDLE handle = nullptr;
  if (query_token(session_id, &handle)) return TokenFromHandle(handle);
  // WTSQueryUserToken is for LocalSystem only (it needs SeTcbPrivilege). A
  // host run by a user can still act for the user of its own session: itself.
  const DWORD error = ::GetLastError();
  if ((error == ERROR_PRIVILEGE_NOT_HELD || error == ERROR_ACCESS_DENIED) &&
      session_id == OwnSessionId()) {
    return OwnToken();
  }
  return std::nullopt;
}

// The physical console's session when it is active, else the first active one.
const Session* PickActive(const std::vector<Session>& sessions) {
  const DWORD console = ::WTSGetActiveConsoleSessionId();
  const Session* first = nullptr;
  for (const Session& s : sessions) {
    if (!s.active) continue;
    if (s.id == console) return &s;
    if (first == nullptr) first = &s;
  }
  return first;
}

}  // namespace

std::optional<UserToken> TokenForUid(UserId uid) {
  if (uid != kNoUserId && uid == win32::OwnProcessRid()) return OwnToken();
  // Another user: only a session's logon token can stand for it, and only
  // LocalSystem may have one. The real service is asked even under a test's
  // session source, whose users are numbers without tokens.
  if (uid != kNoUserId) {
    if (HMODULE module = LoadSessionLibrary()) {
      std::optional<UserToken> found;
      if (const auto sessions = RealSessions(module)) {
        for (const Session& s : *sessions) {
          if (s.uid != uid) continue;
          found = RealQueryUserToken(module, s.id);
          if (found && found->uid == uid) break;
          found.reset();
        }
      }
      ::FreeLibrary(module);
      if (found) return found;
    }
  }
  SetLastError(ERROR_NONE_MAPPED);
  return std::nullopt;
}

// Loading wtsapi32 maps a small system DLL; nothing is asked of terminal
// services until a question comes.
SessionLibrary::SessionLibrary() {
  if (CurrentTestSource()) {
    loaded_ = true;
    return;
  }
  needs_library_ = true;
  HMODULE module = LoadSessionLibrary();
  if (module == nullptr) return;  // the last error says why
  handle_ = module;
  loaded_ = true;
  // active_ stands for "every call the module needs is there".
  auto* enumerate = Entry<EnumerateSessionsFn>(module, "WTSEnumerateSessionsW");
  if (enumerate != nullptr && Entry<QueryUserTokenFn>(module, "WTSQueryUserToken") != nullptr &&
      Entry<FreeMemoryFn>(module, "WTSFreeMemory") != nullptr) {
    active_ = reinterpret_cast<void*>(enumerate);
  }
}

SessionLibrary::~SessionLibrary() {
  if (handle_ != nullptr) ::FreeLibrary(static_cast<HMODULE>(handle_));
}

std::optional<std::vector<Session>> SessionLibrary::EnumerateSessions() const {
  if (SessionSource source = CurrentTestSource()) return source();
  if (!loaded_) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return std::nullopt;
  }
  if (!has_session_calls()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return std::nullopt;
  }
  return RealSessions(static_cast<HMODULE>(handle_));
}

uint32_t SessionLibrary::ActiveConsoleSessionId() const {
  if (!has_session_calls()) return kNoSession;
  const auto sessions = EnumerateSessions();
  if (!sessions) return kNoSession;
  const Session* active = PickActive(*sessions);
  return active ? active->id : kNoSession;
}

std::optional<UserToken> SessionLibrary::QueryUserToken(uint32_t session_id) const {
  if (CurrentTestSource()) {
    if (const auto sessions = EnumerateSessions()) {
      for (const Session& s : *sessions) {
        if (s.id == session_id && s.active) return TokenForUid(s.uid);
      }
    }
    SetLastError(ERROR_NO_TOKEN);
    return std::nullopt;
  }
  if (!loaded_) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return std::nullopt;
  }
  if (!has_session_calls()) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return std::nullopt;
  }
  return RealQueryUserToken(static_cast<HMODULE>(handle_), session_id);
}

std::optional<UserId> SessionLibrary::ActiveConsoleUid() const {
  const auto sessions = EnumerateSessions();
  if (!sessions) return std::nullopt;
  const Session* active = PickActive(*sessions);
  if (active == nullptr) {
    SetLastError(ERROR_NO_TOKEN);
    return std::nullopt;
  }
  if (active->uid == kNoUserId) {
    SetLastError(ERROR_NONE_MAPPED);
    return std::nullopt;
  }
  return active->uid;
}

void SetSessionSourceForTest(SessionSource source) {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  TestSource() = std::move(source);
}

void SetSessionLibraryNameForTest(std::string name) {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  LibraryName() = name.empty() ? std::wstring(kDefaultLibrary) : FromUtf8(name);
}

}  // namespace os
