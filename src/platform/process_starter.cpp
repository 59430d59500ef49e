#include "platform/process_starter.h"

#include <chrono>
#include <mutex>
#include <optional>

#include "os/clock.h"
#include "os/last_error.h"
#include "os/process.h"
#include "os/text.h"
#include "platform/diag_log.h"

namespace {

std::mutex g_cached_token_mutex;
std::shared_ptr<const os::UserToken> g_cached_token;  // filled once, never refreshed

std::shared_ptr<const os::UserToken> CachedToken() {
  std::lock_guard<std::mutex> guard(g_cached_token_mutex);
  return g_cached_token;
}

const wchar_t* TrueFalse(bool value) { return value ? L"TRUE" : L"FALSE"; }

}  // namespace

BOOL EnablePrivilege(const wchar_t* szPrivilege) {
  if (szPrivilege == nullptr) return FALSE;
  return os::EnablePrivilege(os::ToUtf8(szPrivilege)) ? TRUE : FALSE;
}

BOOL CProcessStarter::FindActiveSessionId(DWORD& dwSessionId, BOOL bTrace) {
  if (bTrace) DebugTraceW(L">> CProcessStarter::FindActiveSessionId()");
  bool found = false;
  dwSessionId = os::kNoSession;
  os::SessionLibrary library;
  const auto sessions = library.EnumerateSessions();
  if (!sessions) {
    if (bTrace) DebugTraceW(L"break 0 CProcessStarter::FindActiveSessionId()");
  } else {
    for (const os::Session& session : *sessions) {
      if (session.active) {
        dwSessionId = session.id;
        found = true;
        break;
      }
    }
    if (!found && bTrace) DebugTraceW(L"break 1 CProcessStarter::FindActiveSessionId()");
  }
  if (bTrace) {
    DebugTraceW(
        L"<< CProcessStarter::FindActiveSessionId(), bFindActiveSession = [%ls], dwSessionId = %d",
        TrueFalse(found), static_cast<int>(dwSessionId));
  }
  return found ? TRUE : FALSE;
}

UserTokenHandle CProcessStarter::GetCurrentUserToken() {
  DebugTraceW(L">> CProcessStarter::GetCurrentUserToken()");
  UserTokenHandle current;
  UserTokenHandle primary;
  DWORD session_id = os::kNoSession;
  if (!FindActiveSessionId(session_id, TRUE)) {
    DebugTraceW(L"break 0 CProcessStarter::GetCurrentUserToken()");
  } else {
    os::SessionLibrary library;
    if (auto token = library.QueryUserToken(session_id)) {
      current = std::make_unique<os::UserToken>(std::move(*token));
      primary = std::make_unique<os::UserToken>(*current);
    } else {
      DebugTraceW(L"break 2 CProcessStarter::GetCurrentUserToken()");
    }
  }
  DebugTraceW(
      L"<< CProcessStarter::GetCurrentUserToken(), hCurrentToken = 0x%p, hPrimaryToken = 0x%p",
      static_cast<void*>(current.get()), static_cast<void*>(primary.get()));
  return primary;
}

BOOL CProcessStarter::Run(const std::wstring& strCommandLine, BOOL bShowWindow, BOOL bWait) {
  return Run(strCommandLine, bShowWindow, bWait, {});
}

BOOL CProcessStarter::Run(const std::wstring& strCommandLine, BOOL bShowWindow, BOOL bWait,
                          const std::vector<std::wstring>& extraEnvironment) {
  EnablePrivilege(L"SeTcbPrivilege");
  DebugTraceW(L">> CProcessStarter::Run");
  bool started = false;
  UserTokenHandle primary = GetCurrentUserToken();
  if (!primary) {
    DebugTraceW(L"break 1 CProcessStarter::Run");
  } else {
    DebugTraceW(L"command = [%ls]", strCommandLine.c_str());
    std::vector<std::string> argv;
    for (const std::wstring& arg : os::SplitCommandLine(strCommandLine)) {
      argv.push_back(os::ToUtf8(arg));
    }
    os::StartOptions options;
    for (const std::wstring& entry : extraEnvironment) {
      options.extra_environment.push_back(os::ToUtf8(entry));
    }
    options.inherit_output = bShowWindow != FALSE;
    options.wait = bWait != FALSE;
    started = os::StartProcess(*primary, argv, options).started;
    DebugTraceW(L"CreateProcessAsUserA = %ls", TrueFalse(started));
  }
  DebugTraceW(L"<< CProcessStarter::Run, bRc = [%ls]", TrueFalse(started));
  return started ? TRUE : FALSE;
}

CWtsApiLoader::CWtsApiLoader() {
  auto library = std::make_unique<os::SessionLibrary>();
  if (library->loaded()) m_hWtsApiDLL = std::move(library);
}

CWtsApiLoader::~CWtsApiLoader() = default;

UserTokenHandle CWtsApiLoader::QueryUserToken(DWORD dwSessionId) {
  if (!m_hWtsApiDLL) {
    DebugTrace("m_hWtsApiDLL is null");
    return nullptr;
  }
  if (!m_hWtsApiDLL->has_session_calls()) {
    DebugTrace("get WTSQueryUserToken failed");
    return nullptr;
  }
  auto token = m_hWtsApiDLL->QueryUserToken(dwSessionId);
  if (!token) {
    DebugTrace("QueryUserToken failed:0x%08X", os::GetLastError());
    return nullptr;
  }
  return std::make_unique<os::UserToken>(std::move(*token));
}

DWORD CWtsApiLoader::GetActiveConsoleSessionId() {
  if (!m_hWtsApiDLL) return os::kNoSession;
  return m_hWtsApiDLL->ActiveConsoleSessionId();
}

namespace {

// With nobody logged in, asking the session manager for every change would
// load its library again and again on the sync path; a user who logs in is
// noticed within this time instead.
constexpr auto kSessionRequeryInterval = std::chrono::seconds(5);
std::mutex g_session_query_mutex;
std::optional<os::TimePoint> g_last_session_query;  // guarded by g_session_query_mutex

bool SessionQueryDue() {
  std::lock_guard<std::mutex> guard(g_session_query_mutex);
  const os::TimePoint now = os::GetClock().Now();
  if (g_last_session_query && now - *g_last_session_query < kSessionRequeryInterval) return false;
  g_last_session_query = now;
  return true;
}

}  // namespace

CActiveUserImpersonation::CActiveUserImpersonation() {
  std::shared_ptr<const os::UserToken> token = CachedToken();
  if (!token && SessionQueryDue()) {
    // Queried outside the lock: two threads may both ask, and one answer stays.
    os::SessionLibrary library;
    if (library.loaded() && library.has_session_calls()) {
      if (auto queried = library.QueryUserToken(library.ActiveConsoleSessionId())) {
        std::lock_guard<std::mutex> guard(g_cached_token_mutex);
        if (!g_cached_token) g_cached_token = std::make_shared<os::UserToken>(std::move(*queried));
        token = g_cached_token;
      }
    }
  }
  if (token) {
    m_bStarted = TRUE;
    m_savedIdentity = os::Impersonate(*token);
  }
}

CActiveUserImpersonation::~CActiveUserImpersonation() {
  if (m_bStarted && m_savedIdentity) os::RevertIdentity(*m_savedIdentity);
}

void CActiveUserImpersonation::ResetCachedTokenForTest() {
  {
    std::lock_guard<std::mutex> guard(g_session_query_mutex);
    g_last_session_query.reset();
  }
  std::lock_guard<std::mutex> guard(g_cached_token_mutex);
  g_cached_token.reset();
}
