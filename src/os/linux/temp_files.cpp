#include "os/linux/temp_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "os/temp_name.h"
#include "os/linux/unique_fd.h"

namespace os {
namespace {

std::shared_mutex g_making;

}  // namespace

std::shared_lock<std::shared_mutex> HoldTemporaries() {
  return std::shared_lock<std::shared_mutex>(g_making);
}

void LockTemporary(int fd) { ::flock(fd, LOCK_EX | LOCK_NB); }

bool RemoveStaleTemporary(int dir_fd, const std::string& name) {
  if (!IsMadeTempName(name)) return false;
  const std::unique_lock<std::shared_mutex> making(g_making);
  struct stat found;
  if (::fstatat(dir_fd, name.c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISREG(found.st_mode)) {
    // O_NONBLOCK: should a FIFO have taken its place, opening it must not wait.
    const UniqueFd fd(
        ::openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened;
    if (!fd.valid() || ::fstat(fd.get(), &opened) != 0 || opened.st_ino != found.st_ino ||
        opened.st_dev != found.st_dev) {
      return false;
    }
    // Shared: an exclusive flock on NFS needs a file open for writing. A
    // file system that cannot lock cannot tell a live copy either.
    if (::flock(fd.get(), LOCK_SH | LOCK_NB) != 0) return false;
  } else if (!S_ISLNK(found.st_mode)) {
    return false;
  }
  return ::unlinkat(dir_fd, name.c_str(), 0) == 0;
}

}  // namespace os
