#include "sync/full_sync.h"

#include <algorithm>
#include <utility>

#include "os/directory_ops.h"
#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/parent_directory_cache.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "watch/path_rules.h"

namespace {

// History lines of the pass's outcome rows.
constexpr int32_t kSuccessLine = 4870;
constexpr int32_t kFailureLine = 4876;
constexpr int32_t kConflictLine = 4890;

// Across file systems a time may have been rounded to two seconds (FAT): two
// versions of one size closer than that are taken as one.
constexpr int64_t kForeignToleranceNs = 2'000'000'000;

std::wstring WithoutTrailingSeparators(std::wstring path) {
  while (path.size() > 1 && path.back() == os::kPathSeparator) path.pop_back();
  return path;
}

int64_t Nanoseconds(int64_t sec, int64_t nsec) { return sec * 1'000'000'000 + nsec; }

}  // namespace

std::wstring TranslatePath(const std::wstring& from_root, const std::wstring& to_root,
                           const std::wstring& path) {
  const std::wstring from = WithoutTrailingSeparators(from_root);
  std::wstring to = WithoutTrailingSeparators(to_root);
  std::wstring rest = path.size() > from.size() ? path.substr(from.size()) : std::wstring();
  if (!rest.empty() && rest.front() == os::kPathSeparator && !to.empty() &&
      to.back() == os::kPathSeparator) {
    rest.erase(0, 1);
  }
  return to + rest;
}

BOOL CFullSync::DoSyncDirectory(const WatchTask& task, const TaskFilterEntry& filters,
                                BOOL bIsDestDir) {
  DebugTrace("[Strandel]%d: DoSyncDirectory IN, bIsDestDir:%d", __LINE__, bIsDestDir);
  m_bAsk = task.bFailReport != 0;
  // A one-way destination is a mirror: nothing in it is ever brought back.
  if (!bIsDestDir || task.bBidirectional) {
    BuildFileMap(task, filters, bIsDestDir);
    DebugTrace("[Strandel]%d: DoSyncDirectory m_FileMap.size:%d", __LINE__,
               static_cast<int>(m_FileMap.size()));
    SyncFileOperations::HistoryBatch history(m_Operations);
    // The items of one directory come in runs: their two directories are
    // resolved once per run, not once per primitive.
    os::ParentDirectoryCache directories;
    std::wstring_view directory;
    bool in_made_directory = false;
    for (uint32_t index = 0; index < m_FileMap.size(); ++index) {
      if (Stopped()) break;
      const FileRecord& record = m_FileMap[index];
      if (record.Directory() != directory) {
        directories.Clear();
        ++m_DirectoryRun;
        directory = record.Directory();
        in_made_directory = m_MadeDirectories.count(std::wstring(directory)) != 0;
      }
      const std::wstring item = m_strListedRoot + record.strRelativePath;
      DebugTraceW(L"[Strandel]%d: DoSyncDirectory strFilePathName=%ls bIsDirectory=%d", index,
                  item.c_str(), record.bIsDirectory ? 1 : 0);
      ++m_Counts.checked;
      m_Counts.checked_bytes += record.size;
      SyncRecord(task, record, item, bIsDestDir, in_made_directory);
    }
    FinishCopies(task, bIsDestDir);
    m_Copies.reset();
  }
  m_FileMap.clear();
  m_FileMap.shrink_to_fit();
  m_Resolutions.clear();
  m_MadeDirectories.clear();
  DebugTrace("[Strandel]%d: DoSyncDirectory OUT, bIsDestDir:%d", __LINE__, bIsDestDir);
  return 1;
}

bool CFullSync::BuildFileMap(const WatchTask& task, const TaskFilterEntry& filters,
                             BOOL bIsDestDir) {
  m_FileMap.clear();
  const std::wstring& root = bIsDestDir ? task.strDestDir : task.strSourceDir;
  m_strListedRoot = root;
  if (m_strListedRoot.empty() || m_strListedRoot.back() != os::kPathSeparator) {
    m_strListedRoot.push_back(os::kPathSeparator);
  }
  Tell(kOpListing, root, L"", ERROR_SUCCESS);
  // A root that cannot be listed (gone, unmounted) fails the pass; an empty
  // listing would pass for a tree with nothing to do.
  if (os::DirectoryListing probe; !probe.Open(root)) {
    const DWORD error = os::GetLastError();
    DebugTraceW(L"[Strandel: %ls]The root cannot be listed, error %u", root.c_str(),
                static_cast<unsigned>(error));
    m_ListingFailures.emplace_back(root, error != ERROR_SUCCESS ? error : ERROR_PATH_NOT_FOUND);
    ReportListingFailures(task, bIsDestDir);
    return false;
  }
  const bool listed =
      GetdirectoryInfoList(root, task.bSetInclude, task.bSetExclude, filters, task.bNotWatchSubDir);
  ReportListingFailures(task, bIsDestDir);
  DebugTraceW(listed ? L"[Strandel: %ls]File Map has %d Files! But GetdirectoryInfoList Success"
                     : L"[Strandel: %ls]File Map has %d Files! But GetdirectoryInfoList fail",
              root.c_str(), static_cast<int>(m_FileMap.size()));
  return listed;
}

bool CFullSync::GetdirectoryInfoList(const std::wstring& dir, BOOL bInclude, BOOL bExclude,
                                     const TaskFilterEntry& filters, BOOL bNotWatchSubDir) {
  if (dir.size() < 2) {
    DebugTrace("[Strandel]strDirName.GetLength() < 2\n");
    return false;
  }
  std::wstring prefix = dir;
  if (prefix.back() != os::kPathSeparator) prefix.push_back(os::kPathSeparator);
  os::DirectoryListing listing;
  if (!listing.Open(prefix)) {
    NoteListingFailure(dir);
    return false;
  }
  bool all_added = true;
  std::wstring name;
  bool is_directory = false;
  while (!Stopped() && listing.Next(&name, &is_directory)) {
    // Hidden names stay private to their side; the module's own temporary
    // files are among them.
    if (name.front() == L'.') continue;
    // Each item is described once, from the listed directory itself.
    os::FileStatus status{};
    if (!listing.DescribeLast(&status)) {
      DebugTrace("_access() file failed !! ");
      NoteListingFailure(prefix + name);
      all_added = false;
      continue;
    }
    if (status.is_directory) {
      std::wstring path = prefix + name;
      if ((status.attributes & FILE_ATTRIBUTE_SYSTEM) != 0) {
        DebugTraceW(L"[Strandel]Don't Synchronize System Directory [%ls] and File in it",
                    path.c_str());
        continue;
      }
      all_added &= AddFileToMap(path, prefix.size(), true, status);
      if (bNotWatchSubDir) {
        DebugTrace("[Strandel]Needn't Watch SubDir");
      } else {
        all_added &= GetdirectoryInfoList(path, bInclude, bExclude, filters, bNotWatchSubDir);
      }
      continue;
    }
    // Reading a FIFO would stall the pass, and a device node is not data.
    if (!status.is_regular && !status.is_symlink) {
      DebugTraceW(L"[Strandel]Special file %ls%ls is not synchronised", prefix.c_str(),
                  name.c_str());
      continue;
    }
    if ((bInclude && !MatchIncludeFilter(name, filters.include_patterns)) ||
        (bExclude && MatchExcludeFilter(name, filters.exclude_patterns))) {
      continue;
    }
    all_added &= AddFileToMap(prefix + name, prefix.size(), false, status);
  }
  return all_added && os::GetLastError() == ERROR_SUCCESS;
}

bool CFullSync::AddFileToMap(const std::wstring& path, std::size_t name_offset, bool bIsDirectory,
                             const os::FileStatus& status) {
  const uint64_t size = bIsDirectory ? 0 : status.size;
  ++m_Counts.listed;
  m_Counts.listed_bytes += size;
  const std::size_t root = m_strListedRoot.size();
  m_FileMap.push_back(FileRecord{bIsDirectory, path.substr(root),
                                 static_cast<uint32_t>(name_offset - root), size, status.mtime_sec,
                                 status.mtime_nsec, status.device});
  return true;
}

void CFullSync::NoteListingFailure(const std::wstring& path) {
  const DWORD error = os::GetLastError();
  // Gone since its directory was read: nothing is left to bring across.
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
  DebugTraceW(L"[Strandel]%ls cannot be listed, error %u", path.c_str(),
              static_cast<unsigned>(error));
  m_ListingFailures.emplace_back(path, error);
}

void CFullSync::ReportListingFailures(const WatchTask& task, BOOL bIsDestDir) {
  for (const auto& [path, error] : std::exchange(m_ListingFailures, {})) {
    Tell(kOpListing, path, L"", error);
    ReportOutcome(task, bIsDestDir, false);
  }
}

bool CFullSync::StillThere(const std::wstring& item) {
  if (os::PathExists(item)) return true;
  DebugTraceW(L"[Strandel]File:%ls access failed", item.c_str());
  return false;
}

int64_t CFullSync::TimeResolution(uint64_t device, const std::wstring& path) {
  for (const auto& [known, resolution] : m_Resolutions) {
    if (known == device) return resolution;
  }
  const int64_t resolution = os::TimeResolutionNs(path);
  m_Resolutions.emplace_back(device, resolution);
  return resolution;
}

void CFullSync::SyncRecord(const WatchTask& task, const FileRecord& record,
                           const std::wstring& item, BOOL bIsDestDir, bool in_made_directory) {
  const std::wstring& name = task.strWatchTaskName;
  // What a rename not yet carried across put at this name is no version to
  // weigh by its time against the other side's: the rename brings it over.
  if (m_Operations.RenameOntoQueued(name, record.strRelativePath)) {
    DebugTraceW(L"[Strandel]%ls was renamed onto meanwhile: left to that change", item.c_str());
    return;
  }
  const std::wstring counterpart = bIsDestDir
                                       ? TranslatePath(task.strDestDir, task.strSourceDir, item)
                                       : TranslatePath(task.strSourceDir, task.strDestDir, item);
  DebugTraceW(L"[Strandel]%d: DoSyncDirectory strTansedFilePathName=%ls", __LINE__,
              counterpart.c_str());

  // The item was described by the listing; whether it is still there is
  // asked only before something is done with it. A directory this pass made
  // held nothing then: whatever another writer put there since meets a copy
  // that will not replace it.
  os::FileStatus status{};
  const bool status_read = !in_made_directory && os::GetFileStatus(counterpart, &status);
  const DWORD status_error =
      status_read ? ERROR_SUCCESS : (in_made_directory ? ERROR_FILE_NOT_FOUND : os::GetLastError());
  if (!status_read &&
      (status_error == ERROR_FILE_NOT_FOUND || status_error == ERROR_PATH_NOT_FOUND)) {
    DebugTrace("[Strandel]%d: DoSyncDirectory enAddStrategy=%d bIsDirectory=%d", __LINE__,
               static_cast<int>(task.enAddStrategy), record.bIsDirectory ? 1 : 0);
    if (task.enAddStrategy == AddIgnore) {
      DebugTrace("[Strandel]%d: DoSyncDirectory continued", __LINE__);
      return;
    }
    if (!StillThere(item)) return;
    // The counterpart was taken away meanwhile: bringing the item across
    // would undo that before it reaches this side.
    if (m_Operations.DepartureQueued(name, bIsDestDir, record.strRelativePath)) {
      DebugTraceW(L"[Strandel]%ls was taken away from the other side: left to that change",
                  item.c_str());
      return;
    }
    if (!record.bIsDirectory) {
      StartCopy(task, bIsDestDir, item, counterpart, FALSE, record.size);
      return;
    }
    FinishCopies(task, bIsDestDir);
    const bool done = DoFileOperation(kOpCreateDirectory, counterpart, item, FALSE, name);
    if (done) m_MadeDirectories.insert(record.strRelativePath + os::kPathSeparator);
    ReportOutcome(task, bIsDestDir, done);
    return;
  }

  DebugTrace("[Strandel]%d: DoSyncDirectory enRenameStrategy=%d enDelStrategy=%d", __LINE__,
             static_cast<int>(task.enRenameStrategy), static_cast<int>(task.enDelStrategy));
  if (task.enDelStrategy == DelIgnore || task.enRenameStrategy == RenameIgnore) {
    DebugTrace("[Strandel]%d: DoSyncDirectory continued", __LINE__);
    return;
  }
  DebugTraceW(L"[Strandel]%d: DoSyncDirectory GetStatus(%ls) bGetStatus=%d m_attribute=0x%x",
              __LINE__, counterpart.c_str(), status_read ? 1 : 0, status.attributes);
  // Neither made nor compared: a directory, or a file between two masters,
  // whose counterpart cannot be examined is an item that failed.
  if (!status_read && (record.bIsDirectory || (!bIsDestDir && task.bBidirectional))) {
    DebugTraceW(L"[Strandel]GetFileStatus:%ls failed", counterpart.c_str());
    FinishCopies(task, bIsDestDir);
    Tell(kOpListing, counterpart, L"", status_error);
    ReportOutcome(task, bIsDestDir, false);
    return;
  }
  // Directories carry no contents of their own; a directory facing a file is
  // left for the user to sort out.
  if (record.bIsDirectory || (status_read && status.is_directory)) return;

  // A mirror's file, or one on the destination pass, is copied over a
  // counterpart that cannot be examined.
  const Verdict verdict = status_read ? Compare(task, record, item, counterpart, status, bIsDestDir)
                                      : Verdict::kItemOver;
  if (verdict == Verdict::kNothing || !StillThere(item)) return;

  switch (verdict) {
    case Verdict::kNothing:
      return;
    case Verdict::kConflict: {
      FinishCopies(task, bIsDestDir);
      ChangeRecord row;
      row.dwAction = 1;
      row.strTaskName = name;
      row.bSourceSide = !bIsDestDir;
      m_Operations.WriteSyncLog(row, item, counterpart, L"SyncFinish", 1, kConflictLine,
                                L"Changed on both sides with the same time: both kept");
      ++m_Counts.failed;
      return;
    }
    case Verdict::kItemOver:
      StartCopy(task, bIsDestDir, item, counterpart, TRUE, record.size);
      return;
    case Verdict::kCounterpartOver:
      StartCopy(task, bIsDestDir, counterpart, item, TRUE, status.size);
      return;
  }
}

CFullSync::Verdict CFullSync::Compare(const WatchTask& task, const FileRecord& record,
                                      const std::wstring& item, const std::wstring& counterpart,
                                      const os::FileStatus& status, BOOL bIsDestDir) {
  const bool same_file_system =
      !task.strSrcFileSystem.empty() && task.strSrcFileSystem == task.strDestFileSystem;
  const int64_t difference = Nanoseconds(record.mtime_sec, record.mtime_nsec) -
                             Nanoseconds(status.mtime_sec, status.mtime_nsec);
  const int64_t distance = difference < 0 ? -difference : difference;
  int64_t tolerance =
      std::max(TimeResolution(record.device, item), TimeResolution(status.device, counterpart));
  if (!same_file_system) tolerance = std::max(tolerance, kForeignToleranceNs);
  const bool same_size = record.size == status.size;

  // Within the tolerance both versions are one (the coarser file system's
  // resolution is part of it).
  if (same_size && distance < tolerance) {
    if (!same_file_system) DebugTrace("[Strandel]FileSize is the same , so no need sync them !! ");
    return Verdict::kNothing;
  }
  if (distance < tolerance) {
    // The times cannot tell which version is newer. A mirror follows its
    // source; between two masters neither version may be lost.
    DebugTrace("[Strandel] Something maybe wrong !");
    if (bIsDestDir) return Verdict::kNothing;  // the source pass has reported it
    return task.bBidirectional ? Verdict::kConflict : Verdict::kItemOver;
  }
  if (!task.bBidirectional) return Verdict::kItemOver;
  return difference > 0 ? Verdict::kItemOver : Verdict::kCounterpartOver;
}

void CFullSync::ReportOutcome(const WatchTask& task, BOOL bIsDestDir, bool success) {
  DebugTrace("[Strandel]%d: DoSyncDirectory nSyncSuccess=%d", __LINE__, success ? 1 : 2);
  ChangeRecord row;
  row.dwAction = 1;
  row.strTaskName = task.strWatchTaskName;
  row.bSourceSide = !bIsDestDir;
  if (success) {
    ++m_Counts.done;
    m_Operations.WriteSyncLog(row, task.strSourceDir, task.strDestDir, L"SyncFinish", 0,
                              kSuccessLine, L"Sync source to destination SUCCESS");
    DebugTrace("[Strandel]%d: Sync source to destination SUCCESS", __LINE__);
  } else {
    ++m_Counts.failed;
    m_Operations.WriteSyncLog(row, task.strSourceDir, task.strDestDir, L"SyncFinish", 1,
                              kFailureLine, L"Sync source to destination FAILED");
    DebugTrace("[Strandel]%d: Sync source to destination FAILED", __LINE__);
  }
}

bool CFullSync::DoFileOperation(LONG operation, const std::wstring& first,
                                const std::wstring& second, BOOL overwrite,
                                const std::wstring& task_name) {
  Tell(operation, first, second, ERROR_SUCCESS);
  DWORD error = ERROR_SUCCESS;
  if (AttemptOperation(operation, first, second, overwrite, task_name, &error)) return true;
  return RetryFailedOperation(operation, first, second, overwrite, task_name, error);
}

bool CFullSync::RetryFailedOperation(LONG operation, const std::wstring& first,
                                     const std::wstring& second, BOOL overwrite,
                                     const std::wstring& task_name, DWORD error) {
  for (;;) {
    // A missing item stays missing however often it is asked for.
    const bool gone = error == ERROR_FILE_NOT_FOUND;
    const LRESULT reply = Tell(operation, first, second, error);
    if (reply == -2) m_bAsk = false;
    if (gone || reply != -1 || !m_bAsk) return false;
    error = ERROR_SUCCESS;
    if (AttemptOperation(operation, first, second, overwrite, task_name, &error)) return true;
  }
}

void CFullSync::StartCopy(const WatchTask& task, BOOL bIsDestDir, const std::wstring& from,
                          const std::wstring& to, BOOL overwrite, uint64_t bytes) {
  // A host that is asked about failures is in a dialogue about one item at
  // a time: nothing further is announced while an earlier copy may fail.
  if (m_bAsk) {
    FinishCopies(task, bIsDestDir);
    const bool done = DoFileOperation(kOpCopyFile, from, to, overwrite, task.strWatchTaskName);
    if (done) m_Counts.bytes += bytes;
    ReportOutcome(task, bIsDestDir, done);
    return;
  }
  if (!m_Copies) m_Copies.emplace(CopyRunner::DefaultThreads());
  if (m_PendingCopies.size() >= kCopiesAhead) FinishOldestCopy(task, bIsDestDir);
  Tell(kOpCopyFile, from, to, ERROR_SUCCESS);
  m_PendingCopies.push_back(PendingCopy{from, to, overwrite, bytes});
  m_Copies->Add(
      [this, from, to, overwrite, name = task.strWatchTaskName] {
        CopyRunner::Outcome outcome;
        outcome.copied = AttemptOperation(kOpCopyFile, from, to, overwrite, name, &outcome.error);
        return outcome;
      },
      m_DirectoryRun);
}

void CFullSync::FinishOldestCopy(const WatchTask& task, BOOL bIsDestDir) {
  const PendingCopy copy = std::move(m_PendingCopies.front());
  m_PendingCopies.pop_front();
  const CopyRunner::Outcome outcome = m_Copies->TakeOldest();
  const bool done = outcome.copied || RetryFailedOperation(kOpCopyFile, copy.from, copy.to,
                                                           copy.overwrite, task.strWatchTaskName,
                                                           outcome.error);
  if (done) m_Counts.bytes += copy.bytes;
  ReportOutcome(task, bIsDestDir, done);
}

void CFullSync::FinishCopies(const WatchTask& task, BOOL bIsDestDir) {
  while (!m_PendingCopies.empty()) FinishOldestCopy(task, bIsDestDir);
}

bool CFullSync::AttemptOperation(LONG operation, const std::wstring& first,
                                 const std::wstring& second, BOOL overwrite,
                                 const std::wstring& task_name, DWORD* error) {
  if (operation == kOpCopyFile) {
    return m_Operations.SyncCopyFile(first, second, !overwrite, error, task_name) != FALSE;
  }
  // kOpCreateDirectory: second is the directory whose mode the new one takes.
  const BOOL marked = m_Operations.MarkAdding(first, task_name);
  if (os::CreateDirectoryLike(first, second)) return true;
  *error = os::GetLastError();
  if (marked) m_Operations.UnmarkAdding(first, task_name);
  return false;
}

LRESULT CFullSync::Tell(LONG operation, const std::wstring& first, const std::wstring& second,
                        DWORD error) {
  if (m_pSink == nullptr) return 0;
  return m_pSink->Report(operation, first, operation == kOpCopyFile ? second : std::wstring(),
                         error, m_bAsk ? 1 : 0, m_Counts);
}
