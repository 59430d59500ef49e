#include "os/session.h"

#include <dlfcn.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <type_traits>

#include "os/last_error.h"

namespace os {

static_assert(std::is_same_v<uid_t, UserId> && std::is_same_v<gid_t, GroupId>,
              "the module's user and group numbers are the kernel's");

namespace {

// The Windows codes for "nobody is logged on there" and "no such account".
constexpr DWORD kErrorNoToken = 1008;
constexpr DWORD kErrorNoSuchUser = 1317;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorModNotFound = 126;

constexpr char kDefaultLibrary[] = "libsystemd.so.0";
constexpr char kSeat[] = "seat0";

using SeatGetActive = int (*)(const char* seat, char** session, uid_t* uid);

std::mutex g_seam_mutex;
SessionSource& TestSource() {
  static auto* source = new SessionSource;  // leaked: asked during exit
  return *source;
}
std::string& LibraryName() {
  static auto* name = new std::string(kDefaultLibrary);
  return *name;
}

SessionSource CurrentTestSource() {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  return TestSource();
}

uint32_t SessionIdOfName(std::string_view name) {
  if (!name.empty() && name.size() <= 9 && name.find_first_not_of("0123456789") == name.npos) {
    return static_cast<uint32_t>(std::strtoul(std::string(name).c_str(), nullptr, 10));
  }
  uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  const uint32_t id = 0x80000000u | hash;
  return id == kNoSession ? id - 1 : id;
}

}  // namespace

std::optional<UserToken> TokenForUid(uid_t uid) {
  std::vector<char> buffer(16384);
  passwd entry;
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (rc != 0 || found == nullptr) {
    SetLastError(kErrorNoSuchUser);
    return std::nullopt;
  }
  UserToken token;
  token.uid = entry.pw_uid;
  token.gid = entry.pw_gid;
  token.name = entry.pw_name;
  token.home = entry.pw_dir ? entry.pw_dir : "/";
  token.shell = entry.pw_shell && *entry.pw_shell ? entry.pw_shell : "/bin/sh";
  int count = 32;
  for (;;) {
    token.groups.resize(static_cast<std::size_t>(count));
    const int before = count;
    if (::getgrouplist(entry.pw_name, entry.pw_gid, token.groups.data(), &count) >= 0) {
      token.groups.resize(static_cast<std::size_t>(count));
      break;
    }
    if (count <= before) count = before * 2;
  }
  return token;
}

SessionLibrary::SessionLibrary() {
  if (CurrentTestSource()) {
    loaded_ = true;
    return;
  }
  needs_library_ = ::geteuid() == 0;
  if (!needs_library_) {
    loaded_ = true;
    return;
  }
  std::string name;
  {
    std::lock_guard<std::mutex> guard(g_seam_mutex);
    name = LibraryName();
  }
  handle_ = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    SetLastError(kErrorModNotFound);
    return;
  }
  loaded_ = true;
  active_ = ::dlsym(handle_, "sd_seat_get_active");
}

SessionLibrary::~SessionLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

std::optional<std::vector<Session>> SessionLibrary::EnumerateSessions() const {
  if (SessionSource source = CurrentTestSource()) return source();
  if (!loaded_) return std::nullopt;
  if (!needs_library_) {
    return std::vector<Session>{{static_cast<uint32_t>(::getsid(0)), true, ::getuid()}};
  }
  if (active_ == nullptr) {
    SetLastError(kErrorProcNotFound);
    return std::nullopt;
  }
  char* session = nullptr;
  uid_t uid = 0;
  const int rc = reinterpret_cast<SeatGetActive>(active_)(kSeat, &session, &uid);
  if (rc < 0) {
    // A machine without logind, without seat0, or with nobody at it: the
    // list is readable and empty. Anything else means it cannot be read.
    if (rc == -ENXIO || rc == -ENOENT || rc == -ENODATA) return std::vector<Session>{};
    ErrorFromErrno(-rc, kSeat);
    return std::nullopt;
  }
  std::vector<Session> sessions;
  sessions.push_back({SessionIdOfName(session ? session : ""), true, uid});
  std::free(session);
  return sessions;
}

uint32_t SessionLibrary::ActiveConsoleSessionId() const {
  if (!has_session_calls()) return kNoSession;
  const auto sessions = EnumerateSessions();
  if (!sessions) return kNoSession;
  for (const Session& s : *sessions) {
    if (s.active) return s.id;
  }
  return kNoSession;
}

std::optional<UserToken> SessionLibrary::QueryUserToken(uint32_t session_id) const {
  const auto sessions = EnumerateSessions();
  if (sessions) {
    for (const Session& s : *sessions) {
      if (s.id == session_id && s.active) return TokenForUid(s.uid);
    }
  }
  SetLastError(kErrorNoToken);
  return std::nullopt;
}

std::optional<uid_t> SessionLibrary::ActiveConsoleUid() const {
  const auto sessions = EnumerateSessions();
  if (!sessions) return std::nullopt;
  for (const Session& s : *sessions) {
    if (s.active) return s.uid;
  }
  SetLastError(kErrorNoToken);
  return std::nullopt;
}

void SetSessionSourceForTest(SessionSource source) {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  TestSource() = std::move(source);
}

void SetSessionLibraryNameForTest(std::string name) {
  std::lock_guard<std::mutex> guard(g_seam_mutex);
  LibraryName() = name.empty() ? std::string(kDefaultLibrary) : std::move(name);
}

}  // namespace os
