// Who the calling thread acts as on the file system. Impersonation changes the
// file-system identity of one thread only, so these ask for that identity, not
// for the process's.
// Thread-safe.
#pragma once

#include <sys/types.h>

#include <string>

namespace os {

// The calling thread's file-system user id.
uid_t CurrentFsUid();

// The account name of uid, or the number when the account is unknown.
std::string UserNameOf(uid_t uid);

// UserNameOf(CurrentFsUid()).
std::string CurrentUserName();

}  // namespace os
