#include "platform/console_user.h"

#include <mutex>

namespace {

struct ConsoleUserCache {
  std::mutex mutex;
  std::unique_ptr<os::SessionLibrary> sessions;  // guarded by mutex; null until loaded
  std::shared_ptr<const os::UserToken> user;     // guarded by mutex
};

ConsoleUserCache& Cache() {
  static auto* cache = new ConsoleUserCache;  // leaked: worker threads may ask during exit
  return *cache;
}

}  // namespace

std::shared_ptr<const os::UserToken> CurrentConsoleUser() {
  ConsoleUserCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  if (!cache.sessions) {
    auto sessions = std::make_unique<os::SessionLibrary>();
    if (!sessions->loaded()) return nullptr;
    cache.sessions = std::move(sessions);
  }
  const std::optional<os::UserId> uid = cache.sessions->ActiveConsoleUid();
  if (!uid) {
    cache.user.reset();
    return nullptr;
  }
  if (!cache.user || cache.user->uid != *uid) {
    auto token = os::TokenForUid(*uid);
    cache.user = token ? std::make_shared<const os::UserToken>(std::move(*token)) : nullptr;
  }
  return cache.user;
}

void ForgetConsoleUserForTest() {
  ConsoleUserCache& cache = Cache();
  std::lock_guard<std::mutex> guard(cache.mutex);
  cache.sessions.reset();
  cache.user.reset();
}
