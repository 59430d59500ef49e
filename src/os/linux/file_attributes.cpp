#include "os/file_attributes.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "os/linux/confined_path.h"
#include "os/last_error.h"
#include "os/text.h"

namespace os {
namespace {

// A directory is a volume root when its parent lies on another device (or it
// is "/" itself).
bool IsVolumeRoot(int directory_fd) {
  struct stat here;
  struct stat parent;
  if (::fstat(directory_fd, &here) != 0) return false;
  if (::fstatat(directory_fd, "..", &parent, 0) != 0) return false;
  return here.st_dev != parent.st_dev || here.st_ino == parent.st_ino;
}

}  // namespace

DWORD AttributesOf(uint32_t mode, const std::string& name, int parent_fd) {
  DWORD attributes = 0;
  if (S_ISDIR(mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  if (!name.empty() && name[0] == '.' && name != ".") attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (name == "lost+found" && IsVolumeRoot(parent_fd)) attributes |= FILE_ATTRIBUTE_SYSTEM;
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD GetFileAttributes(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory parent;
  struct stat st;
  int err = OpenParentDirectory(bytes, &parent);
  if (err == 0 && ::fstatat(parent.fd.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    err = errno;
  }
  if (err != 0) {
    ErrorFromErrno(err, bytes);
    return INVALID_FILE_ATTRIBUTES;
  }
  return AttributesOf(st.st_mode, parent.name, parent.fd.get());
}

}  // namespace os
