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

// An address that names a file through a descriptor ("/proc/self/fd/N", then
// "/name" when given), so that a long data directory path does not run past
// sun_path.
sockaddr_un AddressThrough(int fd, const char* name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (name != nullptr) path += "/" + std::string(name);
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return address;
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
  const UniqueFd dir(::open(data_dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!dir.valid() || !fd.valid()) {
    *error = std::strerror(errno);
    return {};
  }
  struct stat st {};
  if (::fstatat(dir.get(), kSocketName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    // A stale socket is ours to replace; anything else there is not.
    if (!S_ISSOCK(st.st_mode)) {
      *error = "something that is not a socket is in its place";
      return {};
    }
    ::unlinkat(dir.get(), kSocketName, 0);
  }
  const sockaddr_un address = AddressThrough(dir.get(), kSocketName);
  // Nobody can connect before listen(), so narrowing the mode in between
  // leaves no moment of wider access, and the process-wide umask, which the
  // module's threads share, is left alone.
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::fchmodat(dir.get(), kSocketName, 0600, 0) != 0 || ::listen(fd.get(), 16) != 0) {
    *error = std::strerror(errno);
    return {};
  }
  return fd;
}

UniqueFd ConnectToDaemon(const std::filesystem::path& data_dir) {
  // The socket file is opened without following a link and reached through
  // that descriptor: a planted link never leads to some other socket.
  const UniqueFd file(::open((data_dir / kSocketName).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat st {};
  if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISSOCK(st.st_mode)) return {};
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const sockaddr_un address = AddressThrough(file.get(), nullptr);
  if (!fd.valid() ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
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
