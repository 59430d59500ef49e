#include "os/directory_ops.h"
#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/text.h"
#include "sync/change_handlers.h"
#include "watch/echo_maps.h"

namespace {

struct Row {
  const wchar_t* operation;
  int32_t line;
  const wchar_t* message;
};

// Source to destination.
constexpr Row kA1{L"CopyData", 1945, L"Cannot access source file"};
constexpr Row kA2{L"CopyData", 1976, L"Copy file failed"};
constexpr Row kA3{L"CreateFile", 2008, L"2009"};
constexpr Row kE1{L"CopyData", 5541, L" "};
constexpr Row kE2{L"RenameFile", 5559, L"Cannot access destination path"};
constexpr Row kE3{L"DeleteFile", 5589, L"Delete file failed"};
constexpr Row kE4{L"RenameFile", 5608, L" "};
constexpr Row kE5{L"CopyData", 5623, L"Copy file failed"};
// Destination back to source.
constexpr Row kB1{L"CopyData", 3239, L"Cannot access source file"};
constexpr Row kB2{L"CopyData", 3266, L"Cannot copy file"};
constexpr Row kB3{L"CopyData", 3299, L"Cannot copy file"};
constexpr Row kB4{L"CopyData", 3115, L"Cannot access file"};
constexpr Row kB5{L"CopyData", 3130, L"Cannot copy file"};
constexpr Row kB6{L"CreateFile", 3146, L"Cannot access file"};
constexpr Row kB7{L"DeleteFile", 3181, L"Cannot delete file"};
constexpr Row kB8{L"RenameFile", 3200, L"Cannot rename file"};
constexpr Row kB9{L"CopyData", 3213, L"Cannot copy file"};

bool IsDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

std::wstring ParentOfRelative(const std::wstring& relative) {
  const auto cut = relative.rfind(os::kPathSeparator);
  return cut == std::wstring::npos ? std::wstring() : relative.substr(0, cut);
}

bool ChangeHandlers::NamesNothing(const std::wstring& relative) {
  return relative.find_first_not_of(os::kPathSeparator) == std::wstring::npos;
}

void ChangeHandlers::CreateMissingDirectories(const WatchTask& task, bool back,
                                              const std::wstring& relative) {
  std::wstring path = back ? task.strSourceDir : task.strDestDir;
  std::wstring model = back ? task.strDestDir : task.strSourceDir;
  std::size_t start = 0;
  while (start < relative.size()) {
    std::size_t end = relative.find(os::kPathSeparator, start);
    if (end == std::wstring::npos) end = relative.size();
    if (end > start) {
      path += os::kPathSeparator;
      path.append(relative, start, end - start);
      model += os::kPathSeparator;
      model.append(relative, start, end - start);
      if (!os::PathExists(path)) {
        const BOOL marked = m_Operations.MarkAdding(path, task.strWatchTaskName);
        if (!os::CreateDirectoryLike(path, model) && marked) {
          m_Operations.UnmarkAdding(path, task.strWatchTaskName);
        }
      }
    }
    start = end + 1;
  }
}

BOOL ChangeHandlers::DeleteFileAnnounced(const std::wstring& path, const std::wstring& task_name) {
  m_Shared.DeleteFilterMap.Announce(path, task_name);
  os::SetPlainAttributes(path);
  if (os::DeleteFile(path)) return TRUE;
  m_Shared.DeleteFilterMap.Withdraw(path, task_name);
  return FALSE;
}

BOOL ChangeHandlers::RenameAnnounced(const std::wstring& from, const std::wstring& to,
                                     const std::wstring& task_name, DWORD* error) {
  // rename(2) would silently replace what is at to; the engine only ever
  // means to give an item a free name.
  if (os::PathExists(to) && !os::IsSameFile(from, to)) {
    *error = ERROR_ALREADY_EXISTS;
    os::SetLastError(*error);
    return FALSE;
  }
  m_Shared.RenameMap.Announce(to, {task_name, from});
  if (os::MoveFile(from, to)) return TRUE;
  *error = os::GetLastError();
  m_Shared.RenameMap.Withdraw(to, {task_name, from});
  return FALSE;
}

BOOL ChangeHandlers::ApplyAdded(const WatchTask& task, const ChangeRecord& record) {
  return Added(task, record, false);
}

BOOL ChangeHandlers::ApplyAddedBack(const WatchTask& task, const ChangeRecord& record) {
  return Added(task, record, true);
}

BOOL ChangeHandlers::ApplyAddedExisting(const WatchTask& task, const ChangeRecord& record) {
  return AddedExisting(task, record, false);
}

BOOL ChangeHandlers::Added(const WatchTask& task, const ChangeRecord& record, bool back) {
  if (NamesNothing(record.strFileName)) return TRUE;
  const std::wstring& target_root = back ? task.strSourceDir : task.strDestDir;
  const std::wstring item =
      JoinWatchPath(back ? task.strDestDir : task.strSourceDir, record.strFileName);
  const std::wstring target = JoinWatchPath(target_root, record.strFileName);
  const std::wstring& task_name = task.strWatchTaskName;
  DWORD error = ERROR_SUCCESS;
  auto log = [&](const Row& row, DWORD code) {
    m_Operations.WriteSyncLog(record, item, target, row.operation, static_cast<int32_t>(code),
                              row.line, row.message);
  };
  auto copy = [&](BOOL fail_if_exists) {
    return m_Operations.SyncCopyFile(item, target, fail_if_exists, &error, task_name);
  };

  if (os::PathExists(target)) {
    const BOOL same = record.bSameFileSystem ? m_Operations.IsSameFileTime(item, target)
                                             : m_Operations.IsSameFileSize(item, target);
    if (same) return TRUE;
    return AddedExisting(task, record, back);
  }
  // A two-way task's new destination item always comes back, whatever the
  // strategy says about new source items.
  if (!back && task.enAddStrategy == AddIgnore) return TRUE;

  const DWORD attributes = os::GetFileAttributes(item);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    if (back) {
      log(kB1, error);
    } else {
      log(kA1, os::GetLastError());
    }
    return FALSE;
  }
  if (IsDirectory(attributes)) {
    CreateMissingDirectories(task, back, record.strFileName);
    m_Operations.CopyDirectory(item, target, record);
    return TRUE;
  }

  if (copy(TRUE)) return TRUE;
  if (error == ERROR_SHARING_VIOLATION && copy(FALSE)) return TRUE;
  if (error != ERROR_PATH_NOT_FOUND && error != ERROR_ACCESS_DENIED) {
    log(back ? kB2 : kA2, error);
    return FALSE;
  }
  CreateMissingDirectories(task, back, ParentOfRelative(record.strFileName));
  if (copy(TRUE)) return TRUE;
  log(back ? kB3 : kA3, error);
  return FALSE;
}

BOOL ChangeHandlers::AddedExisting(const WatchTask& task, const ChangeRecord& record, bool back) {
  const std::wstring item =
      JoinWatchPath(back ? task.strDestDir : task.strSourceDir, record.strFileName);
  const std::wstring target =
      JoinWatchPath(back ? task.strSourceDir : task.strDestDir, record.strFileName);
  const std::wstring& task_name = task.strWatchTaskName;
  DWORD error = ERROR_SUCCESS;
  auto log = [&](const Row& row, const std::wstring& from, const std::wstring& to, DWORD code) {
    m_Operations.WriteSyncLog(record, from, to, row.operation, static_cast<int32_t>(code), row.line,
                              row.message);
  };

  switch (task.enAddStrategy) {
    case AddOverwrite: {
      const DWORD attributes = os::GetFileAttributes(target);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!back) return TRUE;
        log(kB4, target, item, os::GetLastError());
        return FALSE;
      }
      if (IsDirectory(attributes)) return TRUE;
      if (m_Operations.SyncCopyFile(item, target, FALSE, &error, task_name)) return TRUE;
      if (back) {
        log(kB5, item, target, os::GetLastError());
      } else {
        log(kE1, item, target, error);
      }
      return FALSE;
    }
    case AddKeepBackup: {
      const DWORD attributes = os::GetFileAttributes(target);
      if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (back) {
          log(kB6, target, item, os::GetLastError());
        } else {
          log(kE2, item, target, os::GetLastError());
        }
        return FALSE;
      }
      if (IsDirectory(attributes)) return TRUE;

      const std::wstring backup = SyncBakName(target);
      const DWORD backup_attributes = os::GetFileAttributes(backup);
      if (backup_attributes != INVALID_FILE_ATTRIBUTES && !IsDirectory(backup_attributes) &&
          !DeleteFileAnnounced(backup, task_name)) {
        if (back) {
          log(kB7, backup, target, os::GetLastError());
        } else {
          log(kE3, target, backup, os::GetLastError());
        }
      }
      DWORD rename_error = ERROR_SUCCESS;
      if (!RenameAnnounced(target, backup, task_name, &rename_error)) {
        log(back ? kB8 : kE4, target, backup, rename_error);
        // Copying now would overwrite the only copy of the old version.
        return FALSE;
      }
      if (m_Operations.SyncCopyFile(item, target, FALSE, &error, task_name)) return TRUE;
      if (back) {
        log(kB9, item, target, error);
      } else {
        log(kE5, item, target, os::GetLastError());
      }
      return FALSE;
    }
    default:
      return TRUE;
  }
}
