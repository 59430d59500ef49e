// Creating a file that must be new: nothing already at the path (a user's
// file, a planted link, a dangling one) is ever opened, truncated or followed.
// Thread-safe.
#pragma once

#include <string>

#include "strandel/strandel.h"

namespace os {

// Creates path as an empty regular file with mode 0600 and closes it again.
// FALSE with the last error set otherwise: ERROR_FILE_EXISTS when anything,
// a link included, is already there.
BOOL CreateNewFile(const std::wstring& path);

}  // namespace os
