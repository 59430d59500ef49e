// What the completion port and its directory handles hold, shared by the
// files that make up the watcher: the packet queue and the public glue
// (directory_watch.cpp), the records a handle delivers (watch_delivery.cpp),
// the tree of watches (watch_tree.cpp) and the decoding of inotify events
// (inotify_events.cpp).
//
// Threads: everything belongs to the thread that calls Dequeue, except the
// packet queue, which Post fills from any thread under its mutex.
#pragma once

#include <sys/inotify.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "os/linux/copy_target_index.h"
#include "os/linux/delayed_names.h"
#include "os/directory_watch.h"
#include "os/linux/move_pairing.h"
#include "os/linux/notify_records.h"
#include "os/linux/unique_fd.h"

namespace os {

using WatchClock = std::chrono::steady_clock;

// A new file still open this long is reported as added all the same.
inline constexpr auto kNewFileGrace = std::chrono::milliseconds(1000);
// A file written this long without a close is reported as modified.
inline constexpr auto kStallTime = std::chrono::milliseconds(2000);
// After this many rounds in a row that found events, the events of a burst
// are left to gather for kBurstPause before the next read: one read then
// takes many, and writers that wake no reader pay less for each change.
inline constexpr int kBurstRounds = 3;
inline constexpr auto kBurstPause = std::chrono::milliseconds(1);

struct DirectoryHandle::Impl {
  std::wstring path;
  // No descriptor of the root stays open: it would hold back the deletion
  // event of the directory until it was closed.
  std::string root;  // path as bytes
  CompletionPort::Impl* port = nullptr;
  uintptr_t key = 0;
  std::map<std::string, int>
      dirs;  // relative directory path -> wd; ordered so a subtree is a range
  std::deque<NotifyRecord> pending;
  bool overflow = false;
  bool rescan = false;   // walk the tree again at the next pump
  bool limited = false;  // the watch limit refused one of its watches
  bool gone = false;
  bool gone_reported = false;
  bool armed = false;
  char* buffer = nullptr;
  DWORD length = 0;
};

struct CompletionPort::Impl {
  using Handle = DirectoryHandle::Impl;

  struct Packet {
    uintptr_t key;
    DWORD bytes;
  };

  struct User {
    Handle* handle;
    std::string rel;  // the directory's path under the handle's root
  };

  enum class AddResult { kAdded, kAlready, kLimit, kFailed };

  UniqueFd inotify_fd;
  UniqueFd wake_fd;

  std::mutex mutex;
  std::deque<Packet> packets;  // guarded by mutex: Post comes from any thread

  // Everything below belongs to the thread that calls Dequeue.
  std::unordered_map<int, std::vector<User>> watches;
  std::vector<Handle*> handles;
  std::vector<Handle*> gone_handles;      // watches released at the end of the pump
  DelayedNames new_files{kNewFileGrace};  // created, not yet closed or reported
  DelayedNames stalled{kStallTime};       // written since the last close or report
  MovePairing moves;
  CopyTargetIndex copy_targets;
  // Watches whose last user went, kept until the next pump: a handle that
  // watches the directory again meanwhile (the watch thread's restart) gets
  // the same descriptor back, and with it the files still being written
  // there and the events of the gap.
  std::set<int> unwatched;
  int busy_rounds = 0;                   // rounds in a row that read events
  WatchClock::time_point next_read = {};  // inotify is left alone until then

  static std::string Join(const std::string& dir, std::string_view name);
  static void Trace(const std::string& text);
  static std::string ReadProcValue(const char* path);

  // directory_watch.cpp: the packet queue.
  void Queue(uintptr_t key, DWORD bytes);
  // One round of the port's thread: reads what inotify has (unless a burst
  // is being left to gather), fires the timers that are due and completes
  // the reads that have records.
  void Pump();
  // Reads the queued events; whether there were any.
  bool ReadEvents();

  // watch_delivery.cpp: a handle's records and its armed read.
  void Emit(Handle* h, DWORD action, std::string rel);
  void SetOverflow(Handle* h);
  void MarkGone(Handle* h);
  void Complete(Handle* h, DWORD bytes);
  void TryComplete(Handle* h);

  // watch_tree.cpp: the watches of each handle's subtree.
  std::string DisplayPath(const Handle* h, const std::string& rel) const;
  static UniqueFd OpenDirectory(const Handle* h, const std::string& rel);
  static bool StatAt(const Handle* h, const std::string& rel, const std::string& name,
                     struct stat* st);
  static unsigned char TypeAt(const Handle* h, const std::string& rel, const std::string& name);
  std::vector<User> UsersOf(int wd) const;
  AddResult AddWatch(Handle* h, int dir_fd, const std::string& rel);
  void ReleaseWatch(Handle* h, std::string rel);
  static std::vector<std::string> Subtree(const Handle* h, const std::string& rel);
  void ReleaseSubtree(Handle* h, const std::string& rel);
  void RewriteSubtree(Handle* h, const std::string& old_rel, const std::string& new_rel);
  void ReleaseAll(Handle* h);
  void RemoveUnwatched();
  void DropWatchState(int wd);
  bool Scan(Handle* h, UniqueFd dir_fd, const std::string& rel, bool report, bool descend_known,
            std::set<std::string>* visited);
  void ScanNewDirectory(Handle* h, const std::string& rel);
  void Rescan(Handle* h);

  // inotify_events.cpp: inotify events become records.
  void EnsureIndex(int wd);
  bool TargetExisted(int wd, const std::string& name);
  void Arrive(Handle* h, const std::string& rel, bool is_dir, bool replaced);
  void Depart(Handle* h, const std::string& rel, bool is_dir);
  void MoveOut(const MovedFrom& from);
  void MoveIn(int wd, const std::string& name, bool is_dir);
  void Pair(const MovedFrom& from, int to_wd, const std::string& to_name, bool is_dir);
  void ProcessEvent(const inotify_event& ev);
  void ExpireTimers();
  WatchClock::time_point NextDue() const;
};

}  // namespace os
