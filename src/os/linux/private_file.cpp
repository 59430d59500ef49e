#include "os/private_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/last_error.h"

namespace os {

bool CreatePrivateFileIfMissing(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) {
    ::close(fd);
    return true;
  }
  if (errno == EEXIST) return true;
  ErrorFromErrno(errno, path);
  return false;
}

}  // namespace os
