// Access tests that honour the calling thread's file-system identity (which
// impersonation changes), unlike access(2). Thread-safe.
#pragma once

#include <string>

namespace os {

enum class Access { kRead, kReadWrite };

// For a directory, kReadWrite also asks for the right to create entries in it.
bool CanAccess(const std::string& path, Access access);

}  // namespace os
