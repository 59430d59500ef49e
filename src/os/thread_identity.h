// Who the calling thread acts as on the file system. Impersonation changes the
// file-system identity of one thread only, so these ask for that identity, not
// for the process's.
// Thread-safe.
#pragma once

#include <string>

#include "os/user_ids.h"

namespace os {

// The calling thread's file-system user id.
UserId CurrentFsUid();

// The account name of uid, or the number when the account is unknown.
std::string UserNameOf(UserId uid);

// UserNameOf(CurrentFsUid()).
std::string CurrentUserName();

}  // namespace os
