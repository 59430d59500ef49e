#include "sync/file_operations.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "os/clock.h"
#include "os/directory_ops.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/module_path.h"
#include "os/process.h"
#include "os/text.h"
#include "platform/console_user.h"
#include "platform/diag_log.h"

namespace {

constexpr int kMaxCopyRetries = 10;
constexpr uint64_t kLargeFileBytes = 10000000;
// How long after its last write a file's time alone is not trusted.
constexpr int64_t kFreshSeconds = 2;

std::string Narrow(const std::wstring& path) { return os::ToUtf8(path); }

// The history held back on this thread, if any.
thread_local SyncFileOperations::HeldHistory* t_pHeld = nullptr;

void Store(DWORD* error, DWORD value) {
  if (error != nullptr) *error = value;
}

// A directory path that must never be copied from or deleted wholesale.
bool IsRootOrEmpty(const std::wstring& path) {
  return path.empty() || path.find_first_not_of(os::kPathSeparator) == std::wstring::npos;
}

std::wstring WithSeparator(std::wstring path) {
  if (path.back() != os::kPathSeparator) path.push_back(os::kPathSeparator);
  return path;
}

}  // namespace

std::wstring SyncBakName(const std::wstring& path) {
  const auto slash = path.rfind(os::kPathSeparator);
  const auto dot = path.find(L'.', slash == std::wstring::npos ? 0 : slash);
  if (dot == std::wstring::npos) return path + L"_syncbak";
  return path.substr(0, dot) + L"_syncbak" + path.substr(dot);
}

bool SyncFileOperations::CopyAndRemember(const std::wstring& source,
                                         const std::wstring& destination, BOOL fail_if_exists,
                                         const std::wstring& task) {
  // Only a two-way task watches its destination for changes to bring back.
  // The note is made before the copy takes its name: the watch may see the
  // name before this thread runs again.
  if (!m_Shared.m_WatchTaskMap.IsBidirectional(task)) {
    return os::CopyFile(source, destination, fail_if_exists);
  }
  std::optional<WrittenEcho> announced;
  const BOOL copied =
      os::CopyFile(source, destination, fail_if_exists, [&](const os::CopiedVersion& version) {
        announced = WrittenEcho{task, version};
        m_Shared.WrittenMap.Announce(destination, *announced);
      });
  if (!copied && announced) m_Shared.WrittenMap.Withdraw(destination, *announced);
  return copied;
}

BOOL SyncFileOperations::SyncCopyFile(const std::wstring& source, const std::wstring& destination,
                                      BOOL fail_if_exists, DWORD* error, const std::wstring& task) {
  // A copy that must not replace comes after its caller saw the name free.
  const bool added = fail_if_exists != FALSE || !os::PathExists(destination);
  if (added) m_Shared.AddFilterMap.Announce(destination, task);
  // The copy carries the times of the very bytes it read. Reading the
  // source's time again afterwards could stamp a newer time on older bytes,
  // and the two sides would then look the same for good.
  if (CopyAndRemember(source, destination, fail_if_exists, task)) {
    Store(error, ERROR_SUCCESS);
    return TRUE;
  }
  if (added) m_Shared.AddFilterMap.Withdraw(destination, task);
  DWORD current = os::GetLastError();
  // The copy looks at its source first; whether a failure means the source
  // is gone is asked only when there is a failure.
  if ((current == ERROR_FILE_NOT_FOUND || current == ERROR_PATH_NOT_FOUND) &&
      !os::PathExists(source)) {
    Store(error, ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  // The name was free, or held what the copy was to replace, when the copy
  // began; another copy of this very version (a full sync and a change of the
  // same file) may have filled it since.
  if (current == ERROR_FILE_EXISTS && IsSameWriteTime(source, destination)) {
    Store(error, ERROR_SUCCESS);
    return TRUE;
  }
  os::FileStatus status{};
  os::GetFileStatus(source, &status);
  const uint64_t reference_size = status.size;

  DWORD delay_ms = 100;
  for (int attempt = 0; current == ERROR_SHARING_VIOLATION && attempt < kMaxCopyRetries;
       ++attempt) {
    delay_ms = delay_ms * 3 / 2;
    os::GetClock().Sleep(std::chrono::milliseconds(delay_ms));
    if (!os::PathExists(source)) {
      Store(error, ERROR_FILE_NOT_FOUND);
      DebugTrace("[Strandel]File:%s is not exist", Narrow(source).c_str());
      return FALSE;
    }
    const bool adding = !os::PathExists(destination);
    if (adding) m_Shared.AddFilterMap.Announce(destination, task);
    if (CopyAndRemember(source, destination, fail_if_exists, task)) {
      Store(error, ERROR_SUCCESS);
      return TRUE;
    }
    current = os::GetLastError();
    m_Shared.ModifyFilterMap.Announce(destination, task);
    if (adding) m_Shared.AddFilterMap.Withdraw(destination, task);
    status = {};
    os::GetFileStatus(source, &status);
    if (status.size != reference_size) {
      // Still being written: a later change will bring the final contents.
      Store(error, current);
      DebugTrace("[Strandel]CopyFile:%s fail, unknow reason, ErrCode:%d", Narrow(source).c_str(),
                 static_cast<int>(current));
      return FALSE;
    }
    if (reference_size > kLargeFileBytes) {
      Store(error, current);
      DebugTrace("[Strandel]CopyFile:%s fail, m_size:%llu, ErrCode:%d", Narrow(source).c_str(),
                 static_cast<unsigned long long>(reference_size), static_cast<int>(current));
      return FALSE;
    }
    if (delay_ms > reference_size / 10) {
      Store(error, current);
      DebugTrace("[Strandel]CopyFile:%s fail, timeout, ErrCode:%d", Narrow(source).c_str(),
                 static_cast<int>(current));
      return FALSE;
    }
    DebugTrace("[Strandel]CopyFile(%s -> %s)dwErrorCode = %x", Narrow(source).c_str(),
               Narrow(destination).c_str(), static_cast<unsigned>(current));
  }
  Store(error, current);
  DebugTrace("[Strandel]CopyFile:%s fail, timeout, ErrCode:%d", Narrow(source).c_str(),
             static_cast<int>(current));
  return FALSE;
}

BOOL SyncFileOperations::CopyDirectory(std::wstring source, std::wstring destination,
                                       const ChangeRecord& record) {
  if (IsRootOrEmpty(source) || IsRootOrEmpty(destination)) return FALSE;
  source = WithSeparator(source);
  destination = WithSeparator(destination);
  os::DirectoryListing listing;
  if (!listing.Open(source)) {
    os::SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  if (!os::PathExists(destination)) {
    const BOOL marked = MarkAdding(destination, record.strTaskName);
    if (!os::CreateDirectoryLike(destination, source)) {
      WriteSyncLog(record, L"", L"", L"CopyData", static_cast<int32_t>(os::GetLastError()), 168,
                   L"CreateDirectory failed");
      MarkModifying(destination, record.strTaskName);
      if (marked) UnmarkAdding(destination, record.strTaskName);
      return FALSE;
    }
  }
  DWORD last_error = ERROR_SUCCESS;
  std::wstring name;
  bool is_directory = false;
  while (listing.Next(&name, &is_directory)) {
    if (!m_Shared.m_TaskFilterMap.Passes(record.strTaskName, name, is_directory)) continue;
    const std::wstring item = source + name;
    const std::wstring target = destination + name;
    if (!os::PathExists(item)) return FALSE;
    if (is_directory) {
      CopyDirectory(item, target, record);
      continue;
    }
    last_error = ERROR_SUCCESS;
    if (!SyncCopyFile(item, target, FALSE, &last_error, record.strTaskName)) {
      WriteSyncLog(record, item, target, L"CopyData", static_cast<int32_t>(os::GetLastError()), 212,
                   L"Cannot copy file");
    }
  }
  os::SetLastError(last_error);
  return TRUE;
}

BOOL SyncFileOperations::DeleteDirectory(const std::wstring& directory,
                                         const ChangeRecord& record) {
  if (IsRootOrEmpty(directory)) return FALSE;
  const std::wstring prefix = WithSeparator(directory);
  BOOL result = TRUE;
  DWORD saved = ERROR_SUCCESS;
  {
    os::DirectoryListing listing;
    if (listing.Open(prefix)) {
      std::wstring name;
      bool is_directory = false;
      while (listing.Next(&name, &is_directory)) {
        const std::wstring item = prefix + name;
        m_Shared.DeleteFilterMap.Announce(item, record.strTaskName);
        const BOOL deleted = is_directory ? DeleteDirectory(item, record)
                                          : (os::SetPlainAttributes(item), os::DeleteFile(item));
        if (!deleted) {
          m_Shared.DeleteFilterMap.Withdraw(item, record.strTaskName);
          saved = os::GetLastError();
          result = FALSE;
        }
      }
    }
  }
  if (result) return os::RemoveDirectory(directory);
  os::SetLastError(saved);
  return FALSE;
}

BOOL SyncFileOperations::IsSameFileSize(const std::wstring& a, const std::wstring& b) {
  return IsSameWriteTime(a, b);
}

BOOL SyncFileOperations::IsSameWriteTime(const std::wstring& a, const std::wstring& b) {
  os::FileStatus sa{};
  os::FileStatus sb{};
  if (!os::GetFileStatus(a, &sa) || !os::GetFileStatus(b, &sb) || sa.size != sb.size) {
    return FALSE;
  }
  const int64_t resolution = std::max(os::TimeResolutionNs(a), os::TimeResolutionNs(b));
  // Whole seconds first, in unsigned arithmetic: hostile times at the ends of
  // the range must not overflow (and 32-bit targets have no 128-bit type).
  constexpr int64_t kNs = 1000000000;
  const bool a_later = sa.mtime_sec > sb.mtime_sec ||
                       (sa.mtime_sec == sb.mtime_sec && sa.mtime_nsec >= sb.mtime_nsec);
  const os::FileStatus& later = a_later ? sa : sb;
  const os::FileStatus& earlier = a_later ? sb : sa;
  const uint64_t seconds =
      static_cast<uint64_t>(later.mtime_sec) - static_cast<uint64_t>(earlier.mtime_sec);
  if (seconds > static_cast<uint64_t>(resolution / kNs) + 1) return FALSE;
  const int64_t difference =
      static_cast<int64_t>(seconds) * kNs + (later.mtime_nsec - earlier.mtime_nsec);
  if (difference >= resolution) return FALSE;
  // The kernel stamps writes with a coarse clock: two saves a few
  // milliseconds apart carry the same time. While a file is that fresh, only
  // its bytes can tell whether the other side already has this version.
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t newest = std::max(sa.mtime_sec, sb.mtime_sec);
  if (now - newest <= kFreshSeconds) return os::HaveSameContents(a, b) ? TRUE : FALSE;
  return TRUE;
}

BOOL SyncFileOperations::IsSameFileTime(const std::wstring& a, const std::wstring& b) {
  return IsSameWriteTime(a, b);
}

BOOL SyncFileOperations::DeleteToRecycleBin(const std::wstring& path) {
  // The helper runs as the console user and resolves the path on its own:
  // a path that leads through a link below a root is never handed to it.
  os::FileStatus status{};
  if (!os::GetFileStatus(path, &status)) return FALSE;
  std::lock_guard<std::mutex> guard(m_RecycleMutex);
  const std::shared_ptr<const os::UserToken> user = CurrentConsoleUser();
  if (!user) {
    WriteReport(ReportError, L"GetUserToken failed:0x%08X", os::GetLastError());
    return FALSE;
  }
  if (m_strBinhaulExePath.empty()) {
    const std::wstring directory = os::ModuleDirectory();
    if (!directory.empty()) m_strBinhaulExePath = directory + L"binhaul";
  }
  if (m_strBinhaulExePath.empty()) {
    WriteReport(ReportError, L"m_strBinhaulExePath is empty");
    return FALSE;
  }
  // The helper's verdict is waited for: a file it could not trash must be
  // deleted for good by the caller, not left behind as if it were gone.
  os::StartOptions options;
  options.wait = true;
  const os::StartResult run = os::StartProcess(
      *user, {os::ToUtf8(m_strBinhaulExePath), "/path", os::ToUtf8(path)}, options);
  if (!run.started) {
    const std::wstring command = L"\"" + m_strBinhaulExePath + L"\" /path \"" + path + L"\" ";
    WriteReport(ReportError, L"CreateProcessfailed:%ls", command.c_str());
    return FALSE;
  }
  return run.exit_status == 0 ? TRUE : FALSE;
}

BOOL SyncFileOperations::MarkAdding(const std::wstring& path, const std::wstring& task) {
  if (os::PathExists(path)) return FALSE;
  m_Shared.AddFilterMap.Announce(path, task);
  return TRUE;
}

void SyncFileOperations::UnmarkAdding(const std::wstring& path, const std::wstring& task) {
  m_Shared.AddFilterMap.Withdraw(path, task);
}

void SyncFileOperations::MarkModifying(const std::wstring& path, const std::wstring& task) {
  m_Shared.ModifyFilterMap.Announce(path, task);
}

void SyncFileOperations::UnmarkModifying(const std::wstring& path) {
  m_Shared.ModifyFilterMap.Erase(path);
}

void SyncFileOperations::WriteSyncLog(const ChangeRecord& record, const std::wstring& from,
                                      const std::wstring& to, const wchar_t* operation,
                                      int32_t error, int32_t line, const wchar_t* info) {
  SyncLogRecorder* recorder = m_pRecorder.load();
  if (recorder == nullptr) return;
  SyncLogEntry entry;
  entry.strTaskName = record.strTaskName;
  entry.strChangedFile = record.strFileName;
  entry.strNewFile = record.strNewFileName;
  entry.nAction = static_cast<int32_t>(record.dwAction);
  entry.bSourceSide = record.bSourceSide;
  entry.strFromFile = from;
  entry.strToFile = to;
  entry.strOperation = operation;
  entry.nErrorNo = error;
  entry.nLineNo = line;
  entry.strInfo = info;
  if (t_pHeld != nullptr && &t_pHeld->m_Operations == this) {
    t_pHeld->m_Entries.push_back(std::move(entry));
    return;
  }
  recorder->Record(std::move(entry));
}

SyncFileOperations::HeldHistory::HeldHistory(SyncFileOperations& operations)
    : m_Operations(operations), m_pOuter(t_pHeld) {
  t_pHeld = this;
}

SyncFileOperations::HeldHistory::~HeldHistory() {
  t_pHeld = m_pOuter;
  SyncLogRecorder* recorder = m_Operations.m_pRecorder.load();
  if (recorder == nullptr) return;
  for (SyncLogEntry& entry : m_Entries) recorder->Record(std::move(entry));
}

SyncFileOperations::HistoryBatch::HistoryBatch(SyncFileOperations& operations)
    : m_pRecorder(operations.m_pRecorder.load()) {
  if (m_pRecorder != nullptr) m_pRecorder->BeginBatch();
}

SyncFileOperations::HistoryBatch::~HistoryBatch() {
  if (m_pRecorder != nullptr) m_pRecorder->EndBatch();
}
