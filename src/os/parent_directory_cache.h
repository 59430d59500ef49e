// A thread's memory of the directories that OpenParentDirectory resolved
// last (see confined_path.h), for walks that act on many items of one
// directory.
//
// One thread: the cache serves the thread that made it.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace os {

class UniqueFd;

// While one lives, OpenParentDirectory on its thread keeps the last few
// directories it resolved and lends them out again instead of resolving
// their paths anew: a walk that acts on many items of one directory then
// pays for the resolution once. What is kept was resolved under the same
// rule, but a directory renamed meanwhile is still reached through its old
// path, so a cache lives for one run of a walk over one directory and is
// cleared when the walk moves on. Nesting: the innermost one serves.
class ParentDirectoryCache {
 public:
  ParentDirectoryCache();
  ~ParentDirectoryCache();
  ParentDirectoryCache(const ParentDirectoryCache&) = delete;
  ParentDirectoryCache& operator=(const ParentDirectoryCache&) = delete;

  void Clear();

  // The innermost cache of the calling thread, or null.
  static ParentDirectoryCache* Current();

  // The descriptor kept under key, or null.
  std::shared_ptr<const UniqueFd> Find(const std::string& key);
  // Keeps fd under key in place of the least recently used entry.
  std::shared_ptr<const UniqueFd> Keep(const std::string& key, UniqueFd fd);

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const UniqueFd> fd;
    uint64_t used = 0;
  };
  std::array<Entry, 4> entries_;
  uint64_t clock_ = 0;
  ParentDirectoryCache* outer_;
};

}  // namespace os
