// The Windows form of mode 0600: a protected access list, so nothing is
// inherited from the directory, granting full access to the user the calling
// thread acts as, to SYSTEM and to the Administrators (who can take any file
// anyway). Used where the module creates files that hold its own secrets or
// records. One owner thread at a time.
#pragma once

#include <windows.h>
#include <sddl.h>

#include <string>
#include <vector>

#include "os/win32/unique_handle.h"

namespace os {

// The user SID of token; empty with the last error set on failure.
inline std::vector<unsigned char> UserSidOf(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<unsigned char> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const PSID sid = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
  const DWORD length = ::GetLengthSid(sid);
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + length);
}

// The token the calling thread acts with: its impersonation token, if any,
// else the process's.
inline UniqueHandle EffectiveToken() {
  HANDLE token = nullptr;
  if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    return UniqueHandle(token);
  }
  if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return UniqueHandle(token);
  return UniqueHandle();
}

class OwnerOnlySecurity {
 public:
  OwnerOnlySecurity() {
    const UniqueHandle token = EffectiveToken();
    if (!token.valid()) return;
    std::vector<unsigned char> sid = UserSidOf(token.get());
    if (sid.empty()) return;
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(sid.data(), &text)) return;
    const std::wstring sddl =
        L"D:P(A;;FA;;;" + std::wstring(text) + L")(A;;FA;;;SY)(A;;FA;;;BA)";
    ::LocalFree(text);
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                               &descriptor_, nullptr)) {
      descriptor_ = nullptr;
      return;
    }
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~OwnerOnlySecurity() {
    if (descriptor_ != nullptr) ::LocalFree(descriptor_);
  }
  OwnerOnlySecurity(const OwnerOnlySecurity&) = delete;
  OwnerOnlySecurity& operator=(const OwnerOnlySecurity&) = delete;

  // Null when the descriptor could not be built; the last error says why.
  SECURITY_ATTRIBUTES* get() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace os
