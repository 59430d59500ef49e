#include "os/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux/confined_path.h"
#include "os/last_error.h"

namespace os {

bool CanAccess(const std::string& path, Access access) {
  ParentDirectory at;
  if (const int err = OpenParentDirectory(path, &at)) {
    ErrorFromErrno(err, path);
    return false;
  }
  struct stat st;
  int mode = R_OK;
  if (access == Access::kReadWrite) mode |= W_OK;
  if (::fstatat(at.fd.get(), at.name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode)) {
    mode |= X_OK;
  }
  if (::faccessat(at.fd.get(), at.name.c_str(), mode, AT_EACCESS) == 0) {
    return true;
  }
  ErrorFromErrno(errno, path);
  return false;
}

}  // namespace os
