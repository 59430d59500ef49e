#include "os/directory_ops.h"
#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/text.h"
#include "sync/change_handlers.h"
#include "watch/echo_maps.h"

namespace {

struct Row {
  int32_t line;
  const wchar_t* message;
};

// Source to destination.
constexpr Row kM1{1613, L"Cannot access source file"};
constexpr Row kM2{1685, L" "};
constexpr Row kM3{1720, L" "};
constexpr Row kM4{1766, L" "};
// Destination back to source.
constexpr Row kN1{2781, L"Cannot access source file"};
constexpr Row kN2{2814, L"Create directroy failed"};
constexpr Row kN3{2848, L"Cannot access source file"};
constexpr Row kN4{2873, L"Copy file failed"};
constexpr Row kN5{2908, L"Copy file failed"};
constexpr Row kN6{2942, L"Copy file failed"};

// Whether the other side's removal or rename of the record's item, or of a
// directory above it, waits in the queue.
bool LeavingOtherSide(const ChangeQueue& queue, const ChangeRecord& record) {
  return queue.DepartureQueued(record.strTaskName, !record.bSourceSide, record.strFileName);
}

}  // namespace

BOOL ChangeHandlers::ApplyModified(const WatchTask& task, const ChangeRecord& record) {
  return Modified(task, record, false);
}

BOOL ChangeHandlers::ApplyModifiedBack(const WatchTask& task, const ChangeRecord& record) {
  return Modified(task, record, true);
}

BOOL ChangeHandlers::Modified(const WatchTask& task, const ChangeRecord& record, bool back) {
  if (NamesNothing(record.strFileName)) return TRUE;
  const std::wstring& target_root = back ? task.strSourceDir : task.strDestDir;
  const std::wstring item =
      JoinWatchPath(back ? task.strDestDir : task.strSourceDir, record.strFileName);
  const std::wstring target = JoinWatchPath(target_root, record.strFileName);
  const std::wstring& task_name = task.strWatchTaskName;
  DWORD error = ERROR_SUCCESS;
  auto log = [&](const Row& row, const wchar_t* operation, DWORD code) {
    m_Operations.WriteSyncLog(record, item, target, operation, static_cast<int32_t>(code), row.line,
                              row.message);
  };
  // A two-way task makes a missing counterpart too, so that an item on one
  // side only is never lost, unless the other side's removal of it is still
  // queued (the item follows it there) and no earlier write of the engine
  // failed at the target.
  auto creation_allowed = [&] {
    return !task.bBidirectional || m_Shared.ModifyFilterMap.Contains(target) ||
           !LeavingOtherSide(m_Shared.m_ChangeQueue, record);
  };

  const DWORD attributes = os::GetFileAttributes(item);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    log(back ? kN1 : kM1, L"CopyData", os::GetLastError());
    return FALSE;
  }

  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    if (os::PathExists(target)) {
      os::CopyOwnerAndMode(item, target);
      return TRUE;
    }
    if (!creation_allowed()) return FALSE;
    const BOOL marked = m_Operations.MarkAdding(target, task_name);
    if (os::CreateDirectoryLike(target, item)) {
      m_Operations.UnmarkModifying(target);
      return TRUE;
    }
    const DWORD saved = os::GetLastError();
    if (marked) m_Operations.UnmarkAdding(target, task_name);
    if (saved != ERROR_PATH_NOT_FOUND) {
      if (!back) return TRUE;
      log(kN2, L"CreateFile", saved);
      return FALSE;
    }
    CreateMissingDirectories(task, back, record.strFileName);
    return TRUE;
  }

  if (back && os::GetFileAttributes(item) == INVALID_FILE_ATTRIBUTES) {
    log(kN3, L"CopyData", os::GetLastError());
    return FALSE;
  }

  const DWORD target_attributes = os::GetFileAttributes(target);
  const bool target_exists = target_attributes != INVALID_FILE_ATTRIBUTES;
  if (!target_exists && !task.bBidirectional) {
    const BOOL first_fail_if_exists = back ? FALSE : TRUE;
    auto copy = [&](BOOL fail_if_exists) {
      return m_Operations.SyncCopyFile(item, target, fail_if_exists, &error, task_name);
    };
    if (copy(first_fail_if_exists)) return TRUE;
    if (error == ERROR_SHARING_VIOLATION && copy(!first_fail_if_exists)) return TRUE;
    if (error != ERROR_PATH_NOT_FOUND && error != ERROR_ACCESS_DENIED) {
      log(back ? kN4 : kM2, L"CopyData", error);
      return FALSE;
    }
    CreateMissingDirectories(task, back, ParentOfRelative(record.strFileName));
    if (back) {
      if (m_Operations.SyncCopyFile(item, target, TRUE, nullptr, task_name)) return TRUE;
      log(kN5, L"CopyData", error);
      return FALSE;
    }
    if (copy(TRUE)) return TRUE;
    log(kM3, L"CopyData", error);
    return FALSE;
  }

  BOOL same = FALSE;
  if (!record.bSameFileSystem) {
    same = m_Operations.IsSameFileSize(item, target);
  } else if (back) {
    same = m_Operations.IsSameWriteTime(item, target);
  } else {
    same = m_Operations.IsSameFileTime(item, target);
  }
  if (same) {
    // A change of mode or owner alone leaves contents and times as they were.
    os::CopyOwnerAndMode(item, target);
    return TRUE;
  }
  if (!back && target_exists && (target_attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return TRUE;
  if (!target_exists) {
    if (!creation_allowed()) return TRUE;
    CreateMissingDirectories(task, back, ParentOfRelative(record.strFileName));
  }

  if (back) {
    if (!m_Operations.SyncCopyFile(item, target, FALSE, nullptr, task_name)) {
      log(kN6, L"CopyData", ERROR_SUCCESS);
      return FALSE;
    }
  } else if (!m_Operations.SyncCopyFile(item, target, FALSE, &error, task_name)) {
    log(kM4, L"CopyData", error);
    return FALSE;
  }
  m_Operations.UnmarkModifying(target);
  return TRUE;
}
