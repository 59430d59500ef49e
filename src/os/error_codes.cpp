#include "os/error_codes.h"

#include <cerrno>

namespace os {

DWORD MapErrno(int err, ErrnoContext context, const std::function<bool()>& parent_exists) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return parent_exists() ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EEXIST:
      return context == ErrnoContext::kCreateDirectory ? ERROR_ALREADY_EXISTS : ERROR_FILE_EXISTS;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return ERROR_DISK_FULL;
    case EWOULDBLOCK:
    case EBUSY:
    case ETXTBSY:
      return ERROR_SHARING_VIOLATION;
    case EXDEV:
      return ERROR_NOT_SAME_DEVICE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_GEN_FAILURE;
  }
}

std::string DescribeError(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return "it no longer exists";
    case ERROR_PATH_NOT_FOUND:
      return "its folder no longer exists";
    case ERROR_ACCESS_DENIED:
      return "permission denied";
    case ERROR_SHARING_VIOLATION:
      return "it is in use";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return "something of that name is in the way";
    case ERROR_DISK_FULL:
      return "no space left on the device";
    case ERROR_FILENAME_EXCED_RANGE:
      return "the name is too long";
    case ERROR_CANT_RESOLVE_FILENAME:
      return "a symbolic link lies on the way";
    case ERROR_NOT_SUPPORTED:
      return "the file system does not support it";
    default:
      return std::string("error ").append(std::to_string(code));
  }
}

}  // namespace os
