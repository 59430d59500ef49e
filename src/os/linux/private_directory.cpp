#include "os/private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "os/thread_identity.h"
#include "os/linux/unique_fd.h"

namespace os {
namespace {

// Why someone other than this process's user could change the directory st.
std::string WhyLoose(const struct stat& st, const std::string& shown, bool holder) {
  const uid_t me = ::geteuid();
  if (st.st_uid != me && !(holder && st.st_uid == 0)) {
    return shown + " belongs to " + UserNameOf(st.st_uid) + ", not to " + UserNameOf(me);
  }
  const bool sticky = holder && (st.st_mode & S_ISVTX) != 0;
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return shown + " is writable by " + ((st.st_mode & S_IWOTH) != 0 ? "others" : "its group") +
           " (mode " + mode + ")";
  }
  return {};
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

std::string WhyNotPrivateDirectory(const std::string& path, const std::vector<std::string>& names) {
  std::filesystem::path directory = std::filesystem::path(path).lexically_normal();
  if (!directory.has_filename() && directory != directory.root_path()) {
    directory = directory.parent_path();
  }
  const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) {
    if (errno == ENOENT) return {};
    if (errno == ENOTDIR) return directory.string() + " is not a directory";
    return directory.string() + ": " + std::strerror(errno);
  }
  struct stat own {};
  if (::fstat(fd.get(), &own) != 0) return directory.string() + ": " + std::strerror(errno);
  if (std::string why = WhyLoose(own, directory.string(), false); !why.empty()) return why;

  // The directory that holds the name, and the one that holds the directory
  // itself: two different ones when the name is a symbolic link.
  std::filesystem::path holder = directory.parent_path();
  if (holder.empty()) holder = ".";
  struct stat named_holder {};
  if (::stat(holder.c_str(), &named_holder) != 0) {
    return holder.string() + ": " + std::strerror(errno);
  }
  const std::string holds = ", which holds " + directory.string() + ",";
  if (std::string why = WhyLoose(named_holder, holder.string() + holds, true); !why.empty()) {
    return why;
  }
  struct stat real_holder {};
  if (::fstatat(fd.get(), "..", &real_holder, 0) != 0) {
    return directory.string() + "/..: " + std::strerror(errno);
  }
  if (!SameFile(real_holder, named_holder)) {
    const std::string shown = (directory / "..").string() + holds;
    if (std::string why = WhyLoose(real_holder, shown, true); !why.empty()) return why;
  }

  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
      return (directory / name).string() + " is a symbolic link";
    }
  }
  return {};
}

}  // namespace os
