// A mutex that excludes the threads of this process and every other process
// that locks the same lock file: an in-process lock (re-entrant for its owning
// thread, as a Windows mutex is) plus flock on the file, created mode 0600 so
// that no other user can open it and stall us.
// Thread-safe. Objects naming the same path share one in-process lock.
#pragma once

#include <memory>
#include <string>

namespace os {

class NamedMutex {
 public:
  explicit NamedMutex(const std::string& lock_path);
  ~NamedMutex();
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;

  // Blocks without time limit. Returns false when the lock file could not be
  // opened: the process's own threads are still excluded, other processes not.
  bool Lock();
  void Unlock();

  const std::string& path() const;

  struct Shared;  // the state that objects naming one path share

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace os
