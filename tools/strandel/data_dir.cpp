#include "data_dir.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/private_directory.h"

namespace host {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRunLockName = "strandel-run.lock";
constexpr const char* kSystemDataDir = "/var/lib/strandel";

}  // namespace

fs::path DefaultDataDir() {
  // Where systemd makes room for the root daemon of the system unit, so that
  // root's commands in a shell reach the same tasks.
  std::error_code ec;
  if (::geteuid() == 0 && fs::is_directory(kSystemDataDir, ec)) return kSystemDataDir;
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return fs::path(state) / "strandel";
  const char* home = std::getenv("HOME");
  return fs::path(home != nullptr && *home != '\0' ? home : "/") / ".local" / "state" / "strandel";
}

fs::path MakeAbsolute(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec).lexically_normal();
  if (ec) return {};
  if (!absolute.has_filename() && absolute != absolute.root_path()) {
    absolute = absolute.parent_path();
  }
  return absolute;
}

fs::path PrepareDataDir(const fs::path& dir, std::string* error) {
  const fs::path absolute = MakeAbsolute(dir);
  if (absolute.empty()) {
    *error = "cannot make " + dir.string() + " absolute: the current directory is gone";
    return {};
  }
  fs::path partial;
  for (const fs::path& part : absolute) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      *error = "cannot create " + partial.string() + ": " + std::strerror(errno);
      return {};
    }
  }
  const std::string why = os::WhyNotPrivateDirectory(
      absolute, {"Strandel.db", "Strandel.db.lock", "Report.dat", kRunLockName, kSocketName});
  if (!why.empty()) {
    *error = "refusing " + absolute.string() + ": " + why;
    return {};
  }
  return absolute;
}

UniqueFd TryLockDataDir(const fs::path& dir) {
  UniqueFd fd(
      ::open((dir / kRunLockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid() || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return {};
  return fd;
}

}  // namespace host
