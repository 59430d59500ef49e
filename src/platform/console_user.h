// The console user as everything that acts for that user sees it (the
// impersonation of the worker threads, the Trash helper): one process-wide
// cache, so that they never disagree about who is at the console.
//
// The seat is asked on every call, which costs a small file read once the
// session service is loaded; the account database only when the seat's user
// changed. A user switch at the console therefore counts from the next call.
// The session service, once loaded, stays loaded for the life of the process.
//
// Thread-safe.
#pragma once

#include <memory>

#include "os/session.h"

// The console user now; null, with the last error set, when there is none.
std::shared_ptr<const os::UserToken> CurrentConsoleUser();

// Forgets the cached user and the session service, so that a test can change
// who is logged on and how that is found out.
void ForgetConsoleUserForTest();
