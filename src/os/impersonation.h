// Acting as another user on the file system, on the calling thread only.
//
// The thread's file-system user and group and its supplementary groups are
// switched with the raw setfsuid, setfsgid and setgroups system calls: the
// kernel keeps these per thread, whereas glibc's setgroups (like its setuid)
// changes every thread of the process. While impersonating, the thread has
// the user's file permissions and no more (setfsuid away from 0 drops the
// thread's file capabilities). Other threads are not affected.
//
// Thread contract: an identity saved by Impersonate must be restored on the
// same thread. Nesting works; each restore goes back one level.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "os/session.h"

namespace os {

struct SavedIdentity {
  UserId fsuid;
  GroupId fsgid;
  std::vector<GroupId> groups;
};

// Switches the calling thread to token's user. On success returns what to
// restore; on failure changes nothing and sets the last error.
std::optional<SavedIdentity> Impersonate(const UserToken& token);
void RevertIdentity(const SavedIdentity& saved);

// The calling thread's file-system group and supplementary groups.
GroupId CurrentFsGid();
std::vector<GroupId> CurrentGroups();

// Raises the capabilities that stand for a Windows privilege into the calling
// thread's effective set: "SeTcbPrivilege" and "SeImpersonatePrivilege" (acting
// as other users), "SeBackupPrivilege", "SeRestorePrivilege". True only when
// all of them are effective afterwards, so a privilege the account does not
// hold counts as failure (last error 1300); an unknown name sets 1313.
bool EnablePrivilege(std::string_view name);

}  // namespace os
