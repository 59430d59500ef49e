#include "os/parent_directory_cache.h"

#include <utility>

// What a kept directory is differs: a descriptor on Linux, the levels a walk
// checked on Windows.
#ifdef _WIN32
#include "os/win32/unique_fd.h"
#else
#include "os/linux/unique_fd.h"
#endif

namespace os {
namespace {

thread_local ParentDirectoryCache* t_cache = nullptr;

}  // namespace

ParentDirectoryCache* ParentDirectoryCache::Current() { return t_cache; }

ParentDirectoryCache::ParentDirectoryCache() : outer_(t_cache) { t_cache = this; }

ParentDirectoryCache::~ParentDirectoryCache() { t_cache = outer_; }

void ParentDirectoryCache::Clear() {
  for (Entry& entry : entries_) entry = Entry{};
}

std::shared_ptr<const UniqueFd> ParentDirectoryCache::Find(const std::string& key) {
  for (Entry& entry : entries_) {
    if (entry.fd && entry.key == key) {
      entry.used = ++clock_;
      return entry.fd;
    }
  }
  return nullptr;
}

std::shared_ptr<const UniqueFd> ParentDirectoryCache::Keep(const std::string& key, UniqueFd fd) {
  Entry* victim = &entries_[0];
  for (Entry& entry : entries_) {
    if (entry.used < victim->used) victim = &entry;
  }
  victim->key = key;
  victim->fd = std::make_shared<const UniqueFd>(std::move(fd));
  victim->used = ++clock_;
  return victim->fd;
}

}  // namespace os
