#include "os/private_file.h"

#include <windows.h>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/long_path.h"
#include "os/win32/private_security.h"
#include "os/win32/unique_handle.h"

namespace os {

bool CreatePrivateFileIfMissing(const std::string& path) {
  // On Windows "mode 0600" is a protected access list for our user, SYSTEM
  // and the Administrators.
  const std::wstring system_path = SystemPath(FromUtf8(path));
  OwnerOnlySecurity security;
  if (security.get() == nullptr) return false;
  // CREATE_NEW fails on anything already there; with OPEN_REPARSE_POINT a
  // dangling link counts as there instead of being created through.
  const UniqueHandle file(::CreateFileW(system_path.c_str(), FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        0, security.get(), CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
  if (file.valid()) return true;
  const DWORD error = ::GetLastError();
  if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) return true;
  // A directory or a file we may not open can answer with other codes; what
  // matters is whether something is there.
  if (::GetFileAttributesW(system_path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  os::SetLastError(error);
  return false;
}

}  // namespace os
