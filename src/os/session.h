// The console user and the "token" that stands for a user account.
//
// Who the console user is: when the process does not run as root, its own
// user (there is nobody else it could act for); as root, the user of the
// active session of seat0, asked of sd-login in libsystemd.so.0, which is
// loaded at run time so that the module runs where systemd is absent. No
// library or no active session means no user.
//
// Session ids are numbers: sd-login's numeric session names ("2") keep their
// value; other names ("c1") get a stable number with the top bit set, so
// they never collide with a numeric one. kNoSession is never an id.
//
// Thread-safe. A test may replace the whole session service (CI has nobody
// logged in at a seat); the replacement must be installed while no other
// thread asks for sessions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/user_ids.h"

namespace os {

inline constexpr uint32_t kNoSession = 0xFFFFFFFF;

struct Session {
  uint32_t id = kNoSession;
  bool active = false;
  UserId uid = kNoUserId;
};

// A user account as the module acts for it: what the kernel needs to act as
// the user, and what a started process needs for its environment.
struct UserToken {
  UserId uid = kNoUserId;
  GroupId gid = kNoGroupId;
  std::vector<GroupId> groups;  // supplementary groups, the primary one included
  std::string name;
  std::string home;
  std::string shell;
#ifdef _WIN32
  // The system's token of the logon (a HANDLE), closed with the last copy.
  std::shared_ptr<void> handle;
#endif

  bool operator==(const UserToken&) const = default;
};

// The account of uid from the user database; nothing (last error set) when
// there is no such account.
std::optional<UserToken> TokenForUid(UserId uid);

// The session service, loaded for the life of the object. Cheap when the
// process is not root (nothing is loaded then).
class SessionLibrary {
 public:
  SessionLibrary();
  ~SessionLibrary();
  SessionLibrary(const SessionLibrary&) = delete;
  SessionLibrary& operator=(const SessionLibrary&) = delete;

  // False when the library could not be loaded.
  bool loaded() const { return loaded_; }
  // False when the library lacks the calls the module needs.
  bool has_session_calls() const { return active_ != nullptr || !needs_library_; }

  // Sessions in the service's order; nothing when they cannot be listed.
  std::optional<std::vector<Session>> EnumerateSessions() const;
  // The first active session, kNoSession when there is none.
  uint32_t ActiveConsoleSessionId() const;
  // The user of that session; nothing (last error set) when the session does
  // not exist now or its account is unknown.
  std::optional<UserToken> QueryUserToken(uint32_t session_id) const;
  // The user of the first active session; nothing (last error set) when
  // nobody is active or the sessions cannot be listed.
  std::optional<UserId> ActiveConsoleUid() const;

 private:
  bool needs_library_ = false;
  bool loaded_ = false;
  void* handle_ = nullptr;
  void* active_ = nullptr;  // sd_seat_get_active
};

// Test seam: answers every SessionLibrary's questions from source (which gives
// nothing when "the sessions cannot be listed"). An empty function restores
// the real service.
using SessionSource = std::function<std::optional<std::vector<Session>>()>;
void SetSessionSourceForTest(SessionSource source);

// Test seam: the library that root loads (empty restores libsystemd.so.0), so
// that a missing library or missing entry point can be produced for real.
void SetSessionLibraryNameForTest(std::string name);

}  // namespace os
