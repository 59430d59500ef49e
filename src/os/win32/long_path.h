// The form of a path that the wide file calls take at any length: "\\?\C:\x"
// and "\\?\UNC\server\share\x". Such paths are not normalised by the system,
// so "/" becomes "\" and "." and ".." levels are resolved here first.
// Pure; safe on any thread.
#pragma once

#include <string>

namespace os {

std::wstring SystemPath(const std::wstring& path);

}  // namespace os
