#include "os/last_error.h"

#include <sys/stat.h>

#include <cerrno>

namespace os {
namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;
thread_local std::string t_failed_path;

bool ParentExists(std::string_view path) {
  const auto cut = path.find_last_of('/');
  if (cut == std::string_view::npos) return true;  // relative name: the current directory
  const std::string parent(path.substr(0, cut == 0 ? 1 : cut));
  struct stat st;
  return ::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DWORD Map(int err, std::string_view path, ErrnoContext context) {
  switch (err) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ParentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
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
    case EDQUOT:
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

}  // namespace

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD code) { t_last_error = code; }

DWORD ErrorFromErrno(int err, std::string_view path, ErrnoContext context) {
  t_last_error = Map(err, path, context);
  t_failed_path.assign(path);
  return t_last_error;
}

const std::string& LastFailedPath() { return t_failed_path; }

}  // namespace os
