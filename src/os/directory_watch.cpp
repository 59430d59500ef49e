// How inotify events become change records.
//
// - A new regular file is added when its writer closes it, or after kNewFileGrace
//   while it stays open; directories, symbolic links and anything moved in are
//   added at once. Special files are never reported.
// - Delete, and a move-from whose partner does not come within kPairWindow,
//   are removals; close-after-write of a known file and attribute changes are
//   modifications. A file written and left open is reported as modified once
//   it has been written for kStallTime without a close.
// - A move-from and the move-to with the same cookie, both under one handle,
//   give the old-name record immediately followed by the new-name record.
// - A new or moved-in directory is watched before it is listed, and what the
//   listing finds is reported as added; the listing and the events overlap, so
//   some names come twice.
// - The temporary copy names are never reported; renaming one onto a real name
//   is that name's change (modified when it existed before, added otherwise).
// - A lost batch (queue overflow, watch limit, a handle's queue too long)
//   completes the armed read with 0 bytes; after an overflow the trees are
//   walked again so that directories made during the lost batch are watched.
#include "os/directory_watch.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "os/confined_path.h"
#include "os/event.h"
#include "os/last_error.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "os/trace_sink.h"
#include "os/unique_fd.h"

namespace os {
namespace {

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;

// A rename's halves are queued together, but a read may end between them.
constexpr auto kPairWindow = std::chrono::milliseconds(40);
constexpr auto kNewFileGrace = std::chrono::milliseconds(1000);
constexpr auto kStallTime = std::chrono::milliseconds(2000);
// Copies into one directory come in runs; keep its name list for the run.
constexpr auto kNameIndexLinger = std::chrono::seconds(10);
constexpr auto kNameIndexSweep = std::chrono::seconds(1);
constexpr std::size_t kMaxPendingRecords = 100000;
constexpr int kMaxReadsPerPump = 64;

constexpr uint32_t kWatchMask = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_DELETE |
                                IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                IN_UNMOUNT | IN_ONLYDIR | IN_EXCL_UNLINK;

std::string Join(const std::string& dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string path = dir;
  path += kPathSeparatorA;
  path += name;
  return path;
}

std::size_t RecordSize(std::size_t chars) {
  const std::size_t raw = offsetof(FILE_NOTIFY_INFORMATION, FileName) + chars * sizeof(wchar_t);
  return (raw + 3) & ~std::size_t{3};
}

unsigned char TypeOf(mode_t mode) {
  if (S_ISDIR(mode)) return DT_DIR;
  if (S_ISREG(mode)) return DT_REG;
  if (S_ISLNK(mode)) return DT_LNK;
  return DT_FIFO;  // stands for every special file
}

struct Entry {
  std::string name;
  unsigned char type;  // DT_*
  ino_t ino;
};

// Lists a directory opened for it just now; the descriptor stays open for the
// caller. Read with getdents64 straight from the descriptor: a stream would
// cost a duplicate and four calls more per directory, and a tree is thousands.
bool ListDirectory(int dir_fd, std::vector<Entry>* entries) {
  alignas(dirent64) char buffer[32768];
  for (;;) {
    const ssize_t n = ::getdents64(dir_fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t at = 0; at < n;) {
      const auto* ent = reinterpret_cast<const dirent64*>(buffer + at);
      at += ent->d_reclen;
      const std::string_view name = ent->d_name;
      if (name == "." || name == "..") continue;
      unsigned char type = ent->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(dir_fd, ent->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        type = TypeOf(st.st_mode);
      }
      entries->push_back({std::string(name), type, static_cast<ino_t>(ent->d_ino)});
    }
  }
}

std::string ReadProcValue(const char* path) {
  std::ifstream in(path);
  std::string value;
  in >> value;
  return value.empty() ? "?" : value;
}

void Trace(const std::string& text) { TraceOutput("[Strandel]" + text + "\n"); }

struct Packet {
  uintptr_t key;
  DWORD bytes;
};

struct Timer {
  MonoTime due;
  int wd;
  std::string name;
  uint64_t generation;  // the entry this timer was set for; a newer one outlives it
};

struct MoveTimer {
  MonoTime due;
  uint32_t cookie;
  uint64_t generation;
};

struct PendingMove {
  int wd;
  std::string name;
  bool is_dir;
  uint64_t generation;
};

// Names of one directory, kept while copies are being finished in it, to tell
// whether a copy's final rename replaced a file. 0 stands for "exists, inode
// not known".
struct NameIndex {
  std::unordered_map<std::string, ino_t> names;
  MonoTime last_used;
};

using WatchKey = std::pair<int, std::string>;  // (directory's wd, entry name)

enum class AddResult { kAdded, kAlready, kLimit, kFailed };

}  // namespace

struct DirectoryHandle::Impl {
  struct Record {
    DWORD action;
    std::string name;  // relative path, bytes
  };

  std::wstring path;
  // No descriptor of the root stays open: it would hold back the deletion
  // event of the directory until it was closed.
  std::string root;  // path as bytes
  CompletionPort::Impl* port = nullptr;
  uintptr_t key = 0;
  std::map<std::string, int>
      dirs;  // relative directory path -> wd; ordered so a subtree is a range
  std::deque<Record> pending;
  bool overflow = false;
  bool gone = false;
  bool gone_reported = false;
  bool armed = false;
  char* buffer = nullptr;
  DWORD length = 0;
};

struct CompletionPort::Impl {
  using Handle = DirectoryHandle::Impl;

  struct User {
    Handle* handle;
    std::string rel;  // the directory's path under the handle's root
  };

  UniqueFd inotify_fd;
  UniqueFd wake_fd;

  std::mutex mutex;
  std::deque<Packet> packets;  // guarded by mutex: Post comes from any thread

  // Everything below belongs to the thread that calls Dequeue.
  std::unordered_map<int, std::vector<User>> watches;
  std::vector<Handle*> handles;
  std::vector<Handle*> gone_handles;       // watches released at the end of the pump
  std::map<WatchKey, uint64_t> new_files;  // created, not yet closed or reported
  std::map<WatchKey, uint64_t> stalled;    // written since the last close or report
  std::deque<Timer> new_file_timers;
  std::deque<Timer> stall_timers;
  std::unordered_map<uint32_t, PendingMove> moves;  // by cookie
  std::deque<MoveTimer> move_timers;
  MonoTime next_index_sweep{};
  std::unordered_map<int, NameIndex> indexes;
  uint64_t next_generation = 1;
  bool rescan_needed = false;

  void Queue(uintptr_t key, DWORD bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    packets.push_back({key, bytes});
  }

  // ---- records -------------------------------------------------------------

  void Emit(Handle* h, DWORD action, std::string rel) {
    if (h->gone) return;
    if (action == FILE_ACTION_MODIFIED && !h->pending.empty() &&
        h->pending.back().action == FILE_ACTION_MODIFIED && h->pending.back().name == rel) {
      return;
    }
    h->pending.push_back({action, std::move(rel)});
    if (h->pending.size() > kMaxPendingRecords) {
      Trace("Change queue of " + h->root + " overflowed; records dropped");
      SetOverflow(h);
    }
  }

  void SetOverflow(Handle* h) {
    if (h->gone) return;
    h->pending.clear();
    h->overflow = true;
  }

  void MarkGone(Handle* h) {
    if (h->gone) return;
    h->gone = true;
    h->overflow = false;
    h->pending.clear();
    gone_handles.push_back(h);
  }

  void Complete(Handle* h, DWORD bytes) {
    h->armed = false;
    Queue(h->key, bytes);
  }

  void TryComplete(Handle* h) {
    if (!h->armed) return;
    if (h->gone) {
      if (!h->gone_reported) {
        h->gone_reported = true;
        Complete(h, 0);
      }
      return;
    }
    if (h->overflow) {
      h->overflow = false;
      Complete(h, 0);
      return;
    }
    if (h->pending.empty()) return;

    std::size_t used = 0;
    std::size_t last = 0;
    bool any = false;
    while (!h->pending.empty()) {
      // A rename's two halves travel in one buffer.
      const std::size_t count =
          h->pending.front().action == FILE_ACTION_RENAMED_OLD_NAME && h->pending.size() > 1 ? 2
                                                                                             : 1;
      std::vector<std::wstring> names;
      std::size_t need = 0;
      for (std::size_t i = 0; i < count; ++i) {
        names.push_back(FromUtf8(h->pending[i].name));
        need += RecordSize(names.back().size());
      }
      if (used + need > h->length) {
        if (any) break;
        // Not even the first record fits an empty buffer: it is lost.
        h->pending.erase(h->pending.begin(), h->pending.begin() + count);
        Complete(h, 0);
        return;
      }
      for (std::size_t i = 0; i < count; ++i) {
        if (any) {
          const DWORD next = static_cast<DWORD>(used - last);
          std::memcpy(h->buffer + last + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), &next,
                      sizeof next);
        }
        const DWORD zero = 0;
        const DWORD action = h->pending[i].action;
        const DWORD bytes = static_cast<DWORD>(names[i].size() * sizeof(wchar_t));
        char* record = h->buffer + used;
        std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset), &zero,
                    sizeof zero);
        std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, Action), &action, sizeof action);
        std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, FileNameLength), &bytes,
                    sizeof bytes);
        std::memcpy(record + offsetof(FILE_NOTIFY_INFORMATION, FileName), names[i].data(), bytes);
        last = used;
        used += RecordSize(names[i].size());
        any = true;
      }
      h->pending.erase(h->pending.begin(), h->pending.begin() + count);
    }
    Complete(h, static_cast<DWORD>(used));
  }

  // ---- watches -------------------------------------------------------------

  std::string DisplayPath(const Handle* h, const std::string& rel) const {
    return rel.empty() ? h->root : h->root + kPathSeparatorA + rel;
  }

  // No symbolic link below the root is followed, and paths longer than
  // PATH_MAX still open.
  static UniqueFd OpenDirectory(const Handle* h, const std::string& rel) {
    return UniqueFd(OpenBelow(h->root, rel, O_RDONLY));
  }

  // Looks at an entry without following a link, on the way or at its name.
  static bool StatAt(const Handle* h, const std::string& rel, const std::string& name,
                     struct stat* st) {
    const UniqueFd dir(OpenBelow(h->root, rel, O_PATH));
    return dir.valid() && ::fstatat(dir.get(), name.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
  }

  // DT_* of an entry; DT_UNKNOWN when it is gone.
  static unsigned char TypeAt(const Handle* h, const std::string& rel, const std::string& name) {
    struct stat st;
    return StatAt(h, rel, name, &st) ? TypeOf(st.st_mode) : static_cast<unsigned char>(DT_UNKNOWN);
  }

  AddResult AddWatch(Handle* h, int dir_fd, const std::string& rel) {
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
        Trace("inotify watch limit reached (/proc/sys/fs/inotify/max_user_watches = " +
              ReadProcValue("/proc/sys/fs/inotify/max_user_watches") + "), cannot watch " + dir);
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
  void ReleaseWatch(Handle* h, std::string rel) {
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
      ::inotify_rm_watch(inotify_fd.get(), wd);
      DropWatchState(wd);
    }
  }

  // Keys of h->dirs at rel and below it.
  static std::vector<std::string> Subtree(const Handle* h, const std::string& rel) {
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

  void ReleaseSubtree(Handle* h, const std::string& rel) {
    for (const auto& key : Subtree(h, rel)) ReleaseWatch(h, key);
  }

  // A renamed directory keeps its watches; only the paths change.
  void RewriteSubtree(Handle* h, const std::string& old_rel, const std::string& new_rel) {
    const auto keys = Subtree(h, old_rel);
    if (keys.empty()) return;
    ReleaseSubtree(h, new_rel);  // a replaced (empty) directory, or the same one seen twice
    for (const auto& key : keys) {
      const int wd = h->dirs.at(key);
      const std::string renamed = new_rel + key.substr(old_rel.size());
      h->dirs.erase(key);
      h->dirs.emplace(renamed, wd);
      for (auto& user : watches[wd]) {
        if (user.handle == h && user.rel == key) user.rel = renamed;
      }
    }
  }

  void ReleaseAll(Handle* h) {
    while (!h->dirs.empty()) ReleaseWatch(h, h->dirs.begin()->first);
  }

  void DropWatchState(int wd) {
    watches.erase(wd);
    indexes.erase(wd);
    for (auto* map : {&new_files, &stalled}) {
      map->erase(map->lower_bound({wd, std::string()}), map->lower_bound({wd + 1, std::string()}));
    }
  }

  // Watches dir_fd's directory and its subtree. report: every entry found is
  // an addition. descend_known: walk into directories already watched too
  // (after a lost batch). Returns false when the watch limit stopped it.
  bool Scan(Handle* h, UniqueFd dir_fd, const std::string& rel, bool report, bool descend_known,
            std::set<std::string>* visited) {
    struct Frame {
      UniqueFd fd;
      std::string rel;
      std::vector<Entry> entries;
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
      const Entry entry = std::move(top.entries[top.next++]);
      if (IsTempName(entry.name)) continue;
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

  void ScanNewDirectory(Handle* h, const std::string& rel) {
    if (h->gone) return;
    UniqueFd fd = OpenDirectory(h, rel);
    if (fd.valid()) Scan(h, std::move(fd), rel, true, false, nullptr);
  }

  // After a lost batch: watch what was made meanwhile, forget what went.
  void Rescan(Handle* h) {
    std::set<std::string> visited;
    UniqueFd fd = OpenDirectory(h, "");
    if (!fd.valid() || !Scan(h, std::move(fd), "", false, true, &visited)) return;
    std::vector<std::string> stale;
    for (const auto& [key, wd] : h->dirs) {
      if (!visited.count(key)) stale.push_back(key);
    }
    for (const auto& key : stale) ReleaseWatch(h, key);
  }

  // ---- names of copy targets ---------------------------------------------

  void EnsureIndex(int wd) {
    const auto now = MonoClock::now();
    if (auto it = indexes.find(wd); it != indexes.end()) {
      it->second.last_used = now;
      return;
    }
    const auto w = watches.find(wd);
    if (w == watches.end() || w->second.empty()) return;
    UniqueFd fd = OpenDirectory(w->second.front().handle, w->second.front().rel);
    std::vector<Entry> entries;
    if (!fd.valid() || !ListDirectory(fd.get(), &entries)) return;
    NameIndex& index = indexes[wd];
    index.last_used = now;
    for (auto& entry : entries) index.names.emplace(std::move(entry.name), entry.ino);
  }

  void NoteName(int wd, const std::string& name, bool exists) {
    const auto it = indexes.find(wd);
    if (it == indexes.end()) return;
    if (exists) {
      it->second.names[name] = 0;
    } else {
      it->second.names.erase(name);
    }
  }

  // Whether name existed in wd's directory before a copy was renamed onto it.
  // When the listing came after that rename it shows the copy itself: unknown,
  // and "added" is the safer answer (an unused add entry would hide a later
  // real addition).
  bool TargetExisted(int wd, const std::string& name) {
    const auto index = indexes.find(wd);
    if (index == indexes.end()) return false;
    const auto entry = index->second.names.find(name);
    if (entry == index->second.names.end()) return false;
    const auto w = watches.find(wd);
    if (w == watches.end() || w->second.empty()) return false;
    const User& user = w->second.front();
    struct stat st;
    const ino_t now_ino = StatAt(user.handle, user.rel, name, &st) ? st.st_ino : 0;
    return entry->second != now_ino;
  }

  // ---- events --------------------------------------------------------------

  std::vector<User> UsersOf(int wd) const {
    const auto it = watches.find(wd);
    return it == watches.end() ? std::vector<User>() : it->second;
  }

  void StartTimer(std::map<WatchKey, uint64_t>& map, std::deque<Timer>& timers, int wd,
                  const std::string& name, std::chrono::milliseconds delay) {
    const uint64_t generation = next_generation++;
    map[{wd, name}] = generation;
    timers.push_back({MonoClock::now() + delay, wd, name, generation});
  }

  // Something arrived at rel under h: moved in, or a copy finished.
  void Arrive(Handle* h, const std::string& rel, bool is_dir, bool replaced) {
    Emit(h, replaced && !is_dir ? FILE_ACTION_MODIFIED : FILE_ACTION_ADDED, rel);
    if (is_dir) ScanNewDirectory(h, rel);
  }

  void Depart(Handle* h, const std::string& rel, bool is_dir) {
    Emit(h, FILE_ACTION_REMOVED, rel);
    if (is_dir) ReleaseSubtree(h, rel);
  }

  void MoveOut(const PendingMove& from) {
    if (new_files.erase({from.wd, from.name})) return;  // never reported
    stalled.erase({from.wd, from.name});
    if (IsTempName(from.name)) return;
    for (const auto& user : UsersOf(from.wd)) {
      Depart(user.handle, Join(user.rel, from.name), from.is_dir);
    }
  }

  void MoveIn(int wd, const std::string& name, bool is_dir) {
    if (IsTempName(name)) {
      if (!is_dir) EnsureIndex(wd);
      return;
    }
    for (const auto& user : UsersOf(wd)) Arrive(user.handle, Join(user.rel, name), is_dir, false);
  }

  void Pair(const PendingMove& from, int to_wd, const std::string& to_name, bool is_dir) {
    const bool from_temp = IsTempName(from.name);
    const bool to_temp = IsTempName(to_name);
    stalled.erase({from.wd, from.name});
    if (new_files.erase({from.wd, from.name})) {
      // Renamed before it was ever reported: it is still a file being made.
      if (!to_temp) StartTimer(new_files, new_file_timers, to_wd, to_name, kNewFileGrace);
      return;
    }
    if (to_temp && !is_dir) EnsureIndex(to_wd);
    const bool replaced = from_temp && !to_temp && !is_dir && TargetExisted(to_wd, to_name);

    const auto from_users = UsersOf(from.wd);
    const auto to_users = UsersOf(to_wd);
    std::vector<Handle*> seen;
    auto rel_of = [](const std::vector<User>& users, Handle* h) -> const std::string* {
      for (const auto& user : users) {
        if (user.handle == h) return &user.rel;
      }
      return nullptr;
    };
    for (const auto* users : {&from_users, &to_users}) {
      for (const auto& user : *users) {
        Handle* h = user.handle;
        if (std::find(seen.begin(), seen.end(), h) != seen.end()) continue;
        seen.push_back(h);
        const std::string* from_rel = rel_of(from_users, h);
        const std::string* to_rel = rel_of(to_users, h);
        const std::string old_path = from_rel ? Join(*from_rel, from.name) : std::string();
        const std::string new_path = to_rel ? Join(*to_rel, to_name) : std::string();
        if (from_rel && to_rel && !from_temp && !to_temp) {
          Emit(h, FILE_ACTION_RENAMED_OLD_NAME, old_path);
          Emit(h, FILE_ACTION_RENAMED_NEW_NAME, new_path);
          if (is_dir) RewriteSubtree(h, old_path, new_path);
          continue;
        }
        if (from_rel && !from_temp) Depart(h, old_path, is_dir);
        if (to_rel && !to_temp) Arrive(h, new_path, is_dir, replaced);
      }
    }
  }

  void ProcessEvent(const inotify_event& ev) {
    if (ev.mask & IN_Q_OVERFLOW) {
      Trace("inotify queue overflowed; changes were lost");
      for (Handle* h : handles) SetOverflow(h);
      rescan_needed = true;
      return;
    }
    if (ev.mask & IN_IGNORED) {
      for (const auto& user : UsersOf(ev.wd)) {
        if (user.rel.empty()) MarkGone(user.handle);
        const auto it = user.handle->dirs.find(user.rel);
        if (it != user.handle->dirs.end() && it->second == ev.wd) user.handle->dirs.erase(it);
      }
      DropWatchState(ev.wd);
      return;
    }
    if (!watches.count(ev.wd)) return;
    const std::string name(ev.name, ev.len ? ::strnlen(ev.name, ev.len) : 0);
    if (name.empty()) {
      if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) {
        for (const auto& user : UsersOf(ev.wd)) {
          if (user.rel.empty()) {
            MarkGone(user.handle);
          } else if (ev.mask & IN_UNMOUNT) {
            SetOverflow(user.handle);  // a subtree's contents changed wholesale
          }
        }
      }
      return;  // a subdirectory's own deletion or move comes from its parent
    }
    const bool is_dir = ev.mask & IN_ISDIR;
    const bool temp = IsTempName(name);
    const WatchKey key{ev.wd, name};

    if (ev.mask & IN_CREATE) {
      NoteName(ev.wd, name, true);
      if (temp) {
        if (!is_dir) EnsureIndex(ev.wd);
        return;
      }
      for (const auto& user : UsersOf(ev.wd)) {
        const std::string path = Join(user.rel, name);
        if (is_dir) {
          Emit(user.handle, FILE_ACTION_ADDED, path);
          ScanNewDirectory(user.handle, path);
          continue;
        }
        switch (TypeAt(user.handle, user.rel, name)) {
          case DT_LNK:
            Emit(user.handle, FILE_ACTION_ADDED, path);
            break;
          case DT_REG:
          case DT_UNKNOWN:  // already gone again: its deletion follows
            if (!new_files.count(key)) {
              StartTimer(new_files, new_file_timers, ev.wd, name, kNewFileGrace);
            }
            break;
          default:
            break;  // special files are never synchronised
        }
      }
    } else if (ev.mask & IN_MOVED_FROM) {
      NoteName(ev.wd, name, false);
      const uint64_t generation = next_generation++;
      moves[ev.cookie] = {ev.wd, name, is_dir, generation};
      move_timers.push_back({MonoClock::now() + kPairWindow, ev.cookie, generation});
    } else if (ev.mask & IN_MOVED_TO) {
      const auto it = moves.find(ev.cookie);
      if (it != moves.end()) {
        const PendingMove from = std::move(it->second);
        moves.erase(it);
        Pair(from, ev.wd, name, is_dir);
      } else {
        MoveIn(ev.wd, name, is_dir);
      }
      NoteName(ev.wd, name, true);
    } else if (ev.mask & IN_DELETE) {
      NoteName(ev.wd, name, false);
      new_files.erase(key);
      stalled.erase(key);
      if (temp) return;
      for (const auto& user : UsersOf(ev.wd)) {
        Depart(user.handle, Join(user.rel, name), is_dir);
      }
    } else if (ev.mask & IN_CLOSE_WRITE) {
      stalled.erase(key);
      if (temp) return;
      const DWORD action = new_files.erase(key) ? FILE_ACTION_ADDED : FILE_ACTION_MODIFIED;
      for (const auto& user : UsersOf(ev.wd)) Emit(user.handle, action, Join(user.rel, name));
    } else if (ev.mask & IN_ATTRIB) {
      if (temp || new_files.count(key)) return;
      for (const auto& user : UsersOf(ev.wd)) {
        Emit(user.handle, FILE_ACTION_MODIFIED, Join(user.rel, name));
      }
    } else if (ev.mask & IN_MODIFY) {
      if (temp || new_files.count(key) || stalled.count(key)) return;
      StartTimer(stalled, stall_timers, ev.wd, name, kStallTime);
    }
  }

  void FireTimers(std::deque<Timer>& timers, std::map<WatchKey, uint64_t>& map, DWORD action,
                  MonoTime now) {
    while (!timers.empty() && timers.front().due <= now) {
      const Timer timer = std::move(timers.front());
      timers.pop_front();
      const auto it = map.find({timer.wd, timer.name});
      if (it == map.end() || it->second != timer.generation) continue;
      map.erase(it);
      for (const auto& user : UsersOf(timer.wd)) {
        Emit(user.handle, action, Join(user.rel, timer.name));
      }
    }
  }

  void ExpireTimers() {
    const auto now = MonoClock::now();
    while (!move_timers.empty() && move_timers.front().due <= now) {
      const MoveTimer timer = move_timers.front();
      move_timers.pop_front();
      const auto it = moves.find(timer.cookie);
      if (it == moves.end() || it->second.generation != timer.generation) continue;
      const PendingMove from = std::move(it->second);
      moves.erase(it);
      MoveOut(from);
    }
    FireTimers(new_file_timers, new_files, FILE_ACTION_ADDED, now);
    FireTimers(stall_timers, stalled, FILE_ACTION_MODIFIED, now);
    // Every pump comes here, and a busy copy pumps thousands of times a
    // second: a sweep of the name lists each second is enough for a linger of ten.
    if (now < next_index_sweep) return;
    next_index_sweep = now + kNameIndexSweep;
    for (auto it = indexes.begin(); it != indexes.end();) {
      it = now - it->second.last_used > kNameIndexLinger ? indexes.erase(it) : std::next(it);
    }
  }

  MonoTime NextDue() const {
    MonoTime due = MonoTime::max();
    if (!move_timers.empty()) due = std::min(due, move_timers.front().due);
    if (!new_file_timers.empty()) due = std::min(due, new_file_timers.front().due);
    if (!stall_timers.empty()) due = std::min(due, stall_timers.front().due);
    return due;
  }

  void Pump() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (int reads = 0; reads < kMaxReadsPerPump; ++reads) {
      const ssize_t got = ::read(inotify_fd.get(), buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
        ProcessEvent(*ev);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
      }
    }
    if (rescan_needed) {
      rescan_needed = false;
      for (Handle* h : std::vector<Handle*>(handles)) {
        if (!h->gone) Rescan(h);
      }
    }
    ExpireTimers();
    for (Handle* h : gone_handles) ReleaseAll(h);
    gone_handles.clear();
    for (Handle* h : handles) TryComplete(h);
  }
};

// ---- CompletionPort ---------------------------------------------------------

CompletionPort::CompletionPort() : impl_(std::make_unique<Impl>()) {
  impl_->inotify_fd = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!impl_->inotify_fd.valid()) {
    const int err = errno;
    ErrorFromErrno(err, "inotify");
    if (err == EMFILE) {
      Trace("inotify instance limit reached (/proc/sys/fs/inotify/max_user_instances = " +
            ReadProcValue("/proc/sys/fs/inotify/max_user_instances") + ")");
    }
    return;
  }
  impl_->wake_fd = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!impl_->wake_fd.valid()) ErrorFromErrno(errno, "eventfd");
}

CompletionPort::~CompletionPort() {
  for (Impl::Handle* h : impl_->handles) {
    h->port = nullptr;
    h->dirs.clear();
    h->armed = false;
  }
}

bool CompletionPort::IsValid() const { return impl_->inotify_fd.valid() && impl_->wake_fd.valid(); }

bool CompletionPort::Post(uintptr_t key, DWORD bytes) {
  if (!IsValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  impl_->Queue(key, bytes);
  const uint64_t one = 1;
  if (::write(impl_->wake_fd.get(), &one, sizeof one) < 0 && errno != EAGAIN) {
    ErrorFromErrno(errno, "eventfd");
    return false;
  }
  return true;
}

bool CompletionPort::Dequeue(DWORD* bytes, uintptr_t* key, DWORD timeout_ms) {
  if (!IsValid()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  const auto start = MonoClock::now();
  const MonoTime deadline =
      timeout_ms == INFINITE ? MonoTime::max() : start + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    impl_->Pump();
    {
      std::lock_guard<std::mutex> lock(impl_->mutex);
      if (!impl_->packets.empty()) {
        *bytes = impl_->packets.front().bytes;
        *key = impl_->packets.front().key;
        impl_->packets.pop_front();
        return true;
      }
    }
    const auto now = MonoClock::now();
    if (now >= deadline) {
      SetLastError(WAIT_TIMEOUT);
      return false;
    }
    const MonoTime wake = std::min(deadline, impl_->NextDue());
    int wait_ms = -1;
    if (wake != MonoTime::max()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now).count();
      wait_ms = static_cast<int>(std::min<long long>(left, 1 << 30));
    }
    pollfd fds[2] = {{impl_->inotify_fd.get(), POLLIN, 0}, {impl_->wake_fd.get(), POLLIN, 0}};
    if (::poll(fds, 2, wait_ms) < 0 && errno != EINTR) {
      ErrorFromErrno(errno, "poll");
      return false;
    }
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      static_cast<void>(::read(impl_->wake_fd.get(), &count, sizeof count));
    }
  }
}

// ---- DirectoryHandle ---------------------------------------------------------

DirectoryHandle::DirectoryHandle(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DirectoryHandle::~DirectoryHandle() {
  CompletionPort::Impl* port = impl_->port;
  if (!port) return;
  port->ReleaseAll(impl_.get());
  std::erase(port->handles, impl_.get());
  std::erase(port->gone_handles, impl_.get());
}

std::unique_ptr<DirectoryHandle> DirectoryHandle::Open(const std::wstring& path) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  impl->root = ToUtf8(path);
  while (impl->root.size() > 1 && impl->root.back() == kPathSeparatorA) impl->root.pop_back();
  const UniqueFd probe(::open(impl->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!probe.valid()) {
    ErrorFromErrno(errno, impl->root);
    return nullptr;
  }
  return std::unique_ptr<DirectoryHandle>(new DirectoryHandle(std::move(impl)));
}

bool DirectoryHandle::Associate(CompletionPort& port, uintptr_t key) {
  CompletionPort::Impl* p = port.impl();
  if (impl_->port || !port.IsValid()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  impl_->port = p;
  impl_->key = key;
  p->handles.push_back(impl_.get());
  UniqueFd fd = CompletionPort::Impl::OpenDirectory(impl_.get(), "");
  if (!fd.valid()) {
    ErrorFromErrno(errno, impl_->root);
  } else {
    p->Scan(impl_.get(), std::move(fd), "", false, false, nullptr);
  }
  if (!impl_->dirs.count("")) {
    p->ReleaseAll(impl_.get());
    std::erase(p->handles, impl_.get());
    impl_->port = nullptr;
    impl_->overflow = false;
    return false;
  }
  return true;
}

bool DirectoryHandle::Read(void* buffer, DWORD length) {
  if (!impl_->port || impl_->armed || buffer == nullptr) {
    SetLastError(impl_->port ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
    return false;
  }
  if (impl_->gone_reported) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  impl_->buffer = static_cast<char*>(buffer);
  impl_->length = length;
  impl_->armed = true;
  impl_->port->TryComplete(impl_.get());
  return true;
}

const std::wstring& DirectoryHandle::Path() const { return impl_->path; }

bool DirectoryHandle::IsGone() const { return impl_->gone; }

}  // namespace os
