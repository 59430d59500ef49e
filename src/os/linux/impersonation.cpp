#include "os/impersonation.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/last_error.h"
#include "os/thread_identity.h"

namespace os {
namespace {

constexpr DWORD kErrorNotAllAssigned = 1300;
constexpr DWORD kErrorNoSuchPrivilege = 1313;

// Each call answers the previous id; an id that can never be valid changes
// nothing, which is how the current one is read.
uid_t RawSetFsUid(uid_t uid) { return static_cast<uid_t>(::syscall(SYS_setfsuid, uid)); }
gid_t RawSetFsGid(gid_t gid) { return static_cast<gid_t>(::syscall(SYS_setfsgid, gid)); }

bool RawSetGroups(const std::vector<gid_t>& groups) {
  return ::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) == 0;
}

bool SameGroups(std::vector<gid_t> a, std::vector<gid_t> b) {
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

bool SetFsIds(uid_t uid, gid_t gid) {
  RawSetFsGid(gid);
  RawSetFsUid(uid);
  return CurrentFsUid() == uid && CurrentFsGid() == gid;
}

}  // namespace

gid_t CurrentFsGid() { return RawSetFsGid(static_cast<gid_t>(-1)); }

std::vector<gid_t> CurrentGroups() {
  // The raw call again: it reads this thread's credentials.
  for (;;) {
    const long n = ::syscall(SYS_getgroups, 0, nullptr);
    if (n < 0) return {};
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const long got = ::syscall(SYS_getgroups, n, groups.data());
    if (got == n) return groups;
  }
}

std::optional<SavedIdentity> Impersonate(const UserToken& token) {
  SavedIdentity saved{CurrentFsUid(), CurrentFsGid(), CurrentGroups()};
  // Groups first, while the thread still acts as itself. A process that may
  // not change them (not root) can only act as its own user anyway, and keeps
  // the groups it was started with.
  bool change_groups = !SameGroups(saved.groups, token.groups);
  if (change_groups && !RawSetGroups(token.groups)) {
    if (errno != EPERM || token.uid != saved.fsuid) {
      ErrorFromErrno(errno, token.name);
      return std::nullopt;
    }
    change_groups = false;
  }
  if (!SetFsIds(token.uid, token.gid)) {
    SetFsIds(saved.fsuid, saved.fsgid);
    if (change_groups) RawSetGroups(saved.groups);
    SetLastError(ERROR_ACCESS_DENIED);
    return std::nullopt;
  }
  return saved;
}

void RevertIdentity(const SavedIdentity& saved) {
  // Back to our own ids first, so that the thread may set its groups again.
  SetFsIds(saved.fsuid, saved.fsgid);
  if (!SameGroups(CurrentGroups(), saved.groups)) RawSetGroups(saved.groups);
}

bool EnablePrivilege(std::string_view name) {
  std::vector<int> caps;
  if (name == "SeTcbPrivilege" || name == "SeImpersonatePrivilege") {
    caps = {CAP_SETUID, CAP_SETGID};
  } else if (name == "SeBackupPrivilege") {
    caps = {CAP_DAC_READ_SEARCH};
  } else if (name == "SeRestorePrivilege") {
    caps = {CAP_DAC_OVERRIDE, CAP_FOWNER, CAP_CHOWN};
  } else {
    SetLastError(kErrorNoSuchPrivilege);
    return false;
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) != 0) {
    ErrorFromErrno(errno, "");
    return false;
  }
  for (int cap : caps) {
    const auto bit = 1u << (cap % 32);
    if ((data[cap / 32].permitted & bit) == 0) {
      SetLastError(kErrorNotAllAssigned);
      return false;
    }
    data[cap / 32].effective |= bit;
  }
  if (::syscall(SYS_capset, &header, data) != 0) {
    ErrorFromErrno(errno, "");
    return false;
  }
  SetLastError(ERROR_SUCCESS);
  return true;
}

}  // namespace os
