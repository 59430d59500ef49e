#include "os/last_error.h"

#include <windows.h>

#include "os/error_codes.h"
#include "os/text.h"
#include "os/win32/long_path.h"

namespace os {
namespace {

thread_local std::string t_failed_path;

// The path's directory exists, told without following a link at its end.
bool ParentExists(std::string_view path) {
  std::wstring wide = FromUtf8(path);
  const std::size_t cut = wide.find_last_of(L"\\/");
  if (cut == std::wstring::npos) return true;  // relative: the working directory
  wide.resize(cut + 1);
  const DWORD attributes = ::GetFileAttributesW(SystemPath(wide).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

// The thread's own Win32 last error: what every failing system call sets.
DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD code) { ::SetLastError(code); }

DWORD ErrorFromErrno(int err, std::string_view path, ErrnoContext context) {
  const DWORD code = MapErrno(err, context, [path] { return ParentExists(path); });
  t_failed_path.assign(path);
  ::SetLastError(code);
  return code;
}

const std::string& LastFailedPath() { return t_failed_path; }

}  // namespace os
