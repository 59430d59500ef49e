// The fault hook of the file primitives (SetFileFaultForTest in file_ops.h),
// asked by each platform's primitives before the system call it names.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace os {

// Whether a hook is set: callers skip forming the path when not.
bool HasFileFault();

// The errno value the hook answers for operation on path; 0 without a hook.
int FileFault(std::string_view operation, const std::string& path);

}  // namespace os
