#include "os/append_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "os/last_error.h"

namespace os {

AppendResult AppendToFile(const std::string& path, std::string_view record) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    ErrorFromErrno(errno, path);
    return AppendResult::kCannotOpen;
  }
  AppendResult result = AppendResult::kWritten;
  while (!record.empty()) {
    const ssize_t n = ::write(fd, record.data(), record.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ErrorFromErrno(n < 0 ? errno : ENOSPC, path);
      result = AppendResult::kWriteFailed;
      break;
    }
    record.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
  return result;
}

}  // namespace os
