#include "os/linux/confined_path.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>

#include "os/parent_directory_cache.h"
#include "os/text.h"

namespace os {
namespace {

// Root bytes -> how many tasks use it. Never destroyed: task maps release
// their roots from static destructors, in whatever order those run.
struct Roots {
  std::mutex mutex;
  std::map<std::string, int> counts;  // guarded by mutex
};

Roots& TheRoots() {
  static Roots* const roots = new Roots;
  return *roots;
}

std::atomic<bool> g_walk_only{false};

// Well under PATH_MAX, so that one piece of a long path always opens.
constexpr std::size_t kPieceBytes = 3000;

std::string WithoutTrailingSeparators(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The longest root that holds path, and the rest of the path below it.
bool FindRoot(const std::string& path, std::string* root, std::string* rest) {
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  const std::string* best = nullptr;
  for (const auto& entry : roots.counts) {
    const std::string& candidate = entry.first;
    if (path.compare(0, candidate.size(), candidate) != 0) continue;
    if (path.size() > candidate.size() && candidate != "/" && path[candidate.size()] != '/') {
      continue;
    }
    if (best == nullptr || candidate.size() > best->size()) best = &candidate;
  }
  if (best == nullptr) return false;
  *root = *best;
  const std::size_t start = path.find_first_not_of('/', best->size());
  *rest = start == std::string::npos ? std::string() : path.substr(start);
  return true;
}

// Calls open_piece(piece) for consecutive pieces of rel, each cut at a
// separator and short enough for the kernel. 0 or the first errno.
template <typename OpenPiece>
int ForEachPiece(const std::string& rel, OpenPiece open_piece) {
  std::size_t pos = 0;
  while (pos < rel.size()) {
    std::size_t end = rel.size();
    if (end - pos > kPieceBytes) {
      end = rel.rfind('/', pos + kPieceBytes);
      if (end == std::string::npos || end <= pos) return ENAMETOOLONG;
    }
    if (const int err = open_piece(rel.substr(pos, end - pos))) return err;
    pos = end + 1;
  }
  return 0;
}

int WalkOneByOne(UniqueFd* fd, const std::string& piece) {
  std::size_t pos = 0;
  while (pos <= piece.size()) {
    std::size_t end = piece.find('/', pos);
    if (end == std::string::npos) end = piece.size();
    const std::string name = piece.substr(pos, end - pos);
    pos = end + 1;
    if (name.empty() || name == ".") continue;
    if (name == "..") return ELOOP;
    UniqueFd next(::openat(fd->get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) return errno;
    struct stat st;
    if (::fstat(next.get(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ELOOP;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    *fd = std::move(next);
  }
  return 0;
}

// Replaces *fd by the directory rel below it, following no link and never
// leaving it.
int OpenBeneath(UniqueFd* fd, const std::string& rel) {
  static std::atomic<bool> no_openat2{false};
  return ForEachPiece(rel, [&](const std::string& piece) {
    if (!g_walk_only.load(std::memory_order_relaxed) && !no_openat2.load()) {
      struct open_how how = {};
      how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
      how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
      for (int attempt = 0; attempt < 8; ++attempt) {
        const long next = ::syscall(SYS_openat2, fd->get(), piece.c_str(), &how, sizeof how);
        if (next >= 0) {
          fd->Reset(static_cast<int>(next));
          return 0;
        }
        // A rename elsewhere on the file system can ask for a second try.
        if (errno == EAGAIN) continue;
        if (errno == EXDEV) return ELOOP;  // ".." would climb out of the root
        if (errno != ENOSYS && errno != EPERM) return errno;
        break;
      }
      // No openat2 here (or a filter forbids it): walk instead.
      no_openat2.store(true);
    }
    return WalkOneByOne(fd, piece);
  });
}

// Opens an absolute directory the usual way, links followed.
int OpenFollowing(const std::string& dir, UniqueFd* out) {
  if (dir.size() < kPieceBytes || dir[0] != '/') {
    out->Reset(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return out->valid() ? 0 : errno;
  }
  out->Reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!out->valid()) return errno;
  return ForEachPiece(dir.substr(1), [&](const std::string& piece) {
    out->Reset(::openat(out->get(), piece.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    return out->valid() ? 0 : errno;
  });
}

void SplitLast(const std::string& path, std::string* parent, std::string* name) {
  const auto cut = path.rfind('/');
  if (cut == std::string::npos) {
    *parent = ".";
    *name = path;
  } else {
    *parent = cut == 0 ? std::string("/") : path.substr(0, cut);
    *name = path.substr(cut + 1);
  }
  if (name->empty()) *name = ".";
}

}  // namespace

void AddConfinedRoot(const std::wstring& root) {
  if (root.empty()) return;
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  ++roots.counts[WithoutTrailingSeparators(ToUtf8(root))];
}

void RemoveConfinedRoot(const std::wstring& root) {
  if (root.empty()) return;
  Roots& roots = TheRoots();
  std::lock_guard<std::mutex> lock(roots.mutex);
  const auto it = roots.counts.find(WithoutTrailingSeparators(ToUtf8(root)));
  if (it != roots.counts.end() && --it->second <= 0) roots.counts.erase(it);
}

int OpenParentDirectory(const std::string& raw_path, ParentDirectory* out) {
  const std::string path = WithoutTrailingSeparators(raw_path);
  std::string root;
  std::string rest;
  const bool confined = FindRoot(path, &root, &rest);
  std::string directory;
  if (confined && rest.empty()) {
    directory = root;
    out->name = ".";
  } else {
    SplitLast(path, &directory, &out->name);
  }
  // How a directory was resolved is part of its key: the same text may name
  // a directory resolved beneath a root and, once that root is gone, one
  // resolved the usual way.
  const std::string key = (confined ? "c" : "f") + directory;
  ParentDirectoryCache* const cache = ParentDirectoryCache::Current();
  if (cache != nullptr) {
    if (auto kept = cache->Find(key)) {
      out->fd.Share(std::move(kept));
      return 0;
    }
  }
  UniqueFd fd;
  if (confined) {
    if (const int err = OpenFollowing(root, &fd)) {
      if (!rest.empty()) return err;
      // A root that is missing is created through its parent like any path
      // outside the trees; rare enough to go uncached.
      SplitLast(path, &directory, &out->name);
      if (const int parent_err = OpenFollowing(directory, &fd)) return parent_err;
      out->fd.Own(std::move(fd));
      return 0;
    }
    const auto cut = rest.rfind('/');
    if (!rest.empty() && cut != std::string::npos) {
      if (const int err = OpenBeneath(&fd, rest.substr(0, cut))) return err;
    }
  } else if (const int err = OpenFollowing(directory, &fd)) {
    return err;
  }
  if (cache != nullptr) {
    out->fd.Share(cache->Keep(key, std::move(fd)));
  } else {
    out->fd.Own(std::move(fd));
  }
  return 0;
}

int OpenBelow(const std::string& root, const std::string& rel, int flags) {
  UniqueFd fd;
  int err = OpenFollowing(WithoutTrailingSeparators(root), &fd);
  if (err == 0 && !rel.empty()) err = OpenBeneath(&fd, rel);
  if (err != 0) {
    errno = err;
    return -1;
  }
  // "." of a directory is that directory: no name is looked up again.
  return ::openat(fd.get(), ".", flags | O_DIRECTORY | O_CLOEXEC);
}

int OpenDirectoryForListing(const std::string& path) {
  ParentDirectory parent;
  if (const int err = OpenParentDirectory(path, &parent)) {
    errno = err;
    return -1;
  }
  const int fd = ::openat(parent.fd.get(), parent.name.c_str(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  struct stat st;
  // O_DIRECTORY speaks first: a link there says "not a directory".
  if (fd < 0 && errno == ENOTDIR &&
      ::fstatat(parent.fd.get(), parent.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    errno = ELOOP;
  }
  return fd;
}

void UseComponentWalkForTest(bool on) { g_walk_only.store(on); }

}  // namespace os
