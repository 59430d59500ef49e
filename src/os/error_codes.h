// The mapping from errno values to the Windows codes the engine branches on,
// shared by both platforms' last-error files (the C runtime and the fault
// hook of the tests speak errno on Windows too). Pure; safe on any thread.
#pragma once

#include <functional>

#include "os/last_error.h"

namespace os {

// parent_exists is asked only for ENOENT, which is "file not found" when the
// parent directory exists and "path not found" when it does not.
DWORD MapErrno(int err, ErrnoContext context, const std::function<bool()>& parent_exists);

}  // namespace os
