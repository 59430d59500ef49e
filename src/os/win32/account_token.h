// What the account services read from a logon token: its user's SID, the
// number the module uses for that user, and the account's name.
//
// A Windows account has no uid; the module's UserId for it is the relative id
// (the last sub-authority) of the user's SID, which is unique among the
// accounts of one machine or domain and stable for the life of the account.
// Pure readers of the token; safe on any thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "os/text.h"
#include "os/user_ids.h"
#include "os/win32/unique_handle.h"

namespace os::win32 {

// The TOKEN_USER of token (its SID points into the buffer); empty with the
// last error set when it cannot be read.
inline std::vector<BYTE> TokenUserBuffer(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  return buffer;
}

inline PSID SidOf(std::vector<BYTE>& token_user) {
  return token_user.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(token_user.data())->User.Sid;
}

inline UserId RidOfSid(PSID sid) {
  if (sid == nullptr || !::IsValidSid(sid)) return kNoUserId;
  const UCHAR count = *::GetSidSubAuthorityCount(sid);
  if (count == 0) return kNoUserId;
  return static_cast<UserId>(*::GetSidSubAuthority(sid, count - 1));
}

inline UserId RidOfToken(HANDLE token) {
  std::vector<BYTE> user = TokenUserBuffer(token);
  return RidOfSid(SidOf(user));
}

// The account name (without its domain) of sid; empty when it has none.
inline std::string AccountNameOfSid(PSID sid) {
  if (sid == nullptr) return {};
  DWORD name_size = 0;
  DWORD domain_size = 0;
  SID_NAME_USE use;
  ::LookupAccountSidW(nullptr, sid, nullptr, &name_size, nullptr, &domain_size, &use);
  if (name_size == 0) return {};
  std::wstring name(name_size, L'\0');
  std::wstring domain(domain_size + 1, L'\0');
  if (!::LookupAccountSidW(nullptr, sid, name.data(), &name_size, domain.data(), &domain_size,
                           &use)) {
    return {};
  }
  name.resize(name_size);
  return ToUtf8(name);
}

// The process's own token, opened for access; invalid with the last error set.
inline UniqueHandle OpenOwnProcessToken(DWORD access) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), access, &token)) return UniqueHandle();
  return UniqueHandle(token);
}

inline UserId OwnProcessRid() {
  const UniqueHandle token = OpenOwnProcessToken(TOKEN_QUERY);
  return token.valid() ? RidOfToken(token.get()) : kNoUserId;
}

// Whether the two tokens stand for the same user.
inline bool SameUser(HANDLE a, HANDLE b) {
  std::vector<BYTE> ua = TokenUserBuffer(a);
  std::vector<BYTE> ub = TokenUserBuffer(b);
  return !ua.empty() && !ub.empty() && ::EqualSid(SidOf(ua), SidOf(ub));
}

}  // namespace os::win32
