#include "os/create_new_file.h"

#include <windows.h>

#include "os/last_error.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

namespace os {

BOOL CreateNewFile(const std::wstring& path) {
  ConfinedHold hold;
  if (const DWORD error = ConfinePath(path, false, &hold)) {
    os::SetLastError(error);
    return FALSE;
  }
  // The file takes the access list its directory passes on, as every file
  // made in a user's tree does on Windows; it is the probe of a share and is
  // removed at once. OPEN_REPARSE_POINT makes a link at the path, dangling or
  // not, count as already there instead of being created through.
  const UniqueHandle file(::CreateFileW(SystemPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
  if (!file.valid()) {
    // A directory at the path can answer "access denied"; the contract is
    // ERROR_FILE_EXISTS for anything there.
    const DWORD error = ::GetLastError();
    if (error == ERROR_ALREADY_EXISTS ||
        (error == ERROR_ACCESS_DENIED &&
         ::GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES)) {
      os::SetLastError(ERROR_FILE_EXISTS);
    }
    return FALSE;
  }
  return TRUE;
}

}  // namespace os
