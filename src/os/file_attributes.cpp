#include "os/file_attributes.h"

#include <sys/stat.h>

#include <cerrno>

#include "os/last_error.h"
#include "os/text.h"

namespace os {
namespace {

// A directory is a volume root when its parent lies on another device (or it
// is "/" itself).
bool IsVolumeRoot(const std::string& directory) {
  struct stat here;
  struct stat parent;
  if (::stat(directory.c_str(), &here) != 0) return false;
  if (::stat((directory + "/..").c_str(), &parent) != 0) return false;
  return here.st_dev != parent.st_dev || here.st_ino == parent.st_ino;
}

}  // namespace

DWORD GetFileAttributes(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  struct stat st;
  if (::lstat(bytes.c_str(), &st) != 0) {
    ErrorFromErrno(errno, bytes);
    return INVALID_FILE_ATTRIBUTES;
  }
  DWORD attributes = 0;
  if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  const auto cut = bytes.find_last_of('/');
  const std::string name = cut == std::string::npos ? bytes : bytes.substr(cut + 1);
  if (!name.empty() && name[0] == '.') attributes |= FILE_ATTRIBUTE_HIDDEN;
  if (name == "lost+found" && cut != std::string::npos &&
      IsVolumeRoot(cut == 0 ? std::string("/") : bytes.substr(0, cut))) {
    attributes |= FILE_ATTRIBUTE_SYSTEM;
  }
  return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

}  // namespace os
