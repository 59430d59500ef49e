// Names of the watched directories where copies are being finished, kept
// while the copies come, to tell whether a copy's final rename replaced a
// file (modified) or made a new one (added).
//
// Threads: belongs to the port's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "os/linux/directory_listing.h"

namespace os {

class CopyTargetIndex {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // True when wd's directory is listed already; its list then lives on.
  bool Touch(int wd, Time now);
  void Add(int wd, std::vector<DirEntry> entries, Time now);
  // A name made or removed in a listed directory (an inode of 0: not known).
  void Note(int wd, const std::string& name, bool exists);
  // The inode the list holds for name; none when wd is not listed or the name
  // is not in its list.
  std::optional<ino_t> Listed(int wd, const std::string& name) const;
  void Forget(int wd);
  // Drops the lists no copy has used for a while; cheap to call on every pump.
  void Sweep(Time now);

 private:
  struct Names {
    std::unordered_map<std::string, ino_t> inodes;
    Time last_used;
  };
  std::unordered_map<int, Names> lists_;
  Time next_sweep_{};
};

}  // namespace os
