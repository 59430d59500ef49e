// Names of the module's own short-lived files in a user's directory: copies
// on their way to the target's name, and the probes that test whether a
// destination is writable. They share one prefix, which the watcher never
// reports, and a random suffix, so no user file is ever taken for one.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace os {

inline constexpr const wchar_t* kTempNamePrefix = L".strandel-part-";

// The name (bytes, as on disk) is one of the module's short-lived files.
bool IsTempName(std::string_view name);
// The name is exactly one TempName makes; others that merely begin with the
// prefix are somebody else's.
bool IsMadeTempName(std::string_view name);

// A fresh such name (bytes): the prefix and 16 random hexadecimal digits.
// Nothing is created.
std::string TempName();
// The same inside directory.
std::wstring TempNameIn(const std::wstring& directory);

}  // namespace os
