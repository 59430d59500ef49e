// Acting for the console user: starting a command as that user, loading the
// session service, and impersonating the user on one thread.
//
// The console user is the platform layer's: the module's own user when it
// does not run as root, else the user of the active session of seat0 (see
// os/session.h). A "token" is an os::UserToken; the handles of the design are
// owning pointers to one, null for none.
//
// CProcessStarter and CWtsApiLoader hold no shared state and may be used on
// any thread. CActiveUserImpersonation acts for the console user of
// platform/console_user.h, looked up as it is constructed, on the thread that
// constructs it, which must also destroy it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/impersonation.h"
#include "os/session.h"
#include "strandel/strandel.h"

using UserTokenHandle = std::unique_ptr<os::UserToken>;

class CProcessStarter {
 public:
  // Starts command_line (split into arguments, never given to a shell) as the
  // console user with that user's account environment; bWait blocks until the
  // program ends. Without bShowWindow the program's output is discarded.
  // TRUE when the program was started; its exit code is not looked at.
  static BOOL Run(const std::wstring& strCommandLine, BOOL bShowWindow, BOOL bWait);
  // The same, with extra "NAME=value" variables: the way to hand the program
  // a secret without it appearing in any process's arguments or in the trace.
  static BOOL Run(const std::wstring& strCommandLine, BOOL bShowWindow, BOOL bWait,
                  const std::vector<std::wstring>& extraEnvironment);

  static UserTokenHandle GetCurrentUserToken();
  static BOOL FindActiveSessionId(DWORD& dwSessionId, BOOL bTrace);
};

// TRUE when the capabilities standing for the privilege are effective on the
// calling thread now (os::EnablePrivilege).
BOOL EnablePrivilege(const wchar_t* szPrivilege);

class CWtsApiLoader {
 public:
  CWtsApiLoader();
  ~CWtsApiLoader();
  CWtsApiLoader(const CWtsApiLoader&) = delete;
  CWtsApiLoader& operator=(const CWtsApiLoader&) = delete;

  UserTokenHandle QueryUserToken(DWORD dwSessionId);
  // os::kNoSession (0xFFFFFFFF) when the call is unavailable or nobody is at
  // the console.
  DWORD GetActiveConsoleSessionId();

 private:
  std::unique_ptr<os::SessionLibrary> m_hWtsApiDLL;  // null when loading failed
};

class CActiveUserImpersonation {
 public:
  CActiveUserImpersonation();
  ~CActiveUserImpersonation();
  CActiveUserImpersonation(const CActiveUserImpersonation&) = delete;
  CActiveUserImpersonation& operator=(const CActiveUserImpersonation&) = delete;

 private:
  BOOL m_bStarted = FALSE;
  std::optional<os::SavedIdentity> m_savedIdentity;  // what to go back to
};
