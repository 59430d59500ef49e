// The calling thread's last error, with the Windows codes the engine branches
// on. ErrorFromErrno is the one place where errno becomes such a code; it also
// remembers the path that failed, for the trace.
// Thread-local: each thread sees only its own last error.
#pragma once

#include <string>
#include <string_view>

#include "strandel/strandel.h"

// The Windows values, under the names Windows gives them; there they come
// from <windows.h>.
#ifndef _WIN32
inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_SHARING_VIOLATION = 32;
inline constexpr DWORD ERROR_FILE_EXISTS = 80;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_DISK_FULL = 112;
inline constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_GEN_FAILURE = 31;
inline constexpr DWORD ERROR_NOT_SAME_DEVICE = 17;
inline constexpr DWORD ERROR_NOT_SUPPORTED = 50;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
// A symbolic link (or "..") on the way below a task root: never followed.
inline constexpr DWORD ERROR_CANT_RESOLVE_FILENAME = 1921;
#endif

namespace os {

DWORD GetLastError();
void SetLastError(DWORD code);

// Which call failed matters for a few codes (EEXIST is 80 from a copy and 183
// from a directory creation).
enum class ErrnoContext { kGeneric, kCopy, kCreateDirectory };

// Maps err for the operation on path, stores it as the last error together with
// path, and returns it.
DWORD ErrorFromErrno(int err, std::string_view path, ErrnoContext context = ErrnoContext::kGeneric);

// The path of the last ErrorFromErrno on this thread.
const std::string& LastFailedPath();

// A few words for a user about code ("no space left on the device").
std::string DescribeError(DWORD code);

}  // namespace os
