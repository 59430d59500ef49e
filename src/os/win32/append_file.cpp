#include "os/append_file.h"

#include <windows.h>

#include <algorithm>

#include "os/last_error.h"
#include "os/text.h"
#include "os/win32/long_path.h"
#include "os/win32/private_security.h"
#include "os/win32/unique_handle.h"

namespace os {

AppendResult AppendToFile(const std::string& path, std::string_view record) {
  // A handle with FILE_APPEND_DATA and no FILE_WRITE_DATA writes every call at
  // the end of the file as one unit, whoever else appends meanwhile. A file
  // made here gets the owner-only access list (mode 0600 elsewhere).
  OwnerOnlySecurity security;
  if (security.get() == nullptr) return AppendResult::kCannotOpen;
  const UniqueHandle file(::CreateFileW(
      SystemPath(FromUtf8(path)).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, security.get(), OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) return AppendResult::kCannotOpen;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!::GetFileInformationByHandleEx(file.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return AppendResult::kCannotOpen;
  }
  if ((tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A link at the path is opened as itself here, never written through.
    os::SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return AppendResult::kCannotOpen;
  }
  // One call per record; a record beyond 4 GiB would need several, and
  // records are lines of a report.
  while (!record.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(record.size(), 0x7FFFFFFF));
    DWORD written = 0;
    if (!::WriteFile(file.get(), record.data(), chunk, &written, nullptr)) {
      return AppendResult::kWriteFailed;
    }
    if (written == 0) {
      os::SetLastError(ERROR_DISK_FULL);
      return AppendResult::kWriteFailed;
    }
    record.remove_prefix(written);
  }
  return AppendResult::kWritten;
}

}  // namespace os
