#include "os/thread_identity.h"

#include <windows.h>

#include "os/win32/account_token.h"

// Windows: the thread's identity is its impersonation token when it has one,
// else the process's token; the UserId is the RID of the token's user.
namespace os {
namespace {

// The token the calling thread acts with; invalid when it cannot be opened.
UniqueHandle EffectiveToken() {
  HANDLE token = nullptr;
  // Opened as the process: an impersonated user may lack access to it.
  if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
    return UniqueHandle(token);
  return win32::OpenOwnProcessToken(TOKEN_QUERY);
}

}  // namespace

UserId CurrentFsUid() {
  const UniqueHandle token = EffectiveToken();
  return token.valid() ? win32::RidOfToken(token.get()) : kNoUserId;
}

std::string UserNameOf(UserId uid) {
  // A RID names an account only together with its domain; the accounts known
  // for sure are the calling thread's and the process's.
  if (uid != kNoUserId) {
    for (const UniqueHandle& token : {EffectiveToken(), win32::OpenOwnProcessToken(TOKEN_QUERY)}) {
      if (!token.valid()) continue;
      std::vector<BYTE> user = win32::TokenUserBuffer(token.get());
      if (win32::RidOfSid(win32::SidOf(user)) != uid) continue;
      std::string name = win32::AccountNameOfSid(win32::SidOf(user));
      if (!name.empty()) return name;
    }
  }
  return std::to_string(uid);
}

std::string CurrentUserName() { return UserNameOf(CurrentFsUid()); }

}  // namespace os
