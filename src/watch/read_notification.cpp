#include "watch/read_notification.h"

#include <cstddef>
#include <string>

#include "os/directory_watch.h"
#include "os/file_attributes.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "watch/wildcard.h"

namespace {

// The first level of a relative name: up to its first separator after the
// first character, or the whole name.
std::wstring FirstComponent(const std::wstring& name, bool* nested) {
  const auto cut = name.find(os::kPathSeparator, 1);
  *nested = cut != std::wstring::npos;
  return *nested ? name.substr(0, cut) : name;
}

// Under a volume root, changes below system folders (lost+found) and changes
// whose top-level item has vanished are dropped; top-level removals pass.
bool IsBelowSystemOrVanished(const std::wstring& directory, DWORD action,
                             const std::wstring& file_name, const std::wstring& new_name) {
  bool nested = false;
  std::wstring top;
  switch (action) {
    case FILE_ACTION_RENAMED_NEW_NAME:
      top = FirstComponent(new_name, &nested);
      break;
    case FILE_ACTION_ADDED:
    case FILE_ACTION_MODIFIED:
      top = FirstComponent(file_name, &nested);
      break;
    case FILE_ACTION_REMOVED:
      top = FirstComponent(file_name, &nested);
      if (!nested) return false;
      break;
    default:
      break;
  }
  // A path that is gone reads as every attribute set, system included.
  return (os::GetFileAttributes(directory + os::kPathSeparator + top) & FILE_ATTRIBUTE_SYSTEM) != 0;
}

// Whether a notification about path is the echo of one of the engine's
// copies there: the file is still a version one of them left. Another
// version is a change of its own, and every note of the path is spent.
bool IsOwnCopy(WatchShared& shared, const std::wstring& path, const std::wstring& task) {
  os::FileStatus status{};
  if (!os::GetFileStatus(path, &status)) {
    // Gone again: the notification of its removal tells what became of it.
    return shared.WrittenMap.ConsumeIf(path,
                                       [&](const WrittenEcho& echo) { return echo.task == task; });
  }
  if (shared.WrittenMap.ConsumeWhileOneOf(
          path, {task, {status.size, status.mtime_sec, status.mtime_nsec}})) {
    return true;
  }
  // The engine has since put another item at the path (a rename onto it, a
  // new directory) whose own notification is yet to come: what stands there
  // is its doing, not a user's, and this notification is still the copy's.
  if (shared.RenameMap.Contains(path) || shared.AddFilterMap.Contains(path)) {
    return shared.WrittenMap.ConsumeIf(path,
                                       [&](const WrittenEcho& echo) { return echo.task == task; });
  }
  shared.WrittenMap.Erase(path);
  return false;
}

}  // namespace

void DecodeNotifications(const char* records, std::size_t size, const WatchTask& task,
                         BOOL source_side, WatchShared& shared) {
  const BOOL same_fs = EqualsIgnoreCase(task.strSrcFileSystem, task.strDestFileSystem);
  const std::size_t add_size = shared.AddFilterMap.Size();
  const std::size_t delete_size = shared.DeleteFilterMap.Size();
  const std::size_t rename_size = shared.RenameMap.Size();
  const std::size_t written_size = shared.WrittenMap.Size();
  const std::wstring& directory = source_side ? task.strSrcWatchPath : task.strDestWatchPath;
  const BOOL is_drive = source_side ? task.bSrcIsDrive : task.bDestIsDrive;

  auto record_at = [&](std::size_t offset) {
    return reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(records + offset);
  };
  // A record must lie wholly inside the read, name included.
  auto fits = [&](std::size_t offset) {
    constexpr std::size_t kHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    return offset % alignof(FILE_NOTIFY_INFORMATION) == 0 && offset + kHead <= size &&
           offset + kHead + record_at(offset)->FileNameLength <= size;
  };
  auto name_of = [](const FILE_NOTIFY_INFORMATION* r) {
    return std::wstring(r->FileName, r->FileNameLength / sizeof(wchar_t));
  };

  std::size_t cursor = 0;
  for (;;) {
    if (!fits(cursor)) break;
    const FILE_NOTIFY_INFORMATION* record = record_at(cursor);
    if (record->Action == 0) break;
    const std::wstring file_name = name_of(record);
    std::wstring new_name;

    bool skip = false;
    switch (record->Action) {
      case FILE_ACTION_ADDED: {
        const std::wstring full = JoinWatchPath(directory, file_name);
        shared.ModifyFilterMap.Erase(full);
        const bool own_copy = written_size != 0 && IsOwnCopy(shared, full, task.strWatchTaskName);
        if (shared.AddFilterMap.Consume(full, task.strWatchTaskName) || own_copy) {
          if (add_size == 1) {
            DebugTrace("[Strandel] The AddMap has: %d The file was in the AddFilterMap !", 0);
          }
          skip = true;
        } else {
          DebugTraceW(L"[Strandel]DirPath:%ls, FileActionAdd:%ls", directory.c_str(),
                      file_name.c_str());
        }
        break;
      }
      case FILE_ACTION_REMOVED:
        if (delete_size != 0 && shared.DeleteFilterMap.Consume(JoinWatchPath(directory, file_name),
                                                               task.strWatchTaskName)) {
          if (delete_size == 1) {
            DebugTrace("[Strandel] The Delmap has: %d The file was in the DeleteFilterMap !", 0);
          }
          skip = true;
        } else {
          DebugTraceW(L"[Strandel]DirPath:%ls, FileActionRemoved:%ls", directory.c_str(),
                      file_name.c_str());
        }
        break;
      case FILE_ACTION_MODIFIED:
        // A write reports the same file over and over: a run of modified
        // records for one name becomes one change. A run of different names
        // is every one of them a change of its own.
        while (record->NextEntryOffset != 0 && fits(cursor + record->NextEntryOffset)) {
          const FILE_NOTIFY_INFORMATION* next = record_at(cursor + record->NextEntryOffset);
          if (next->Action != FILE_ACTION_MODIFIED || name_of(next) != file_name) break;
          cursor += record->NextEntryOffset;
          record = next;
        }
        skip = written_size != 0 &&
               IsOwnCopy(shared, JoinWatchPath(directory, file_name), task.strWatchTaskName);
        break;
      case FILE_ACTION_RENAMED_OLD_NAME:
        if (record->NextEntryOffset != 0 && fits(cursor + record->NextEntryOffset)) {
          cursor += record->NextEntryOffset;
          record = record_at(cursor);
          new_name = name_of(record);
          if (rename_size != 0 && shared.RenameMap.Consume(JoinWatchPath(directory, new_name),
                                                           {task.strWatchTaskName,
                                                            JoinWatchPath(directory, file_name)})) {
            DebugTrace("[Strandel] The RenameMap has: %d The file was in the DeleteFilterMap !",
                       static_cast<int>(rename_size));
            skip = true;
          } else {
            DebugTraceW(L"[Strandel]DirPath:%ls, FileActionRename: OldName: %ls, NewName: %ls",
                        directory.c_str(), file_name.c_str(), new_name.c_str());
          }
        }
        break;
      default:
        break;
    }
    const DWORD action = record->Action;

    if (!skip && task.bNotWatchSubDir &&
        file_name.find(os::kPathSeparator, 1) != std::wstring::npos) {
      skip = true;
    }
    if (!skip && is_drive && IsBelowSystemOrVanished(directory, action, file_name, new_name)) {
      skip = true;
    }
    if (!skip && !task.bBidirectional && !source_side) skip = true;
    // A full sync never takes a name away, and would bring back one taken
    // away behind it: a removal or rename waits for the sync's end, and the
    // sync leaves the name alone meanwhile.
    if (!skip && (action == 2 || action == 4 || action == 5) &&
        shared.HoldDuringFullSyncOf(action, file_name, new_name, task.strWatchTaskName, source_side,
                                    same_fs)) {
      DebugTraceW(L"[Strandel]A removal or rename of task %ls came during its full sync: held",
                  task.strWatchTaskName.c_str());
      // The new name's contents may be newer than the copy the sync made.
      if (action == 5) shared.MarkNeedsFullSync(task.strWatchTaskName);
      skip = true;
    }
    if (!skip && shared.IsFullSyncOf(task.strWatchTaskName)) {
      // The running full sync may have listed this name already: another
      // one, once it ends, brings the change across.
      DebugTraceW(L"[Strandel]A change of task %ls came during its full sync: another follows",
                  task.strWatchTaskName.c_str());
      shared.MarkNeedsFullSync(task.strWatchTaskName);
      skip = true;
    }
    if (!skip) {
      shared.QueueChangeRecord(action, file_name, new_name, task.strWatchTaskName, source_side,
                               same_fs);
    }
    if (record->NextEntryOffset == 0 || cursor + record->NextEntryOffset >= size) break;
    cursor += record->NextEntryOffset;
  }
}
