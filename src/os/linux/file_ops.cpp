#include "os/file_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "os/linux/confined_path.h"
#include "os/file_attributes.h"
#include "os/last_error.h"
#include "os/linux/temp_files.h"
#include "os/temp_name.h"
#include "os/file_fault.h"
#include "os/text.h"
#include "os/linux/unique_fd.h"
#include "os/volumes.h"

namespace os {
namespace {


// Runs call unless the hook injects a failure; either way errno holds the
// cause when the result is -1.
template <typename Call>
auto Checked(std::string_view operation, const std::string& path, Call call) -> decltype(call()) {
  if (const int injected = FileFault(operation, path)) {
    errno = injected;
    return -1;
  }
  return call();
}

BOOL Fail(int err, const std::string& path, ErrnoContext context = ErrnoContext::kGeneric) {
  ErrorFromErrno(err, path, context);
  return FALSE;
}

// A refusal that no system call produced: the path is still kept for the trace.
BOOL Refuse(DWORD code, const std::string& path) {
  ErrorFromErrno(0, path);
  SetLastError(code);
  return FALSE;
}

// The parent of path opened under the confinement rule; -1 with errno set on
// failure.
int Locate(const std::string& path, ParentDirectory* at) {
  if (const int err = OpenParentDirectory(path, at)) {
    errno = err;
    return -1;
  }
  return 0;
}

// Describes the entry itself; -1 with errno set.
int StatAt(const ParentDirectory& at, struct stat* st) {
  return ::fstatat(at.fd.get(), at.name.c_str(), st, AT_SYMLINK_NOFOLLOW);
}

int StatNoFollow(const std::string& path, struct stat* st) {
  ParentDirectory at;
  return Locate(path, &at) == 0 ? StatAt(at, st) : -1;
}

// How often a source that keeps changing under the copy is read again.
constexpr int kCopyAttempts = 3;

bool SameVersion(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Removes the temporary file unless the copy got as far as giving it its name.
class TempGuard {
 public:
  explicit TempGuard(int dir_fd) : dir_fd_(dir_fd) {}
  ~TempGuard() {
    if (!name_.empty()) ::unlinkat(dir_fd_, name_.c_str(), 0);
  }
  TempGuard(const TempGuard&) = delete;
  TempGuard& operator=(const TempGuard&) = delete;
  void Set(std::string name) { name_ = std::move(name); }
  void Release() { name_.clear(); }

 private:
  int dir_fd_;
  std::string name_;
};

// A root module's copies belong to their source's owner, so that a copy in
// another user's folder is theirs and no one else gains access through it.
// The effective user only changes in a child about to run something else; a
// stale answer there makes fchown fail, which already falls back to owner-only.
bool KeepsOwners() {
  static const bool root = ::geteuid() == 0;
  return root;
}

// Another process holds the source so that a copy would be torn: an exclusive
// flock, or a POSIX/OFD write lock anywhere in the file (how SQLite marks a
// database being written). 0 when it is free, else the errno to report.
int LockedByOthers(int fd) {
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return errno;
  ::flock(fd, LOCK_UN);
  struct flock probe = {};
  probe.l_type = F_RDLCK;  // conflicts with write locks only
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) {
    // File systems without lock support have nothing to report.
    return (errno == EINVAL || errno == ENOLCK || errno == EOPNOTSUPP) ? 0 : errno;
  }
  return probe.l_type == F_UNLCK ? 0 : EWOULDBLOCK;
}

bool IsFallbackErrno(int err) {
  return err == EXDEV || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP || err == ENOTTY ||
         err == EBADF;
}

constexpr size_t kChunk = size_t{16} << 20;

// Devices (plus one, so that zero is a free slot) whose file system answered
// a clone with EOPNOTSUPP. Across file systems a clone fails with EXDEV
// first, so that answer speaks for the file system itself: copies from there
// never try again. Should a device number come back for another file
// system, the copy only loses a shortcut.
std::array<std::atomic<uint64_t>, 8> g_no_clone{};

bool CloneUnsupported(uint64_t device) {
  for (const auto& slot : g_no_clone) {
    if (slot.load(std::memory_order_relaxed) == device + 1) return true;
  }
  return false;
}

void RememberCloneUnsupported(uint64_t device) {
  for (auto& slot : g_no_clone) {
    uint64_t empty = 0;
    if (slot.compare_exchange_strong(empty, device + 1) || empty == device + 1) return;
  }
}

// Copies from the current offsets to the end of in, which lies on device.
// 0 or the errno of the failure; *on_source tells whether reading failed.
int CopyData(int in, int out, uint64_t device, uint64_t expected, const std::string& to,
             bool* on_source) {
  *on_source = false;
  if (const int injected = FileFault("copy-write", to)) return injected;
  if (!CloneUnsupported(device)) {
    if (::ioctl(out, FICLONE, in) == 0) return 0;
    if (errno == EOPNOTSUPP) RememberCloneUnsupported(device);
  }

  uint64_t done = 0;
  // Each in-kernel way runs to the end of the file, or gives way to the next.
  const std::function<ssize_t()> kernel_ways[] = {
      [&] { return ::copy_file_range(in, nullptr, out, nullptr, kChunk, 0); },
      [&] { return ::sendfile(out, in, nullptr, kChunk); },
  };
  for (const auto& step : kernel_ways) {
    for (;;) {
      if (const int injected = FileFault("copy-write", to)) return injected;
      const ssize_t n = step();
      if (n > 0) {
        done += static_cast<uint64_t>(n);
        // The size it was described with is what the copy stands for (its
        // time says so too); whatever was added since comes with the next
        // copy, which the grown size asks for. Spares a call per small file.
        if (expected > 0 && done >= expected) return 0;
        continue;
      }
      // Some pseudo file systems claim an empty file here; let a plain read decide.
      if (n == 0 && !(done == 0 && expected > 0)) return 0;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && !IsFallbackErrno(errno)) return errno;
      break;
    }
  }

  std::vector<char> buffer(size_t{1} << 20);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n == 0) return 0;
    if (n < 0) {
      if (errno == EINTR) continue;
      *on_source = true;
      return errno;
    }
    for (ssize_t written = 0; written < n;) {
      if (const int injected = FileFault("copy-write", to)) return injected;
      const ssize_t w = ::write(out, buffer.data() + written, static_cast<size_t>(n - written));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      written += w;
    }
  }
}

// Gives the temporary its final name in the same directory: never over an
// existing file when no_replace. 0 or the errno of the failure.
int PutInPlace(const ParentDirectory& at, const std::string& temp, const std::string& to,
               bool no_replace) {
  const int dir = at.fd.get();
  if (!no_replace) {
    return Checked("rename", to,
                   [&] { return ::renameat(dir, temp.c_str(), dir, at.name.c_str()); }) == 0
               ? 0
               : errno;
  }
  if (Checked("rename", to, [&] {
        return ::renameat2(dir, temp.c_str(), dir, at.name.c_str(), RENAME_NOREPLACE);
      }) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  // No RENAME_NOREPLACE here: a second link fails just the same on an existing
  // name, and the temporary name is dropped afterwards.
  if (Checked("link", to, [&] { return ::linkat(dir, temp.c_str(), dir, at.name.c_str(), 0); }) !=
      0) {
    return errno;
  }
  ::unlinkat(dir, temp.c_str(), 0);
  return 0;
}

// Creates a fresh temporary in the target's directory with make(name); gives
// its name, or an empty string with errno set.
template <typename Make>
std::string CreateTemporary(Make make) {
  for (int attempt = 0;; ++attempt) {
    std::string temp = TempName();
    if (make(temp)) return temp;
    if (errno != EEXIST || attempt == 8) return std::string();
  }
}

BOOL CopyLink(const ParentDirectory& source_at, const std::string& from,
              const ParentDirectory& target_at, const std::string& to, const struct stat& source,
              bool no_replace) {
  std::vector<char> target(static_cast<size_t>(source.st_size) + 1);
  for (;;) {
    const ssize_t n = Checked("readlink", from, [&] {
      return ::readlinkat(source_at.fd.get(), source_at.name.c_str(), target.data(), target.size());
    });
    if (n < 0) return Fail(errno, from, ErrnoContext::kCopy);
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      break;
    }
    target.resize(target.size() * 2);  // the link changed since it was described
  }
  target.push_back('\0');

  const int dir = target_at.fd.get();
  TempGuard guard(dir);
  // A link cannot be locked: no sweep of this process looks until it is named.
  const auto making = HoldTemporaries();
  const std::string temp = CreateTemporary([&](const std::string& name) {
    return Checked("symlink", to, [&] { return ::symlinkat(target.data(), dir, name.c_str()); }) ==
           0;
  });
  if (temp.empty()) return Fail(errno, to, ErrnoContext::kCopy);
  guard.Set(temp);
  if (KeepsOwners()) {
    ::fchownat(dir, temp.c_str(), source.st_uid, source.st_gid, AT_SYMLINK_NOFOLLOW);
  }
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  // Some file systems cannot time a link; the link itself is what matters.
  ::utimensat(dir, temp.c_str(), times, AT_SYMLINK_NOFOLLOW);
  if (const int err = PutInPlace(target_at, temp, to, no_replace)) {
    return Fail(err, to, ErrnoContext::kCopy);
  }
  guard.Release();
  return TRUE;
}

// Gives a new copy its source's owner (as root) and permission bits, never a
// set-user-id bit. Where the owner cannot be kept, only the owner keeps access.
int ApplyOwnerAndMode(int fd, const struct stat& source, const std::string& to) {
  mode_t mode = source.st_mode & (S_ISDIR(source.st_mode) ? (07777 & ~S_ISUID) : 0777);
  if (KeepsOwners() && ::fchown(fd, source.st_uid, source.st_gid) != 0) mode &= 0700;
  return Checked("chmod", to, [&] { return ::fchmod(fd, mode); }) == 0 ? 0 : errno;
}

void Describe(const struct stat& st, const std::string& name, int parent_fd, FileStatus* status) {
  status->is_directory = S_ISDIR(st.st_mode);
  status->is_symlink = S_ISLNK(st.st_mode);
  status->is_regular = S_ISREG(st.st_mode);
  status->size = static_cast<uint64_t>(st.st_size);
  status->mtime_sec = st.st_mtim.tv_sec;
  status->mtime_nsec = st.st_mtim.tv_nsec;
  status->atime_sec = st.st_atim.tv_sec;
  status->atime_nsec = st.st_atim.tv_nsec;
  status->attributes = AttributesOf(st.st_mode, name, parent_fd);
  status->device = st.st_dev;
  status->inode = st.st_ino;
  status->mode = st.st_mode & 07777;
  status->uid = st.st_uid;
  status->gid = st.st_gid;
}

}  // namespace

bool GetFileStatus(const std::wstring& path, FileStatus* status) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  struct stat st;
  if (Checked("stat", bytes, [&] { return Locate(bytes, &at) == 0 ? StatAt(at, &st) : -1; }) != 0) {
    Fail(errno, bytes);
    return false;
  }
  Describe(st, at.name, at.fd.get(), status);
  return true;
}

bool PathExists(const std::wstring& path) {
  struct stat st;
  return StatNoFollow(ToUtf8(path), &st) == 0;
}

BOOL CopyFile(const std::wstring& from_w, const std::wstring& to_w, BOOL fail_if_exists,
              const std::function<void(const CopiedVersion&)>& announce) {
  const std::string from = ToUtf8(from_w);
  const std::string to = ToUtf8(to_w);
  const bool no_replace = fail_if_exists != FALSE;

  ParentDirectory source_at;
  struct stat source;
  if (Checked("stat", from, [&] {
        return Locate(from, &source_at) == 0 ? StatAt(source_at, &source) : -1;
      }) != 0) {
    return Fail(errno, from, ErrnoContext::kCopy);
  }
  if (S_ISDIR(source.st_mode)) return Fail(EISDIR, from, ErrnoContext::kCopy);
  // Opening a FIFO would stall the caller, a device could be endless.
  if (!S_ISREG(source.st_mode) && !S_ISLNK(source.st_mode)) {
    return Refuse(ERROR_NOT_SUPPORTED, from);
  }

  ParentDirectory target_at;
  if (Locate(to, &target_at) != 0) return Fail(errno, to, ErrnoContext::kCopy);
  // A cheap early answer for a replacement; a copy that must not replace is
  // guarded by its final step alone, as callers have just seen the name free.
  struct stat target;
  const bool target_found = !no_replace && StatAt(target_at, &target) == 0;
  if (target_found && S_ISDIR(target.st_mode)) return Fail(EISDIR, to, ErrnoContext::kCopy);

  if (S_ISLNK(source.st_mode)) {
    return CopyLink(source_at, from, target_at, to, source, no_replace);
  }

  // O_NONBLOCK: should a FIFO have taken the file's place since it was
  // described, opening it must not wait for a writer.
  UniqueFd in(Checked("open-source", from, [&] {
    return ::openat(source_at.fd.get(), source_at.name.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }));
  if (in.get() < 0) return Fail(errno, from, ErrnoContext::kCopy);
  if (::fstat(in.get(), &source) != 0) return Fail(errno, from, ErrnoContext::kCopy);
  if (!S_ISREG(source.st_mode)) return Refuse(ERROR_NOT_SUPPORTED, from);
  if (const int err = LockedByOthers(in.get())) return Fail(err, from, ErrnoContext::kCopy);

  const int dir = target_at.fd.get();
  TempGuard guard(dir);
  UniqueFd out;
  std::string temp;
  {
    const auto making = HoldTemporaries();
    temp = CreateTemporary([&](const std::string& name) {
      out.Reset(Checked("copy-create", to, [&] {
        return ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
      }));
      return out.valid();
    });
    if (temp.empty()) return Fail(errno, to, ErrnoContext::kCopy);
    guard.Set(temp);
    LockTemporary(out.get());
  }

  for (int attempt = 1;; ++attempt) {
    bool on_source = false;
    if (const int err = CopyData(in.get(), out.get(), source.st_dev,
                                 static_cast<uint64_t>(source.st_size), to, &on_source)) {
      return Fail(err, on_source ? from : to, ErrnoContext::kCopy);
    }
    // Written to while it was read, the copy may hold a torn mix of both
    // versions under the older one's time: read it again while that helps.
    struct stat after;
    if (::fstat(in.get(), &after) != 0) return Fail(errno, from, ErrnoContext::kCopy);
    const bool whole = SameVersion(after, source);
    after.st_atim = source.st_atim;  // the copy's own reading is no access to keep
    source = after;
    if (whole || attempt == kCopyAttempts) break;
    if (::ftruncate(out.get(), 0) != 0 || ::lseek(out.get(), 0, SEEK_SET) != 0 ||
        ::lseek(in.get(), 0, SEEK_SET) != 0) {
      return Fail(errno, to, ErrnoContext::kCopy);
    }
  }
  if (const int err = ApplyOwnerAndMode(out.get(), source, to)) {
    return Fail(err, to, ErrnoContext::kCopy);
  }
  const struct timespec times[2] = {source.st_atim, source.st_mtim};
  if (Checked("utimens", to, [&] { return ::futimens(out.get(), times); }) != 0) {
    return Fail(errno, to, ErrnoContext::kCopy);
  }
  // What is announced is what was written, not what the source was described
  // as: a writer on the source within one tick of the clock can make the two
  // differ in size under one time.
  struct stat written{};
  if (announce && ::fstat(out.get(), &written) != 0) return Fail(errno, to, ErrnoContext::kCopy);
  // When a target is replaced, the data must be on disk before the name is,
  // or a crash could leave an empty file where the old version was.
  // fdatasync: the size goes with the data; mode and times need not, and a
  // stale time only means a second copy. A new target has no old version to
  // lose: after a crash it may be short, the source is whole, and the next
  // comparison sees the sizes differ and copies again.
  struct stat existing;
  const bool replaces = !no_replace && StatAt(target_at, &existing) == 0;
  // Another writer changed the target since the copy began: its version is
  // newer news than this one, and its own change brings it across.
  if (!no_replace && (replaces != target_found ||
                      (replaces && (existing.st_ino != target.st_ino ||
                                    existing.st_dev != target.st_dev ||
                                    !SameVersion(existing, target))))) {
    return Fail(EEXIST, to, ErrnoContext::kCopy);
  }
  if (replaces && Checked("fsync", to, [&] { return ::fdatasync(out.get()); }) != 0) {
    return Fail(errno, to, ErrnoContext::kCopy);
  }
  // Closing unlocks the temporary; it is closed before it is named so that
  // its last close is seen under the temporary's name, not the target's.
  const auto naming = HoldTemporaries();
  if (out.Close() != 0) return Fail(errno, to, ErrnoContext::kCopy);
  in.Reset();
  if (announce) {
    announce({static_cast<uint64_t>(written.st_size), written.st_mtim.tv_sec,
              written.st_mtim.tv_nsec});
  }
  if (const int err = PutInPlace(target_at, temp, to, no_replace)) {
    return Fail(err, to, ErrnoContext::kCopy);
  }
  guard.Release();
  return TRUE;
}

BOOL MoveFile(const std::wstring& from_w, const std::wstring& to_w) {
  const std::string from = ToUtf8(from_w);
  const std::string to = ToUtf8(to_w);
  ParentDirectory source_at;
  if (Locate(from, &source_at) != 0) return Fail(errno, from);
  ParentDirectory target_at;
  if (Locate(to, &target_at) != 0) return Fail(errno, to);
  if (Checked("rename", from, [&] {
        return ::renameat(source_at.fd.get(), source_at.name.c_str(), target_at.fd.get(),
                          target_at.name.c_str());
      }) != 0) {
    // The source missing is the likelier news than the target's directory.
    const int err = errno;
    struct stat st;
    return Fail(err, (err == ENOENT && StatAt(source_at, &st) == 0) ? to : from);
  }
  return TRUE;
}

BOOL DeleteFile(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  if (Checked("unlink", bytes, [&] {
        return Locate(bytes, &at) == 0 ? ::unlinkat(at.fd.get(), at.name.c_str(), 0) : -1;
      }) != 0) {
    return Fail(errno, bytes);
  }
  return TRUE;
}

BOOL RemoveDirectory(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  if (Checked("rmdir", bytes, [&] {
        return Locate(bytes, &at) == 0 ? ::unlinkat(at.fd.get(), at.name.c_str(), AT_REMOVEDIR)
                                       : -1;
      }) != 0) {
    return Fail(errno, bytes);
  }
  return TRUE;
}

BOOL SetPlainAttributes(const std::wstring& path) {
  const std::string bytes = ToUtf8(path);
  ParentDirectory at;
  struct stat st;
  if (Checked("stat", bytes, [&] { return Locate(bytes, &at) == 0 ? StatAt(at, &st) : -1; }) != 0) {
    return Fail(errno, bytes);
  }
  // A link has no mode of its own, and chmod would change what it points to.
  if (S_ISLNK(st.st_mode) || (st.st_mode & S_IWUSR) != 0) return TRUE;
  if (Checked("chmod", bytes, [&] {
        return ::fchmodat(at.fd.get(), at.name.c_str(), (st.st_mode & 07777) | S_IWUSR,
                          AT_SYMLINK_NOFOLLOW);
      }) != 0) {
    return Fail(errno, bytes);
  }
  return TRUE;
}

BOOL SetLastWriteTime(const std::wstring& path, int64_t sec, int64_t nsec) {
  const std::string bytes = ToUtf8(path);
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(sec);
  times[1].tv_nsec = static_cast<long>(nsec);
  ParentDirectory at;
  if (Checked("utimens", bytes, [&] {
        return Locate(bytes, &at) == 0
                   ? ::utimensat(at.fd.get(), at.name.c_str(), times, AT_SYMLINK_NOFOLLOW)
                   : -1;
      }) != 0) {
    return Fail(errno, bytes);
  }
  return TRUE;
}

BOOL CopyOwnerAndMode(const std::wstring& from_w, const std::wstring& to_w) {
  const std::string from = ToUtf8(from_w);
  const std::string to = ToUtf8(to_w);
  struct stat source;
  if (StatNoFollow(from, &source) != 0) return Fail(errno, from);
  ParentDirectory target_at;
  struct stat target;
  if (Locate(to, &target_at) != 0 || StatAt(target_at, &target) != 0) return Fail(errno, to);
  // Links have no mode of their own; entries of different kinds are a
  // change of contents, not of permissions.
  if (S_ISLNK(source.st_mode) || (source.st_mode & S_IFMT) != (target.st_mode & S_IFMT)) {
    return TRUE;
  }
  const int dir = target_at.fd.get();
  const char* name = target_at.name.c_str();
  const bool new_owner =
      KeepsOwners() && (source.st_uid != target.st_uid || source.st_gid != target.st_gid);
  if (new_owner && Checked("chown", to, [&] {
        return ::fchownat(dir, name, source.st_uid, source.st_gid, AT_SYMLINK_NOFOLLOW);
      }) != 0) {
    return Fail(errno, to);
  }
  const mode_t mode = source.st_mode & (S_ISDIR(source.st_mode) ? (07777 & ~S_ISUID) : 0777);
  // A change of owner clears set-id bits, so the mode is set again after it.
  // Nothing is written when nothing differs: the watch of a two-way task's
  // other side would take the touch for a change and send it back.
  if ((target.st_mode & 07777) != mode || new_owner) {
    if (Checked("chmod", to, [&] { return ::fchmodat(dir, name, mode, AT_SYMLINK_NOFOLLOW); }) !=
        0) {
      return Fail(errno, to);
    }
  }
  return TRUE;
}

struct DirectoryListing::State {
  DIR* dir = nullptr;
  std::string path;
  std::string last;  // the name Next gave last
  ~State() {
    if (dir != nullptr) ::closedir(dir);
  }
};

DirectoryListing::DirectoryListing() = default;
DirectoryListing::~DirectoryListing() = default;

bool DirectoryListing::Open(const std::wstring& dir) {
  state_.reset();
  auto state = std::make_unique<State>();
  state->path = ToUtf8(dir);
  UniqueFd fd(
      Checked("opendir", state->path, [&] { return OpenDirectoryForListing(state->path); }));
  if (!fd.valid()) {
    Fail(errno, state->path);
    return false;
  }
  state->dir = ::fdopendir(fd.get());
  if (state->dir == nullptr) {
    Fail(errno, state->path);
    return false;
  }
  fd.Release();
  state_ = std::move(state);
  return true;
}

bool DirectoryListing::Next(std::wstring* name, bool* is_directory) {
  if (!state_) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(state_->dir);
    if (entry == nullptr) {
      if (errno != 0) {
        Fail(errno, state_->path);
      } else {
        SetLastError(ERROR_SUCCESS);
      }
      return false;
    }
    const std::string_view entry_name(entry->d_name);
    if (entry_name == "." || entry_name == "..") continue;
    bool directory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::fstatat(::dirfd(state_->dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        continue;  // gone since readdir
      }
      directory = S_ISDIR(st.st_mode);
    }
    state_->last.assign(entry_name);
    *name = FromUtf8(entry_name);
    *is_directory = directory;
    return true;
  }
}

bool DirectoryListing::DescribeLast(FileStatus* status) {
  if (!state_ || state_->last.empty()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const int dir = ::dirfd(state_->dir);
  const std::string& name = state_->last;
  const auto path = [&] {
    return state_->path.ends_with('/') ? state_->path + name : state_->path + "/" + name;
  };
  // The path is spelled out only when a test hook or a failure needs it.
  const int injected = HasFileFault() ? FileFault("stat", path()) : 0;
  struct stat st;
  if (injected != 0 || ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    Fail(injected != 0 ? injected : errno, path());
    return false;
  }
  Describe(st, name, dir, status);
  return true;
}

bool IsSameFile(const std::wstring& a, const std::wstring& b) {
  struct stat sa;
  struct stat sb;
  return StatNoFollow(ToUtf8(a), &sa) == 0 && StatNoFollow(ToUtf8(b), &sb) == 0 &&
         sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

namespace {

// An open regular file or the text of a link, described as itself.
struct Opened {
  struct stat st;
  UniqueFd fd;
  std::string link;
};

bool OpenForComparison(const std::string& path, Opened* out) {
  ParentDirectory at;
  if (Locate(path, &at) != 0 || StatAt(at, &out->st) != 0) return false;
  if (S_ISLNK(out->st.st_mode)) {
    char text[4096];
    const ssize_t n = ::readlinkat(at.fd.get(), at.name.c_str(), text, sizeof text);
    if (n < 0) return false;
    out->link.assign(text, static_cast<std::size_t>(n));
    return true;
  }
  if (!S_ISREG(out->st.st_mode)) return false;
  out->fd.Reset(
      ::openat(at.fd.get(), at.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  return out->fd.valid();
}

}  // namespace

bool HaveSameContents(const std::wstring& a, const std::wstring& b) {
  Opened fa;
  Opened fb;
  if (!OpenForComparison(ToUtf8(a), &fa) || !OpenForComparison(ToUtf8(b), &fb)) return false;
  if (S_ISLNK(fa.st.st_mode) || S_ISLNK(fb.st.st_mode)) {
    return S_ISLNK(fa.st.st_mode) && S_ISLNK(fb.st.st_mode) && fa.link == fb.link;
  }
  if (fa.st.st_size != fb.st.st_size) return false;
  std::vector<char> ba(1 << 16);
  std::vector<char> bb(1 << 16);
  for (;;) {
    const ssize_t na = ::read(fa.fd.get(), ba.data(), ba.size());
    ssize_t nb = 0;
    // The second file may answer in smaller pieces: read until it matches na.
    while (na > 0 && nb < na) {
      const ssize_t n = ::read(fb.fd.get(), bb.data() + nb, static_cast<std::size_t>(na - nb));
      if (n <= 0) break;
      nb += n;
    }
    if (na <= 0) {
      char extra;
      return na == 0 && ::read(fb.fd.get(), &extra, 1) == 0;
    }
    if (nb != na || std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)) != 0) {
      return false;
    }
  }
}

int64_t TimeResolutionNsOfType(std::string_view fs_type) {
  constexpr int64_t kSecond = 1'000'000'000;
  if (fs_type == "vfat" || fs_type == "msdos") return 2 * kSecond;
  // fuseblk is most often ntfs-3g, but exFAT and FAT drivers use it too.
  if (fs_type == "fuseblk") return 2 * kSecond;
  if (fs_type == "exfat") return 10'000'000;
  if (fs_type == "ntfs" || fs_type == "ntfs3") return 100;
  return 1;
}

int64_t TimeResolutionNs(const std::wstring& path) {
  const auto mount = MountOf(path);
  return mount ? TimeResolutionNsOfType(mount->fs_type) : 1;
}


}  // namespace os
