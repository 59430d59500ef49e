#include "os/file_attributes.h"

#include <windows.h>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"

namespace os {
namespace {

constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kDirectoryType = 0040000;
constexpr uint32_t kOwnerWrite = 0200;

}  // namespace

// Windows keeps these attributes on the file itself; this form serves the
// callers that describe an entry from a mode and name. There is no
// lost+found on Windows volumes, so parent_fd is not consulted.
DWORD AttributesOf(uint32_t mode, const std::string& name, int /*parent_fd*/) {
  DWORD attributes = 0;
  if ((mode & kTypeMask) == kDirectoryType) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((mode & kOwnerWrite) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") {
    attributes |= FILE_ATTRIBUTE_HIDDEN;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD GetFileAttributes(const std::wstring& path) {
  ConfinedHold hold;
  if (const DWORD err = ConfinePath(path, false, &hold)) {
    ErrorFromErrno(0, ToUtf8(path));
    SetLastError(err);
    return INVALID_FILE_ATTRIBUTES;
  }
  const std::wstring system = SystemPath(path);
  // GetFileAttributesW describes a link as itself.
  DWORD attributes = ::GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD err = ::GetLastError();
    ErrorFromErrno(0, ToUtf8(path));
    SetLastError(err);
    return INVALID_FILE_ATTRIBUTES;
  }
  // A link to a directory is a link, as on every other side the engine
  // serves: it is copied and removed as one, never walked into.
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileExW(system.c_str(), FindExInfoBasic, &data,
                                     FindExSearchNameMatch, nullptr, 0);
    if (find != INVALID_HANDLE_VALUE) {
      ::FindClose(find);
      if (IsLinkTag(data.dwReserved0)) attributes &= ~FILE_ATTRIBUTE_DIRECTORY;
    }
  }
  return attributes;
}

}  // namespace os
