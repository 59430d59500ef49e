// Files that hold secrets (the task database keeps share passwords) are made
// readable by their owner only. Thread-safe.
#pragma once

#include <string>

namespace os {

// Creates path empty with mode 0600 when nothing is there. An existing file,
// or anything else already at path, is left exactly as it is. False only when
// nothing was there and the file could not be created.
bool CreatePrivateFileIfMissing(const std::string& path);

}  // namespace os
