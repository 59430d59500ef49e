// inotify events become change records, by the rules at the head of
// directory_watch.cpp: new files wait for their close, renames are paired by
// cookie, the module's temporary copy names stay unseen.
#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "os/linux/directory_watch_state.h"
#include "os/temp_name.h"

namespace os {

void CompletionPort::Impl::EnsureIndex(int wd) {
  const auto now = WatchClock::now();
  if (copy_targets.Touch(wd, now)) return;
  const auto w = watches.find(wd);
  if (w == watches.end() || w->second.empty()) return;
  UniqueFd fd = OpenDirectory(w->second.front().handle, w->second.front().rel);
  std::vector<DirEntry> entries;
  if (!fd.valid() || !ListDirectory(fd.get(), &entries)) return;
  copy_targets.Add(wd, std::move(entries), now);
}

// Whether name existed in wd's directory before a copy was renamed onto it.
// When the listing came after that rename it shows the copy itself: unknown,
// and "added" is the safer answer (an unused add entry would hide a later
// real addition).
bool CompletionPort::Impl::TargetExisted(int wd, const std::string& name) {
  const auto listed = copy_targets.Listed(wd, name);
  if (!listed) return false;
  const auto w = watches.find(wd);
  if (w == watches.end() || w->second.empty()) return false;
  const User& user = w->second.front();
  struct stat st;
  const ino_t now_ino = StatAt(user.handle, user.rel, name, &st) ? st.st_ino : 0;
  return *listed != now_ino;
}

// Something arrived at rel under h: moved in, or a copy finished.
void CompletionPort::Impl::Arrive(Handle* h, const std::string& rel, bool is_dir, bool replaced) {
  Emit(h, replaced && !is_dir ? FILE_ACTION_MODIFIED : FILE_ACTION_ADDED, rel);
  if (is_dir) ScanNewDirectory(h, rel);
}

void CompletionPort::Impl::Depart(Handle* h, const std::string& rel, bool is_dir) {
  Emit(h, FILE_ACTION_REMOVED, rel);
  if (is_dir) ReleaseSubtree(h, rel);
}

void CompletionPort::Impl::MoveOut(const MovedFrom& from) {
  if (new_files.Erase({from.wd, from.name})) return;  // never reported
  stalled.Erase({from.wd, from.name});
  if (IsTempName(from.name)) return;
  for (const auto& user : UsersOf(from.wd)) {
    Depart(user.handle, Join(user.rel, from.name), from.is_dir);
  }
}

void CompletionPort::Impl::MoveIn(int wd, const std::string& name, bool is_dir) {
  if (IsTempName(name)) {
    if (!is_dir) EnsureIndex(wd);
    return;
  }
  for (const auto& user : UsersOf(wd)) Arrive(user.handle, Join(user.rel, name), is_dir, false);
}

void CompletionPort::Impl::Pair(const MovedFrom& from, int to_wd, const std::string& to_name,
                                bool is_dir) {
  const bool from_temp = IsTempName(from.name);
  const bool to_temp = IsTempName(to_name);
  stalled.Erase({from.wd, from.name});
  if (new_files.Erase({from.wd, from.name})) {
    // Renamed before it was ever reported: it is still a file being made.
    if (!to_temp) new_files.Start(to_wd, to_name, WatchClock::now());
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

void CompletionPort::Impl::ProcessEvent(const inotify_event& ev) {
  if (ev.mask & IN_Q_OVERFLOW) {
    Trace("inotify queue overflowed; changes were lost");
    for (Handle* h : handles) {
      SetOverflow(h);
      h->rescan = true;
    }
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
          // A subtree's contents changed wholesale: what its path shows now
          // (the directory the volume covered, or another volume) is watched.
          SetOverflow(user.handle);
          user.handle->rescan = true;
        }
      }
    }
    return;  // a subdirectory's own deletion or move comes from its parent
  }
  const bool is_dir = ev.mask & IN_ISDIR;
  const bool temp = IsTempName(name);
  const DelayedNames::Key key{ev.wd, name};

  if (ev.mask & IN_CREATE) {
    copy_targets.Note(ev.wd, name, true);
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
          if (!new_files.Contains(key)) new_files.Start(ev.wd, name, WatchClock::now());
          break;
        default:
          break;  // special files are never synchronised
      }
    }
  } else if (ev.mask & IN_MOVED_FROM) {
    copy_targets.Note(ev.wd, name, false);
    moves.Hold(ev.cookie, {ev.wd, name, is_dir}, WatchClock::now());
  } else if (ev.mask & IN_MOVED_TO) {
    if (const auto from = moves.Take(ev.cookie)) {
      Pair(*from, ev.wd, name, is_dir);
    } else {
      MoveIn(ev.wd, name, is_dir);
    }
    copy_targets.Note(ev.wd, name, true);
  } else if (ev.mask & IN_DELETE) {
    copy_targets.Note(ev.wd, name, false);
    new_files.Erase(key);
    stalled.Erase(key);
    if (temp) return;
    for (const auto& user : UsersOf(ev.wd)) {
      Depart(user.handle, Join(user.rel, name), is_dir);
    }
  } else if (ev.mask & IN_CLOSE_WRITE) {
    stalled.Erase(key);
    if (temp) return;
    const DWORD action = new_files.Erase(key) ? FILE_ACTION_ADDED : FILE_ACTION_MODIFIED;
    for (const auto& user : UsersOf(ev.wd)) Emit(user.handle, action, Join(user.rel, name));
  } else if (ev.mask & IN_ATTRIB) {
    if (temp || new_files.Contains(key)) return;
    for (const auto& user : UsersOf(ev.wd)) {
      Emit(user.handle, FILE_ACTION_MODIFIED, Join(user.rel, name));
    }
  } else if (ev.mask & IN_MODIFY) {
    if (temp || new_files.Contains(key) || stalled.Contains(key)) return;
    stalled.Start(ev.wd, name, WatchClock::now());
  }
}

void CompletionPort::Impl::ExpireTimers() {
  const auto now = WatchClock::now();
  moves.Expire(now, [this](const MovedFrom& from) { MoveOut(from); });
  auto emitter = [this](DWORD action) {
    return [this, action](int wd, const std::string& name) {
      for (const auto& user : UsersOf(wd)) Emit(user.handle, action, Join(user.rel, name));
    };
  };
  new_files.Expire(now, emitter(FILE_ACTION_ADDED));
  stalled.Expire(now, emitter(FILE_ACTION_MODIFIED));
  copy_targets.Sweep(now);
}

WatchClock::time_point CompletionPort::Impl::NextDue() const {
  return std::min({moves.NextDue(), new_files.NextDue(), stalled.NextDue()});
}

}  // namespace os
