#include "os/thread_identity.h"

#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <vector>

namespace os {

uid_t CurrentFsUid() {
  // setfsuid with an id that can never be valid changes nothing and answers
  // the current one; the raw call keeps it to this thread.
  return static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1)));
}

std::string UserNameOf(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(uid);
}

std::string CurrentUserName() { return UserNameOf(CurrentFsUid()); }

}  // namespace os
