#include "os/create_new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux/confined_path.h"
#include "os/last_error.h"
#include "os/text.h"

namespace os {

BOOL CreateNewFile(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  if (const int err = OpenParentDirectory(bytes, &at)) {
    ErrorFromErrno(err, bytes);
    return FALSE;
  }
  const int fd = ::openat(at.fd.get(), at.name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    ErrorFromErrno(errno, bytes);
    return FALSE;
  }
  ::close(fd);
  return TRUE;
}

}  // namespace os
