// Directory creation with the Windows result convention: TRUE on success,
// else FALSE with the last error set (183 when something is already there).
// Thread-safe.
#pragma once

#include <string>

#include "strandel/strandel.h"

namespace os {

BOOL CreateDirectory(const std::wstring& path);

}  // namespace os
