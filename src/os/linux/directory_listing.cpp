#include "os/linux/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string_view>

namespace os {

unsigned char DirentTypeOf(mode_t mode) {
  if (S_ISDIR(mode)) return DT_DIR;
  if (S_ISREG(mode)) return DT_REG;
  if (S_ISLNK(mode)) return DT_LNK;
  return DT_FIFO;
}

// Read with getdents64 straight from the descriptor: a stream would cost a
// duplicate and four calls more per directory, and a tree is thousands.
bool ListDirectory(int dir_fd, std::vector<DirEntry>* entries) {
  alignas(dirent64) char buffer[32768];
  for (;;) {
    const ssize_t n = ::getdents64(dir_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* ent = reinterpret_cast<const dirent64*>(buffer + at);
      at += ent->d_reclen;
      const std::string_view name = ent->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = ent->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(dir_fd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = DirentTypeOf(st.st_mode);
      }
      entries->push_back({std::string(name), type, static_cast<ino_t>(ent->d_ino)});
    }
  }
}

}  // namespace os
