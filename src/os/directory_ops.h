// Directory creation with the Windows result convention: TRUE on success,
// else FALSE with the last error set (183 when something is already there).
// Thread-safe.
#pragma once

#include <string>

#include "strandel/strandel.h"

namespace os {

BOOL CreateDirectory(const std::wstring& path);

// Creates path as a copy of the directory model: its mode (never set-user-id)
// and, for a root module, its owner and group. Without a model directory it
// is a plain creation.
BOOL CreateDirectoryLike(const std::wstring& path, const std::wstring& model);

}  // namespace os
