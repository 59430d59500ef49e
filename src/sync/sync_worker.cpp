#include "sync/sync_worker.h"

#include <chrono>

#include "os/file_attributes.h"
#include "platform/diag_log.h"
#include "platform/process_starter.h"

namespace {

// A file renamed or deleted the moment it was written can be gone before the
// watch thread has read that notification: the worker waits this long for it.
constexpr os::Duration kDepartureGrace = std::chrono::milliseconds(200);

std::wstring WithoutTrailingSeparator(std::wstring dir) {
  if (dir.size() > 1 && (dir.back() == L'/' || dir.back() == L'\\')) dir.pop_back();
  return dir;
}

}  // namespace

CSyncWorker::CSyncWorker(WatchShared& shared, ChangeHandlers& handlers,
                         SyncFileOperations& operations, CPendingShareMap& pending_shares,
                         os::Event& work_event)
    : m_Shared(shared),
      m_Handlers(handlers),
      m_Operations(operations),
      m_PendingShares(pending_shares),
      m_hWorkEvent(work_event) {}

CSyncWorker::~CSyncWorker() { Stop(); }

bool CSyncWorker::Start() {
  if (m_Thread.joinable()) return true;
  try {
    m_Thread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void CSyncWorker::Stop() {
  if (!m_Thread.joinable()) return;
  m_hQuitEvent.Set();
  m_Thread.join();
}

void CSyncWorker::Run() {
  for (;;) {
    const DWORD woken = os::WaitForAny({&m_hWorkEvent, &m_hQuitEvent}, INFINITE);
    if (woken == WAIT_OBJECT_0) {
      ProcessSyncQueue();
    } else if (woken == WAIT_OBJECT_0 + 1) {
      return;
    } else {
      DebugTrace("[Strandel]...Error...");
    }
  }
}

void CSyncWorker::ProcessSyncQueue() {
  while (!m_Shared.m_ChangeQueue.Empty()) {
    if (m_hQuitEvent.IsSet()) return;  // stopping: the rest stay queued
    std::optional<ChangeRecord> taken = m_Shared.m_ChangeQueue.TakeFront();
    if (!taken) return;
    const ChangeRecord record = std::move(*taken);
    ProcessRecord(record);
    m_Shared.m_ChangeQueue.Done(record);
  }
}

void CSyncWorker::ProcessRecord(const ChangeRecord& record) {
  // One locked lookup copies the task whole, so a change the controller
  // makes meanwhile is either all in the copy or not at all.
  std::optional<WatchTask> found = m_Shared.m_WatchTaskMap.Lookup(record.strTaskName);
  if (!found) return;
  WatchTask task = std::move(*found);
  task.strSourceDir = WithoutTrailingSeparator(task.strSourceDir);
  task.strDestDir = WithoutTrailingSeparator(task.strDestDir);
  if (task.bSetInclude || task.bSetExclude) {
    CActiveUserImpersonation impersonation;
    if (!PassesTaskFilter(task, record)) return;
  }
  const BOOL source_side = record.bSourceSide;
  SyncFileOperations::HeldHistory held(m_Operations);
  BOOL result = source_side ? DispatchToDest(task, record) : DispatchToSource(record, task);
  // A file renamed or deleted right after it was written (a lock file, an
  // editor's or a downloader's temporary) is gone before its copy: the
  // record that took it away tells what happened, so this one says nothing.
  // Unless it was a rename that reached the other side: the record that
  // takes the new name away starts from there and never names the old one.
  if (!result && TakenAwayByALaterRecord(task, record)) {
    held.Drop();
    if (!RenameCarriedAcross(task, record)) return;
    result = TRUE;
  }
  if (source_side) {
    m_Operations.WriteSyncLog(
        record, task.strSourceDir, task.strDestDir, L"SyncFinish", result ? 0 : 1,
        result ? 2138 : 2148,
        result ? L"Sync source to destination SUCCESS" : L"Sync source to destination FAILED");
  } else {
    m_Operations.WriteSyncLog(
        record, task.strDestDir, task.strSourceDir, L"SyncFinish", result ? 0 : 1,
        result ? 2161 : 2171,
        result ? L"Sync destination to source SUCCESS" : L"Sync destination to source FAILED");
  }
}

BOOL CSyncWorker::PassesTaskFilter(const WatchTask& task, const ChangeRecord& record) {
  const std::wstring& near_root = record.bSourceSide ? task.strSourceDir : task.strDestDir;
  const std::wstring& far_root = record.bSourceSide ? task.strDestDir : task.strSourceDir;
  const bool renamed = record.dwAction == 5;
  std::wstring path;
  if (record.dwAction == 1 || record.dwAction == 3) {
    path = JoinWatchPath(near_root, record.strFileName);
  } else if (renamed) {
    path = JoinWatchPath(near_root, record.strNewFileName);
  } else {
    path = JoinWatchPath(far_root, record.strFileName);  // a removal: the copy that still exists
  }
  const DWORD attributes = os::GetFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  const bool is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const std::wstring& name = renamed ? record.strNewFileName : record.strFileName;
  return m_Shared.m_TaskFilterMap.Passes(task.strWatchTaskName, name, is_directory) ? TRUE : FALSE;
}

bool CSyncWorker::TakenAwayByALaterRecord(const WatchTask& task, const ChangeRecord& record) {
  if (record.dwAction != 1 && record.dwAction != 3 && record.dwAction != 5) return false;
  const std::wstring& item = record.dwAction == 5 ? record.strNewFileName : record.strFileName;
  const std::wstring& near_root = record.bSourceSide ? task.strSourceDir : task.strDestDir;
  if (os::GetFileAttributes(JoinWatchPath(near_root, item)) != INVALID_FILE_ATTRIBUTES)
    return false;
  return m_Shared.m_ChangeQueue.AwaitDeparture(record.strTaskName, record.bSourceSide, item,
                                               kDepartureGrace);
}

bool CSyncWorker::RenameCarriedAcross(const WatchTask& task, const ChangeRecord& record) {
  if (record.dwAction != 5) return false;
  const std::wstring& far_root = record.bSourceSide ? task.strDestDir : task.strSourceDir;
  return os::GetFileAttributes(JoinWatchPath(far_root, record.strFileName)) ==
             INVALID_FILE_ATTRIBUTES &&
         os::GetFileAttributes(JoinWatchPath(far_root, record.strNewFileName)) !=
             INVALID_FILE_ATTRIBUTES;
}

BOOL CSyncWorker::Dispatch(const WatchTask& task, const ChangeRecord& record) {
  const bool to_dest = record.bSourceSide != 0;
  switch (record.dwAction) {
    case 1:
      return to_dest ? m_Handlers.ApplyAdded(task, record)
                     : m_Handlers.ApplyAddedBack(task, record);
    case 2:
      return to_dest ? m_Handlers.ApplyRemoved(task, record)
                     : m_Handlers.ApplyRemovedBack(task, record);
    case 3:
      return to_dest ? m_Handlers.ApplyModified(task, record)
                     : m_Handlers.ApplyModifiedBack(task, record);
    case 5:
      return to_dest ? m_Handlers.ApplyRenamed(task, record)
                     : m_Handlers.ApplyRenamedBack(task, record);
    default:
      return TRUE;  // an old name whose new name never came: nothing to do
  }
}

BOOL CSyncWorker::DispatchToDest(const WatchTask& task, const ChangeRecord& record) {
  ConnectPendingShare(m_PendingShares, task.strDestDir);
  CActiveUserImpersonation impersonation;
  return Dispatch(task, record);
}

BOOL CSyncWorker::DispatchToSource(const ChangeRecord& record, const WatchTask& task) {
  return Dispatch(task, record);
}
