// The watches of each handle's subtree: added through an open descriptor,
// shared between handles with a count of users, moved along when a
// directory is renamed, and walked again after a lost batch. A walk clears
// away the temporaries that killed copies left.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "os/linux/confined_path.h"
#include "os/linux/directory_watch_state.h"
#include "os/last_error.h"
#include "os/linux/temp_files.h"
#include "os/temp_name.h"
#include "os/text.h"

namespace os {
namespace {

constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_UNMOUNT | IN_ONLYDIR | IN_EXCL_UNLINK;

}  // namespace

std::string CompletionPort::Impl::DisplayPath(const Handle* h, const std::string& rel) const {
  return rel.empty() ? h->root : h->root + kPathSeparatorA + rel;
}

// No symbolic link below the root is followed, and paths longer than
// PATH_MAX still open.
UniqueFd CompletionPort::Impl::OpenDirectory(const Handle* h, const std::string& rel) {
  return UniqueFd(OpenBelow(h->root, rel, O_RDONLY));
}

// Looks at an entry without following a link, on the way or at its name.
bool CompletionPort::Impl::StatAt(const Handle* h, const std::string& rel, const std::string& name,
                                  struct stat* st) {
  const UniqueFd dir(OpenBelow(h->root, rel, O_PATH));
  return dir.valid() && ::fstatat(dir.get(), name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

// DT_* of an entry; DT_UNKNOWN when it is gone.
unsigned char CompletionPort::Impl::TypeAt(const Handle* h, const std::string& rel,
                                           const std::string& name) {
  struct stat st;
  return StatAt(h, rel, name, &st) ? DirentTypeOf(st.st_mode)
                                   : static_cast<unsigned char>(DT_UNKNOWN);
}

std::vector<CompletionPort::Impl::User> CompletionPort::Impl::UsersOf(int wd) const {
  const auto it = watches.find(wd);
  return it == watches.end() ? std::vector<User>() : it->second;
}

CompletionPort::Impl::AddResult CompletionPort::Impl::AddWatch(Handle* h, int dir_fd,
                                                               const std::string& rel) {
  // Through the open descriptor, so the watch lands on the very directory
  // that was opened without following links.
  char proc_path[48];
  std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", dir_fd);
  int wd = ::inotify_add_watch(inotify_fd.get(), proc_path, kWatchMask);
  if (wd < 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
    wd = ::inotify_add_watch(inotify_fd.get(), DisplayPath(h, rel).c_str(),
                             kWatchMask | IN_DONT_FOLLOW);
  }
  if (wd < 0) {
    const int err = errno;
    const std::string dir = DisplayPath(h, rel);
    ErrorFromErrno(err, dir);
    if (err == ENOSPC) {
      // A user namespace may hold its processes to a lower limit of its own.
      const std::string machine = ReadProcValue("/proc/sys/fs/inotify/max_user_watches");
      const std::string own = ReadProcValue("/proc/sys/user/max_inotify_watches");
      Trace("inotify watch limit reached (/proc/sys/fs/inotify/max_user_watches = " + machine +
            (own != machine ? ", /proc/sys/user/max_inotify_watches = " + own : "") +
            "), cannot watch " + dir);
      h->limited = true;
      SetOverflow(h);
      return AddResult::kLimit;
    }
    Trace("Cannot watch " + dir + ": " + std::strerror(err));
    return AddResult::kFailed;
  }
  const auto it = h->dirs.find(rel);
  if (it != h->dirs.end()) {
    if (it->second == wd) return AddResult::kAlready;
    ReleaseWatch(h, rel);
  }
  h->dirs.emplace(rel, wd);
  watches[wd].push_back({h, rel});
  return AddResult::kAdded;
}

// rel by value: callers pass keys of the map this erases from.
void CompletionPort::Impl::ReleaseWatch(Handle* h, std::string rel) {
  const auto it = h->dirs.find(rel);
  if (it == h->dirs.end()) return;
  const int wd = it->second;
  h->dirs.erase(it);
  const auto w = watches.find(wd);
  if (w == watches.end()) return;
  auto& users = w->second;
  for (auto u = users.begin(); u != users.end(); ++u) {
    if (u->handle == h && u->rel == rel) {
      users.erase(u);
      break;
    }
  }
  if (users.empty()) {
    watches.erase(w);
    unwatched.insert(wd);
  }
}

void CompletionPort::Impl::RemoveUnwatched() {
  for (const int wd : std::exchange(unwatched, {})) {
    if (watches.count(wd)) continue;  // a handle took it up again
    ::inotify_rm_watch(inotify_fd.get(), wd);
    DropWatchState(wd);
  }
}

// Keys of h->dirs at rel and below it.
std::vector<std::string> CompletionPort::Impl::Subtree(const Handle* h, const std::string& rel) {
  std::vector<std::string> keys;
  if (rel.empty()) {
    for (const auto& [key, wd] : h->dirs) keys.push_back(key);
    return keys;
  }
  if (h->dirs.count(rel)) keys.push_back(rel);
  const std::string from = rel + kPathSeparatorA;
  const std::string to = rel + static_cast<char>(kPathSeparatorA + 1);
  for (auto it = h->dirs.lower_bound(from); it != h->dirs.end() && it->first < to; ++it) {
    keys.push_back(it->first);
  }
  return keys;
}

void CompletionPort::Impl::ReleaseSubtree(Handle* h, const std::string& rel) {
  for (const auto& key : Subtree(h, rel)) ReleaseWatch(h, key);
}

// A renamed directory keeps its watches; only the paths change. After a lost
// batch the picture may be out of date enough that new_rel holds old_rel, so
// the moved watches leave the picture before what stood at new_rel goes.
void CompletionPort::Impl::RewriteSubtree(Handle* h, const std::string& old_rel,
                                          const std::string& new_rel) {
  std::vector<std::pair<std::string, int>> moved;
  for (const auto& key : Subtree(h, old_rel)) {
    moved.emplace_back(key, h->dirs.at(key));
    h->dirs.erase(key);
  }
  if (moved.empty()) return;
  ReleaseSubtree(h, new_rel);  // a replaced (empty) directory, or the same one seen twice
  for (const auto& [key, wd] : moved) {
    const std::string renamed = new_rel + key.substr(old_rel.size());
    h->dirs.emplace(renamed, wd);
    for (auto& user : watches[wd]) {
      if (user.handle == h && user.rel == key) user.rel = renamed;
    }
  }
}

void CompletionPort::Impl::ReleaseAll(Handle* h) {
  while (!h->dirs.empty()) ReleaseWatch(h, h->dirs.begin()->first);
}

void CompletionPort::Impl::DropWatchState(int wd) {
  watches.erase(wd);
  unwatched.erase(wd);
  copy_targets.Forget(wd);
  new_files.DropWatch(wd);
  stalled.DropWatch(wd);
}

// Watches dir_fd's directory and its subtree. report: every entry found is
// an addition. descend_known: walk into directories already watched too
// (after a lost batch). Returns false when the watch limit stopped it.
bool CompletionPort::Impl::Scan(Handle* h, UniqueFd dir_fd, const std::string& rel, bool report,
                                bool descend_known, std::set<std::string>* visited) {
  struct Frame {
    UniqueFd fd;
    std::string rel;
    std::vector<DirEntry> entries;
    std::size_t next = 0;
  };
  std::vector<Frame> stack;
  auto enter = [&](UniqueFd fd, const std::string& path) {
    const AddResult result = AddWatch(h, fd.get(), path);
    if (result == AddResult::kLimit) return false;
    if (result == AddResult::kFailed) return true;
    if (visited) visited->insert(path);
    if (result == AddResult::kAlready && !descend_known) return true;
    Frame frame{std::move(fd), path, {}};
    if (!ListDirectory(frame.fd.get(), &frame.entries)) {
      Trace("Cannot list " + DisplayPath(h, path) + ": " + std::strerror(errno));
    }
    stack.push_back(std::move(frame));
    return true;
  };
  if (!enter(std::move(dir_fd), rel)) return false;
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == top.entries.size()) {
      stack.pop_back();
      continue;
    }
    const DirEntry entry = std::move(top.entries[top.next++]);
    if (IsTempName(entry.name)) {
      // One that no copy holds was left by a module killed mid-copy.
      if (RemoveStaleTemporary(top.fd.get(), entry.name)) {
        Trace("Removed the stale temporary " + DisplayPath(h, Join(top.rel, entry.name)));
      }
      continue;
    }
    const std::string child = Join(top.rel, entry.name);
    if (entry.type == DT_DIR) {
      if (report) Emit(h, FILE_ACTION_ADDED, child);
      UniqueFd fd(::openat(top.fd.get(), entry.name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      if (fd.valid() && !enter(std::move(fd), child)) return false;
    } else if (report && (entry.type == DT_REG || entry.type == DT_LNK)) {
      Emit(h, FILE_ACTION_ADDED, child);
    }
  }
  return true;
}

void CompletionPort::Impl::ScanNewDirectory(Handle* h, const std::string& rel) {
  if (h->gone) return;
  UniqueFd fd = OpenDirectory(h, rel);
  if (fd.valid()) Scan(h, std::move(fd), rel, true, false, nullptr);
}

// After a lost batch: watch what was made meanwhile, forget what went.
void CompletionPort::Impl::Rescan(Handle* h) {
  std::set<std::string> visited;
  UniqueFd fd = OpenDirectory(h, "");
  if (!fd.valid() || !Scan(h, std::move(fd), "", false, true, &visited)) return;
  std::vector<std::string> stale;
  for (const auto& [key, wd] : h->dirs) {
    if (!visited.count(key)) stale.push_back(key);
  }
  for (const auto& key : stale) ReleaseWatch(h, key);
}

}  // namespace os
