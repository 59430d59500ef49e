#include "control_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace host {
namespace {

// Upper bounds that keep a confused peer from making us allocate without end.
constexpr uint32_t kMaxStrings = 256;
constexpr uint32_t kMaxStringBytes = 1 << 24;

// The socket's address through the directory's descriptor, so a long data
// directory path does not run past sun_path.
struct SocketAddress {
  UniqueFd dir;
  sockaddr_un address{};
};

bool MakeAddress(const std::filesystem::path& data_dir, SocketAddress& out) {
  out.dir = UniqueFd(::open(data_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!out.dir.valid()) return false;
  out.address.sun_family = AF_UNIX;
  const std::string path =
      "/proc/self/fd/" + std::to_string(out.dir.get()) + "/" + std::string(kSocketName);
  std::strncpy(out.address.sun_path, path.c_str(), sizeof out.address.sun_path - 1);
  return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t size) {
  char* bytes = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t n = ::recv(fd, bytes, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

UniqueFd ListenOnSocket(const std::filesystem::path& data_dir, std::string* error) {
  SocketAddress where;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!MakeAddress(data_dir, where) || !fd.valid()) {
    *error = std::strerror(errno);
    return {};
  }
  ::unlinkat(where.dir.get(), kSocketName, 0);
  // Created without group or other access from the start, not chmod-ed after.
  const mode_t old_mask = ::umask(0177);
  const int bound =
      ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&where.address), sizeof where.address);
  const int bind_errno = errno;
  ::umask(old_mask);
  if (bound != 0 || ::listen(fd.get(), 16) != 0) {
    *error = std::strerror(bound != 0 ? bind_errno : errno);
    return {};
  }
  return fd;
}

UniqueFd ConnectToDaemon(const std::filesystem::path& data_dir) {
  SocketAddress where;
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.valid() || !MakeAddress(data_dir, where)) return {};
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&where.address),
                sizeof where.address) != 0) {
    return {};
  }
  return fd;
}

bool SendStrings(int fd, const std::vector<std::string>& strings) {
  const auto count = static_cast<uint32_t>(strings.size());
  if (!WriteAll(fd, &count, sizeof count)) return false;
  for (const std::string& s : strings) {
    const auto size = static_cast<uint32_t>(s.size());
    if (!WriteAll(fd, &size, sizeof size) || !WriteAll(fd, s.data(), s.size())) return false;
  }
  return true;
}

std::optional<std::vector<std::string>> ReceiveStrings(int fd) {
  uint32_t count = 0;
  if (!ReadAll(fd, &count, sizeof count) || count > kMaxStrings) return std::nullopt;
  std::vector<std::string> strings(count);
  for (std::string& s : strings) {
    uint32_t size = 0;
    if (!ReadAll(fd, &size, sizeof size) || size > kMaxStringBytes) return std::nullopt;
    s.resize(size);
    if (!ReadAll(fd, s.data(), size)) return std::nullopt;
  }
  return strings;
}

bool PeerIsTrusted(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == ::getuid() || peer.uid == 0;
}

}  // namespace host
