#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "sync/change_handlers.h"
#include "watch/echo_maps.h"

namespace {

struct Row {
  int32_t line;
  const wchar_t* message;
};

struct RemovedRows {
  Row unreadable, directory_kept, file_kept, bin_unreadable, bin_directory_kept, bin_file_kept;
};

constexpr RemovedRows kToDestination{
    {1803, L"Destination file cannot access"},
    {1821, L"Delete directory failed"},
    {1839, L"Delete file failed"},
    {1856, L"Cannot access destination path"},
    {1874, L"Delete directory failed"},
    {1895, L" "},
};
constexpr RemovedRows kBackToSource{
    {2975, L"Cannot access file"},      {2992, L"Cannot delete directory"},
    {3009, L"Cannot delete file"},      {3026, L"Cannot access file"},
    {3043, L"Cannot delete directory"}, {3062, L"Cannot delete file"},
};

}  // namespace

BOOL ChangeHandlers::ApplyRemoved(const WatchTask& task, const ChangeRecord& record) {
  return Removed(task, record, false);
}

BOOL ChangeHandlers::ApplyRemovedBack(const WatchTask& task, const ChangeRecord& record) {
  return Removed(task, record, true);
}

BOOL ChangeHandlers::Removed(const WatchTask& task, const ChangeRecord& record, bool back) {
  if (NamesNothing(record.strFileName)) return TRUE;
  const std::wstring target =
      JoinWatchPath(back ? task.strSourceDir : task.strDestDir, record.strFileName);
  const std::wstring& task_name = task.strWatchTaskName;
  const RemovedRows& rows = back ? kBackToSource : kToDestination;
  auto log = [&](const Row& row) {
    const std::wstring none;
    m_Operations.WriteSyncLog(record, back ? target : none, back ? none : target, L"DeleteFile",
                              static_cast<int32_t>(os::GetLastError()), row.line, row.message);
  };

  if (!os::PathExists(target)) return TRUE;
  const bool to_bin = task.enDelStrategy == DelToRecycleBin;
  if (task.enDelStrategy != DelPermanent && !to_bin) return TRUE;

  const DWORD attributes = os::GetFileAttributes(target);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    log(to_bin ? rows.bin_unreadable : rows.unreadable);
    return FALSE;
  }
  // The recycle bin takes single files; a directory always goes for good.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    m_Shared.DeleteFilterMap.Announce(target, task_name);
    if (m_Operations.DeleteDirectory(target, record)) return TRUE;
    m_Shared.DeleteFilterMap.Withdraw(target, task_name);
    log(to_bin ? rows.bin_directory_kept : rows.directory_kept);
    return FALSE;
  }
  if (to_bin) {
    m_Shared.DeleteFilterMap.Announce(target, task_name);
    if (m_Operations.DeleteToRecycleBin(target)) return TRUE;
    m_Shared.DeleteFilterMap.Withdraw(target, task_name);
  }
  if (DeleteFileAnnounced(target, task_name)) return TRUE;
  log(to_bin ? rows.bin_file_kept : rows.file_kept);
  return FALSE;
}
