// A directory that a walk below a task root checked (confined_roots_check.h):
// the handles of the levels it holds open, and who the deepest level is
// (volume serial number and file index).
//
// Held with listing access and without delete sharing, the levels can be
// neither renamed nor removed, so nobody can put a link in their place while
// an operation runs through their path. A ParentDirectoryCache keeps only
// who the deepest level was, never the handles: held for a whole walk they
// would refuse the engine's own renames and removals of those directories.
// One owner thread at a time (shared read-only through ParentDirectoryCache).
#pragma once

#include <windows.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "os/win32/unique_handle.h"

namespace os {

class UniqueFd {
 public:
  UniqueFd() = default;
  UniqueFd(UniqueFd&&) noexcept = default;
  UniqueFd& operator=(UniqueFd&&) noexcept = default;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // Only who a directory is, no handle: what a cache keeps.
  static UniqueFd Identity(uint64_t volume, uint64_t index) {
    UniqueFd fd;
    fd.volume_ = volume;
    fd.index_ = index;
    return fd;
  }

  // The deepest level held, or null.
  HANDLE get() const { return levels_.empty() ? nullptr : levels_.back().get(); }
  bool valid() const { return !levels_.empty() && levels_.back().valid(); }
  void Reset() {
    levels_.clear();
    volume_ = 0;
    index_ = 0;
  }
  // The walk goes one level deeper; the levels above stay held.
  void Descend(HANDLE next) { levels_.emplace_back(next); }
  // Who the deepest level is, once checked.
  void Identify(uint64_t volume, uint64_t index) {
    volume_ = volume;
    index_ = index;
  }
  uint64_t volume() const { return volume_; }
  uint64_t index() const { return index_; }

 private:
  std::vector<UniqueHandle> levels_;
  uint64_t volume_ = 0;
  uint64_t index_ = 0;
};

}  // namespace os
