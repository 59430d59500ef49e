#include "os/file_access.h"

#include <windows.h>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

namespace os {

// Asks the file system itself: an open with the wanted rights is checked
// against the thread's impersonation token when there is one, and also meets
// what a check of the access list alone would miss (the read-only attribute,
// share permissions, integrity labels).
bool CanAccess(const std::string& path, Access access) {
  const std::wstring wide = FromUtf8(path);
  ConfinedHold hold;
  if (const DWORD error = ConfinePath(wide, false, &hold)) {
    os::SetLastError(error);
    return false;
  }
  const std::wstring system_path = SystemPath(wide);
  const DWORD attributes = ::GetFileAttributesW(system_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  DWORD rights = FILE_GENERIC_READ;
  if (directory) {
    rights |= FILE_TRAVERSE;
    if (access == Access::kReadWrite) rights |= FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
  } else if (access == Access::kReadWrite) {
    rights |= FILE_GENERIC_WRITE;
  }
  // Backup semantics only where a directory needs them to be opened: for a
  // file they would let a thread with the backup privilege past the list.
  const UniqueHandle handle(::CreateFileW(system_path.c_str(), rights,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING,
                                          directory ? FILE_FLAG_BACKUP_SEMANTICS : 0, nullptr));
  if (handle.valid()) return true;
  // The rights are checked before the sharing: someone else's open that
  // shares nothing does not mean we may not use the file.
  return ::GetLastError() == ERROR_SHARING_VIOLATION;
}

}  // namespace os
