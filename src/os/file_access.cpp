#include "os/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/last_error.h"

namespace os {

bool CanAccess(const std::string& path, Access access) {
  struct stat st;
  int mode = R_OK;
  if (access == Access::kReadWrite) mode |= W_OK;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) mode |= X_OK;
  if (::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0) return true;
  ErrorFromErrno(errno, path);
  return false;
}

}  // namespace os
