#include "os/named_mutex.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "os/last_error.h"

namespace os {

struct NamedMutex::Shared {
  std::string path;
  std::mutex mutex;
  std::condition_variable released;
  std::thread::id owner;  // guarded by mutex
  int depth = 0;          // guarded by mutex
  int fd = -1;            // the flock holder while depth > 0; owner thread only
};

namespace {

std::mutex g_registry_mutex;
std::map<std::string, std::weak_ptr<NamedMutex::Shared>>& Registry() {
  static auto* registry = new std::map<std::string, std::weak_ptr<NamedMutex::Shared>>;
  return *registry;
}

}  // namespace

NamedMutex::NamedMutex(const std::string& lock_path) {
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  auto& slot = Registry()[lock_path];
  shared_ = slot.lock();
  if (!shared_) {
    shared_ = std::make_shared<Shared>();
    shared_->path = lock_path;
    slot = shared_;
  }
}

NamedMutex::~NamedMutex() {
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  const std::string path = shared_->path;
  shared_.reset();
  auto it = Registry().find(path);
  if (it != Registry().end() && it->second.expired()) Registry().erase(it);
}

const std::string& NamedMutex::path() const { return shared_->path; }

bool NamedMutex::Lock() {
  Shared& s = *shared_;
  const auto me = std::this_thread::get_id();
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.depth > 0 && s.owner == me) {
      ++s.depth;
      return s.fd >= 0;
    }
    s.released.wait(lock, [&] { return s.depth == 0; });
    s.owner = me;
    s.depth = 1;
  }
  s.fd = ::open(s.path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (s.fd < 0) {
    ErrorFromErrno(errno, s.path);
    return false;
  }
  while (::flock(s.fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ErrorFromErrno(errno, s.path);
      ::close(s.fd);
      s.fd = -1;
      return false;
    }
  }
  return true;
}

void NamedMutex::Unlock() {
  Shared& s = *shared_;
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.depth == 0 || s.owner != std::this_thread::get_id()) return;
  if (--s.depth > 0) return;
  if (s.fd >= 0) {
    ::close(s.fd);  // drops the flock
    s.fd = -1;
  }
  s.owner = std::thread::id();
  s.released.notify_one();
}

}  // namespace os
