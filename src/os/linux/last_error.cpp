#include "os/last_error.h"

#include "os/error_codes.h"
#include "os/linux/confined_path.h"

namespace os {
namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;
thread_local std::string t_failed_path;

bool ParentExists(std::string_view path) {
  ParentDirectory parent;
  return OpenParentDirectory(std::string(path), &parent) == 0;
}

}  // namespace

DWORD GetLastError() { return t_last_error; }

void SetLastError(DWORD code) { t_last_error = code; }

DWORD ErrorFromErrno(int err, std::string_view path, ErrnoContext context) {
  t_last_error = MapErrno(err, context, [path] { return ParentExists(path); });
  t_failed_path.assign(path);
  return t_last_error;
}

const std::string& LastFailedPath() { return t_failed_path; }

}  // namespace os
