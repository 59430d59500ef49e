#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "sync/change_handlers.h"
#include "watch/echo_maps.h"

namespace {

struct Row {
  const wchar_t* operation;
  int32_t line;       // source to destination
  int32_t line_back;  // destination back to source
};

// New name free.
constexpr Row kF1{L"CopyData", 1067, 2241};
constexpr Row kF2{L"CopyData", 1087, 2261};
constexpr Row kF3{L"RenameFile", 1104, 2278};
// Both names taken.
constexpr Row kB1{L"DeleteFile", 1128, 2303};
constexpr Row kB2{L"DeleteFile", 1144, 2319};
constexpr Row kB3{L"CopyData", 1174, 2349};
constexpr Row kB4{L"CopyData", 1195, 2370};
constexpr Row kB5{L"RenameFile", 1206, 2381};
constexpr Row kB6{L"RenameFile", 1250, 2425};
constexpr Row kB7{L"CopyData", 1287, 2462};
constexpr Row kB8{L"RenameFile", 1298, 2473};
// Only the new name taken.
constexpr Row kO1{L"DeleteFile", 1327, 2503};
constexpr Row kO2{L"DeleteFile", 1345, 2521};
constexpr Row kO3{L"DeleteFile", 1361, 2537};
constexpr Row kO4{L"CopyData", 1382, 2559};
constexpr Row kO5{L"DeleteFile", 1413, 2590};
constexpr Row kO6{L"RenameFile", 1432, 2609};
constexpr Row kO7{L"RenameFile", 1452, 2629};
constexpr Row kO8{L"CopyData", 1471, 2647};
// Neither name there.
constexpr Row kN1{L"CopyData", 1498, 2674};
constexpr Row kN2{L"CopyData", 1520, 2696};
constexpr Row kN3{L"CopyData", 1532, 2708};
constexpr Row kN4{L"CopyData", 1587, 2760};

constexpr const wchar_t* kSourceMissing = L"Cannot access source file";

bool IsDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

BOOL ChangeHandlers::ApplyRenamed(const WatchTask& task, const ChangeRecord& record) {
  return Renamed(task, record, false);
}

BOOL ChangeHandlers::ApplyRenamedBack(const WatchTask& task, const ChangeRecord& record) {
  return Renamed(task, record, true);
}

BOOL ChangeHandlers::Renamed(const WatchTask& task, const ChangeRecord& record, bool back) {
  const int strategy = static_cast<int>(task.enRenameStrategy);
  if (strategy == RenameIgnore) return TRUE;
  if (NamesNothing(record.strFileName) || NamesNothing(record.strNewFileName)) return TRUE;

  const std::wstring& target_root = back ? task.strSourceDir : task.strDestDir;
  const std::wstring new_item =
      JoinWatchPath(back ? task.strDestDir : task.strSourceDir, record.strNewFileName);
  const std::wstring old_target = JoinWatchPath(target_root, record.strFileName);
  const std::wstring new_target = JoinWatchPath(target_root, record.strNewFileName);
  const std::wstring& task_name = task.strWatchTaskName;
  DWORD error = ERROR_SUCCESS;
  DWORD rename_error = ERROR_SUCCESS;

  auto log = [&](const Row& row, const std::wstring& from, const std::wstring& to, DWORD code,
                 const std::wstring& message) {
    m_Operations.WriteSyncLog(record, from, to, row.operation, static_cast<int32_t>(code),
                              back ? row.line_back : row.line, message.c_str());
  };
  auto last = [] { return os::GetLastError(); };
  auto rename_old_to_new = [&] {
    return RenameAnnounced(old_target, new_target, task_name, &rename_error);
  };
  // A renamed directory brings no notifications for its contents, so they
  // are copied with it, as far as the task's filters let them.
  auto bring_directory = [&] {
    CreateMissingDirectories(task, back, record.strNewFileName);
    m_Operations.CopyDirectory(new_item, new_target, record);
    return TRUE;
  };

  const bool old_exists = os::PathExists(old_target);
  const bool new_exists = os::PathExists(new_target);
  // On a case-insensitive target a letter-case rename finds both names taken
  // by one file: deleting or backing up "the other" would take the file itself.
  const bool one_file = old_exists && new_exists && os::IsSameFile(old_target, new_target);

  if (old_exists && (!new_exists || one_file)) {
    if (!rename_old_to_new()) {
      bool renamed = false;
      if (rename_error == ERROR_PATH_NOT_FOUND) {
        CreateMissingDirectories(task, back, ParentOfRelative(record.strNewFileName));
        renamed = rename_old_to_new();
      }
      if (!renamed) {
        log(kF3, old_target, new_target, rename_error, L" ");
        return FALSE;
      }
    }
    const DWORD attributes = os::GetFileAttributes(new_item);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      log(kF1, new_item, new_target, last(), kSourceMissing);
      return FALSE;
    }
    if (IsDirectory(attributes) || m_Operations.IsSameFileSize(new_target, new_item)) return TRUE;
    if (m_Operations.SyncCopyFile(new_item, new_target, FALSE, &error, task_name)) return TRUE;
    log(kF2, new_item, new_target, error, new_target);
    return FALSE;
  }

  if (old_exists && new_exists) {
    if (strategy == RenameInPlace) {
      const DWORD target_attributes = os::GetFileAttributes(new_target);
      if (target_attributes == INVALID_FILE_ATTRIBUTES) {
        log(kB1, new_item, new_target, last(), L"Cannot delete:" + new_target);
        return FALSE;
      }
      if (IsDirectory(target_attributes)) {
        m_Shared.DeleteFilterMap.Announce(new_target, task_name);
        if (!m_Operations.DeleteDirectory(new_target, record)) {
          m_Shared.DeleteFilterMap.Withdraw(new_target, task_name);
          log(kB2, new_item, new_target, last(), L"Cannot delete directory:" + new_target);
        }
      } else {
        DeleteFileAnnounced(new_target, task_name);
      }
      if (!rename_old_to_new()) {
        log(kB5, old_target, new_target, rename_error, new_target);
        return FALSE;
      }
      const DWORD attributes = os::GetFileAttributes(new_item);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        log(kB3, new_item, new_target, last(), kSourceMissing);
        return FALSE;
      }
      if (IsDirectory(attributes) || m_Operations.IsSameFileSize(new_target, new_item)) {
        return TRUE;
      }
      if (m_Operations.SyncCopyFile(new_item, new_target, FALSE, nullptr, task_name)) return TRUE;
      log(kB4, new_item, new_target, last(), L" ");
      return FALSE;
    }
    if (strategy == RenameKeepBackup) {
      const std::wstring backup = SyncBakName(new_target);
      if (IsFile(os::GetFileAttributes(backup))) DeleteFileAnnounced(backup, task_name);
      if (!RenameAnnounced(new_target, backup, task_name, &rename_error)) {
        log(kB6, new_target, backup, rename_error, L" ");
      }
      if (!rename_old_to_new()) {
        log(kB8, old_target, new_target, rename_error, L" ");
        return FALSE;
      }
      const DWORD attributes = os::GetFileAttributes(new_item);
      if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
      if (IsDirectory(attributes) || m_Operations.IsSameFileSize(new_target, new_item)) {
        return TRUE;
      }
      if (m_Operations.SyncCopyFile(new_item, new_target, FALSE, &error, task_name)) return TRUE;
      log(kB7, new_item, new_target, error, L"Copy file failed");
      return FALSE;
    }
    return TRUE;
  }

  if (new_exists) {
    if (strategy == RenameInPlace) {
      const DWORD target_attributes = os::GetFileAttributes(new_target);
      if (target_attributes == INVALID_FILE_ATTRIBUTES) {
        log(kO1, new_item, new_target, last(), L"Cannot access:" + new_target);
        return FALSE;
      }
      const DWORD item_attributes = os::GetFileAttributes(new_item);
      if (item_attributes == INVALID_FILE_ATTRIBUTES) {
        // Nothing could take the target's place: keep it.
        log(kO4, new_item, new_target, ERROR_FILE_NOT_FOUND, L"Copy file failed");
        return FALSE;
      }
      if (IsDirectory(target_attributes)) {
        m_Shared.DeleteFilterMap.Announce(new_target, task_name);
        if (!m_Operations.DeleteDirectory(new_target, record)) {
          m_Shared.DeleteFilterMap.Withdraw(new_target, task_name);
          log(kO2, new_item, new_target, last(), new_target);
        }
      } else if (IsDirectory(item_attributes) && !DeleteFileAnnounced(new_target, task_name)) {
        // A file target is otherwise replaced by the copy itself, in one step.
        log(kO3, new_item, new_target, last(), new_target);
      }
      // No rename is made here, so none is announced: an entry would wait
      // for the next genuine rename onto this name and swallow it.
      if (IsDirectory(item_attributes)) return bring_directory();
      if (m_Operations.SyncCopyFile(new_item, new_target, FALSE, &error, task_name)) return TRUE;
      log(kO4, new_item, new_target, error, L"Copy file failed");
      return FALSE;
    }
    if (strategy == RenameKeepBackup) {
      const std::wstring backup = SyncBakName(new_target);
      if (IsFile(os::GetFileAttributes(backup)) && !DeleteFileAnnounced(backup, task_name)) {
        log(kO5, new_item, backup, last(), backup);
      }
      const DWORD target_attributes = os::GetFileAttributes(new_target);
      if (target_attributes == INVALID_FILE_ATTRIBUTES) {
        log(kO6, new_item, new_target, last(), L"Cannot access:" + new_target);
        return FALSE;
      }
      if (IsDirectory(target_attributes)) return TRUE;
      if (!RenameAnnounced(new_target, backup, task_name, &rename_error)) {
        log(kO7, new_target, backup, rename_error, L" ");
        // Copying now would overwrite the only copy of the old version.
        return FALSE;
      }
      if (IsDirectory(os::GetFileAttributes(new_item))) return bring_directory();
      if (m_Operations.SyncCopyFile(new_item, new_target, FALSE, &error, task_name)) return TRUE;
      log(kO8, new_item, new_target, error, L" ");
      return FALSE;
    }
    return TRUE;
  }

  // Neither name at the target: the new item comes over like an added one.
  if (os::GetFileAttributes(new_item) == INVALID_FILE_ATTRIBUTES) {
    log(kN1, new_item, new_target, last(), kSourceMissing);
    return FALSE;
  }
  auto copy = [&](BOOL fail_if_exists) {
    return m_Operations.SyncCopyFile(new_item, new_target, fail_if_exists, &error, task_name);
  };
  if (copy(TRUE)) return TRUE;
  if (error == ERROR_SHARING_VIOLATION && copy(FALSE)) return TRUE;
  if (error != ERROR_ACCESS_DENIED && error != ERROR_PATH_NOT_FOUND) {
    log(kN2, new_item, new_target, error, L" ");
    return FALSE;
  }
  const DWORD attributes = os::GetFileAttributes(new_item);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    log(kN3, new_item, new_target, error, kSourceMissing);
    return FALSE;
  }
  if (IsDirectory(attributes)) return bring_directory();
  CreateMissingDirectories(task, back, ParentOfRelative(record.strNewFileName));
  if (copy(TRUE)) return TRUE;
  log(kN4, new_item, new_target, error, L" ");
  return FALSE;
}
