#include "os/private_directory.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"
#include "os/win32/private_security.h"
#include "os/win32/unique_handle.h"

// On Windows "writable by nobody else" is read from the access list: no
// entry that applies to the object may grant another account the right to
// write into it, delete it, or change its permissions or owner. Its owner
// may change its permissions at any time, so it must be us (or SYSTEM or the
// Administrators, who own what an elevated process makes). "Symbolic link"
// is any name-surrogate reparse point: a symbolic link, a junction, a mount
// point; the placeholders of cloud folders are reparse points too but lead
// nowhere else.

namespace os {
namespace {

// Rights over the directory itself that would let another account put,
// replace or remove files in it, or take it over.
constexpr ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;
// Rights over the directory that holds it that would let another account
// rename or remove it. Adding entries there is harmless, as in a sticky /tmp.
constexpr ACCESS_MASK kHolderRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

constexpr const wchar_t* kTrustedInstaller =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

class LocalSecurity {
 public:
  ~LocalSecurity() {
    if (descriptor != nullptr) ::LocalFree(descriptor);
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
};

std::string SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return "an unknown account";
  std::string out = ToUtf8(text);
  ::LocalFree(text);
  return out;
}

// The account's name as a person knows it: DOMAIN\name, or the SID.
std::string NameOf(PSID sid) {
  wchar_t name[256];
  wchar_t domain[256];
  DWORD name_size = 256;
  DWORD domain_size = 256;
  SID_NAME_USE use;
  if (!::LookupAccountSidW(nullptr, sid, name, &name_size, domain, &domain_size, &use)) {
    return SidText(sid);
  }
  const std::wstring shown = domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : name;
  return ToUtf8(shown);
}

bool IsTrustedInstaller(PSID sid) { return ToUtf8(kTrustedInstaller) == SidText(sid); }

bool IsSystemOrAdministrators(PSID sid) {
  return ::IsWellKnownSid(sid, WinLocalSystemSid) ||
         ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid);
}

// Why an account other than ours could change the object security describes.
std::string WhyLoose(const LocalSecurity& security, const std::string& shown, PSID me,
                     bool holder) {
  const PSID owner = security.owner;
  const bool owner_ours = owner != nullptr &&
                          (::EqualSid(owner, me) || IsSystemOrAdministrators(owner) ||
                           (holder && IsTrustedInstaller(owner)));
  if (!owner_ours) {
    return shown + " belongs to " + (owner != nullptr ? NameOf(owner) : "nobody") + ", not to " +
           NameOf(me);
  }
  if (security.dacl == nullptr) return shown + " is writable by everyone (it has no access list)";
  const ACCESS_MASK risky = holder ? kHolderRights : kChangeRights;
  for (DWORD i = 0; i < security.dacl->AceCount; ++i) {
    void* raw = nullptr;
    if (!::GetAce(security.dacl, i, &raw)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;  // for children only
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      continue;
    }
    // Both types start alike: header, mask, SID.
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
    if ((ace->Mask & risky) == 0) continue;
    const PSID sid = const_cast<DWORD*>(&ace->SidStart);
    if (::EqualSid(sid, owner) || ::EqualSid(sid, me) || IsSystemOrAdministrators(sid) ||
        ::IsWellKnownSid(sid, WinCreatorOwnerSid) ||
        ::IsWellKnownSid(sid, WinCreatorOwnerRightsSid) || (holder && IsTrustedInstaller(sid))) {
      continue;
    }
    return shown + " is writable by " + NameOf(sid) + " (its access list lets them " +
           (holder ? "remove or rename what it holds)" : "change it)");
  }
  return {};
}

bool ReadSecurity(HANDLE handle, LocalSecurity* out) {
  const DWORD error = ::GetSecurityInfo(handle, SE_FILE_OBJECT,
                                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                        &out->owner, nullptr, &out->dacl, nullptr,
                                        &out->descriptor);
  if (error != ERROR_SUCCESS) os::SetLastError(error);
  return error == ERROR_SUCCESS;
}

// The path as a person wrote it, without the long-path prefix.
std::string Shown(const std::wstring& system_path) {
  if (system_path.starts_with(L"\\\\?\\UNC\\")) return ToUtf8(L"\\\\" + system_path.substr(8));
  if (system_path.starts_with(L"\\\\?\\")) return ToUtf8(system_path.substr(4));
  return ToUtf8(system_path);
}

// The directory that holds system_path, in the same form; empty for the root
// of a volume or share.
std::wstring HolderOf(const std::wstring& system_path) {
  std::size_t root_end = 0;  // the root's length, its final separator included
  if (system_path.starts_with(L"\\\\?\\UNC\\")) {
    const std::size_t server_end = system_path.find(L'\\', 8);
    if (server_end == std::wstring::npos) return {};
    const std::size_t share_end = system_path.find(L'\\', server_end + 1);
    if (share_end == std::wstring::npos) return {};
    root_end = share_end + 1;
  } else if (system_path.starts_with(L"\\\\?\\") && system_path.size() >= 7) {
    root_end = 7;  // \\?\C:\ .
  } else {
    return {};
  }
  if (system_path.size() <= root_end) return {};
  const std::size_t last = system_path.rfind(L'\\');
  return system_path.substr(0, last + 1 == root_end ? root_end : last);
}

bool IsLink(const FILE_ATTRIBUTE_TAG_INFO& tag) {
  return (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag.ReparseTag);
}

UniqueHandle OpenForQuery(const std::wstring& system_path, DWORD flags) {
  return UniqueHandle(::CreateFileW(system_path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | flags,
                                    nullptr));
}

std::string Failure(const std::string& shown) {
  return shown + ": " + DescribeError(::GetLastError());
}

}  // namespace

std::string WhyNotPrivateDirectory(const std::string& path, const std::vector<std::string>& names) {
  std::wstring system_path = SystemPath(FromUtf8(path));
  if (!system_path.starts_with(L"\\\\?\\")) {
    wchar_t full[MAX_PATH];
    const DWORD length = ::GetFullPathNameW(system_path.c_str(), MAX_PATH, full, nullptr);
    if (length > 0 && length < MAX_PATH) system_path = SystemPath(full);
  }
  // SystemPath keeps a volume root's separator and drops any other final one.
  const std::string shown = Shown(system_path);

  const UniqueHandle directory = OpenForQuery(system_path, FILE_FLAG_OPEN_REPARSE_POINT);
  if (!directory.valid()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return Failure(shown);
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(directory.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return Failure(shown);
  }
  if (IsLink(tag)) return shown + " is a symbolic link";
  if ((tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return shown + " is not a directory";

  std::vector<unsigned char> me;
  {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return Failure(shown);
    const UniqueHandle process_token(token);
    me = UserSidOf(process_token.get());
    if (me.empty()) return Failure(shown);
  }

  LocalSecurity own;
  if (!ReadSecurity(directory.get(), &own)) return Failure(shown);
  if (std::string why = WhyLoose(own, shown, me.data(), false); !why.empty()) return why;

  // The directory itself is no link, so the holder its path names is the
  // one that really holds it.
  if (const std::wstring holder_path = HolderOf(system_path); !holder_path.empty()) {
    const std::string holder_shown = Shown(holder_path) + ", which holds " + shown + ",";
    const UniqueHandle holder = OpenForQuery(holder_path, 0);
    LocalSecurity held;
    if (!holder.valid() || !ReadSecurity(holder.get(), &held)) return Failure(Shown(holder_path));
    if (std::string why = WhyLoose(held, holder_shown, me.data(), true); !why.empty()) return why;
  }

  for (const std::string& name : names) {
    const std::wstring file_path = system_path + (system_path.ends_with(L'\\') ? L"" : L"\\") +
                                   FromUtf8(name);
    const UniqueHandle file = OpenForQuery(file_path, FILE_FLAG_OPEN_REPARSE_POINT);
    FILE_ATTRIBUTE_TAG_INFO file_tag{};
    if (file.valid() &&
        ::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &file_tag,
                                       sizeof(file_tag)) &&
        IsLink(file_tag)) {
      return Shown(file_path) + " is a symbolic link";
    }
  }
  return {};
}

}  // namespace os
