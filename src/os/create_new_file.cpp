#include "os/create_new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/last_error.h"
#include "os/text.h"

namespace os {

BOOL CreateNewFile(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  const int fd = ::open(bytes.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    ErrorFromErrno(errno, bytes);
    return FALSE;
  }
  ::close(fd);
  return TRUE;
}

}  // namespace os
