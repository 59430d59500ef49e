#include "os/directory_ops.h"

#include <windows.h>
#include <winioctl.h>

#include "os/last_error.h"
#include "os/win32/confined_roots_check.h"
#include "os/win32/long_path.h"
#include "os/win32/unique_handle.h"

namespace os {
namespace {

// The attributes a directory can be given after it exists.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

BOOL CreateDirectory(const std::wstring& path) {
  ConfinedHold hold;
  if (const DWORD error = ConfinePath(path, false, &hold)) {
    os::SetLastError(error);
    return FALSE;
  }
  return ::CreateDirectoryW(SystemPath(path).c_str(), nullptr);
}

// The Windows form of "its mode": the model's attributes (hidden, system,
// read-only, not indexed) and its compression. The access list is the one
// the new directory inherits from where it is made, as for copied files.
// CreateDirectoryExW is not used: given a link or junction as the model it
// makes another link to the same target.
BOOL CreateDirectoryLike(const std::wstring& path, const std::wstring& model) {
  FILE_ATTRIBUTE_TAG_INFO source{};
  {
    ConfinedHold model_hold;
    if (ConfinePath(model, false, &model_hold) != ERROR_SUCCESS) return CreateDirectory(path);
    const UniqueHandle handle(::CreateFileW(
        SystemPath(model).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // A link as the model counts as no model, as on Linux; the placeholder of
    // a cloud folder is a reparse point too, but a directory of its own.
    if (!handle.valid() ||
        !::GetFileInformationByHandleEx(handle.get(), FileAttributeTagInfo, &source,
                                        sizeof(source)) ||
        (source.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        ((source.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         IsLinkTag(source.ReparseTag))) {
      return CreateDirectory(path);
    }
  }
  ConfinedHold hold;
  if (const DWORD error = ConfinePath(path, false, &hold)) {
    os::SetLastError(error);
    return FALSE;
  }
  const std::wstring system_path = SystemPath(path);
  if (!::CreateDirectoryW(system_path.c_str(), nullptr)) return FALSE;
  const DWORD attributes = source.FileAttributes & kCopiedAttributes;
  const bool compressed = (source.FileAttributes & FILE_ATTRIBUTE_COMPRESSED) != 0;
  if (attributes == 0 && !compressed) return TRUE;
  // Compression is set through a handle that may read and write data.
  const DWORD rights = FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                       (compressed ? FILE_READ_DATA | FILE_WRITE_DATA : 0);
  const UniqueHandle made(::CreateFileW(
      system_path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION now{};
  if (!made.valid() || !::GetFileInformationByHandle(made.get(), &now) ||
      (now.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) !=
          FILE_ATTRIBUTE_DIRECTORY) {
    return TRUE;  // replaced at once by someone else: not ours to change
  }
  if (compressed) {
    USHORT format = COMPRESSION_FORMAT_DEFAULT;
    DWORD returned = 0;
    ::DeviceIoControl(made.get(), FSCTL_SET_COMPRESSION, &format, sizeof(format), nullptr, 0,
                      &returned, nullptr);
  }
  if (attributes != 0) {
    FILE_BASIC_INFO basic{};  // zero times: left as they are
    basic.FileAttributes = attributes;
    ::SetFileInformationByHandle(made.get(), FileBasicInfo, &basic, sizeof(basic));
  }
  // The directory exists as asked; a model attribute the volume refuses is
  // not worth failing the creation for.
  os::SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace os
