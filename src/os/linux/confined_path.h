// Opens the directory that holds a path without following a symbolic link
// anywhere below the task roots (confined_roots.h).
//
// The file primitives resolve the parent of each path here and then act on
// the last name with the *at calls. A path outside every root has its parent
// resolved as usual; the primitives still never follow its last name.
// Nothing hands a whole path to the kernel, so paths longer than PATH_MAX
// work.
//
// Thread-safe: the set of roots has its own lock.
#pragma once

#include <memory>
#include <string>

#include "os/confined_roots.h"
#include "os/linux/unique_fd.h"

namespace os {

// A directory descriptor that its holder owns alone, or shares with the
// thread's ParentDirectoryCache.
class DirectoryFd {
 public:
  int get() const { return shared_ ? shared_->get() : owned_.get(); }
  void Own(UniqueFd fd) {
    shared_.reset();
    owned_ = std::move(fd);
  }
  void Share(std::shared_ptr<const UniqueFd> fd) {
    owned_.Reset();
    shared_ = std::move(fd);
  }

 private:
  UniqueFd owned_;
  std::shared_ptr<const UniqueFd> shared_;
};

// The directory that holds a path, opened O_PATH, and the path's last name.
// For a root itself the directory is the root and the name ".", so the root
// is used as configured, links and all.
struct ParentDirectory {
  DirectoryFd fd;
  std::string name;
};

// 0, or the errno of the failure: ELOOP when a link (or a "..") stands in the
// way below a root, ENOENT or ENOTDIR when a level is missing.
int OpenParentDirectory(const std::string& path, ParentDirectory* out);

// Opens the directory rel below root, following no link below root (root
// itself may be one), with flags (O_RDONLY, O_PATH); -1 with errno set.
int OpenBelow(const std::string& root, const std::string& rel, int flags);

// Opens a directory below the roots (or a root itself) for listing, under the
// same rule; -1 with errno set on failure.
int OpenDirectoryForListing(const std::string& path);

// Tests only: resolve through the component-by-component walk that stands in
// for openat2 on older kernels.
void UseComponentWalkForTest(bool on);

}  // namespace os
