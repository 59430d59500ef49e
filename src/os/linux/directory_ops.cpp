#include "os/directory_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os/linux/confined_path.h"
#include "os/last_error.h"
#include "os/text.h"

namespace os {
namespace {

BOOL Fail(int err, const std::string& path) {
  ErrorFromErrno(err, path, ErrnoContext::kCreateDirectory);
  return FALSE;
}

}  // namespace

BOOL CreateDirectory(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  if (const int err = OpenParentDirectory(bytes, &at)) return Fail(err, bytes);
  if (::mkdirat(at.fd.get(), at.name.c_str(), 0777) != 0) return Fail(errno, bytes);
  return TRUE;
}

BOOL CreateDirectoryLike(const std::wstring& path, const std::wstring& model) {
  const std::string model_bytes = ToUtf8(model);
  ParentDirectory model_at;
  struct stat source;
  if (OpenParentDirectory(model_bytes, &model_at) != 0 ||
      ::fstatat(model_at.fd.get(), model_at.name.c_str(), &source, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(source.st_mode)) {
    return CreateDirectory(path);
  }
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  if (const int err = OpenParentDirectory(bytes, &at)) return Fail(err, bytes);
  // Private until it has its owner and mode, so no one slips in meanwhile.
  if (::mkdirat(at.fd.get(), at.name.c_str(), 0700) != 0) return Fail(errno, bytes);
  const int fd =
      ::openat(at.fd.get(), at.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return TRUE;  // replaced at once by someone else: not ours to change
  mode_t mode = source.st_mode & 07777 & ~S_ISUID;
  if (::geteuid() == 0 && ::fchown(fd, source.st_uid, source.st_gid) != 0) mode &= 0700;
  ::fchmod(fd, mode);
  ::close(fd);
  return TRUE;
}

}  // namespace os
