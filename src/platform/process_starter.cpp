#include "platform/process_starter.h"

#include <optional>

#include "os/last_error.h"
#include "os/process.h"
#include "os/text.h"
#include "platform/console_user.h"
#include "platform/diag_log.h"

namespace {

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
    DebugTrace("QueryUserToken failed:0x%08X", static_cast<unsigned>(os::GetLastError()));
    return nullptr;
  }
  return std::make_unique<os::UserToken>(std::move(*token));
}

DWORD CWtsApiLoader::GetActiveConsoleSessionId() {
  if (!m_hWtsApiDLL) return os::kNoSession;
  return m_hWtsApiDLL->ActiveConsoleSessionId();
}

CActiveUserImpersonation::CActiveUserImpersonation() {
  if (const auto user = CurrentConsoleUser()) {
    m_bStarted = TRUE;
    m_savedIdentity = os::Impersonate(*user);
  }
}

CActiveUserImpersonation::~CActiveUserImpersonation() {
  if (m_bStarted && m_savedIdentity) os::RevertIdentity(*m_savedIdentity);
}
