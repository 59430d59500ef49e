// CFullSync: one full directory sync of a task, a pass at a time. The source
// pass lists the source tree and brings each item across; the destination
// pass (two-way tasks only) lists the destination and brings back what the
// source lacks or holds in an older version. Each operation is announced to a
// progress sink first, and a failed one may be retried when the sink asks.
//
// Threads: one pass runs on the calling thread (the scheduled-sync thread),
// and its copies on a CopyRunner's helpers; the file map belongs to the
// object and is never shared. The stop flag may be set from any thread: the
// pass then hands in no further item and waits for the copies under way.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "os/file_ops.h"
#include "os/message_loop.h"
#include "store/watch_task.h"
#include "sync/copy_runner.h"
#include "sync/file_operations.h"
#include "watch/task_filter_map.h"

// Operation codes, also those of the progress reports; 6 ends a sync.
enum FullSyncOperation : LONG {
  kOpListing = 0,
  kOpCreateDirectory = 1,
  kOpRemoveDirectory = 2,
  kOpCopyFile = 3,
  kOpDeleteFile = 4,
  kOpRecycle = 5,
  kOpSyncEnd = 6,
};

// The running totals of one sync, over both of its passes.
struct FullSyncCounts {
  uint64_t listed = 0;        // items the listings found
  uint64_t listed_bytes = 0;  // the sizes of the listed files
  uint64_t checked = 0;       // listed items compared with their counterparts
  uint64_t checked_bytes = 0;
  uint64_t done = 0;    // operations that succeeded
  uint64_t failed = 0;  // items that failed for good
  uint64_t bytes = 0;   // bytes of the files copied
};

// Where progress goes: the host's window, or nowhere. Report returns the
// host's reply: -1 asks for a retry, -2 stops the asking for the rest of the
// pass; 0 when there is nobody to ask.
class ProgressSink {
 public:
  virtual LRESULT Report(LONG operation, const std::wstring& first, const std::wstring& second,
                         DWORD error, LONG ask, const FullSyncCounts& counts) = 0;

 protected:
  ~ProgressSink() = default;
};

class CFullSync {
 public:
  CFullSync(SyncFileOperations& operations, ProgressSink* sink, const std::atomic<bool>* stop)
      : m_Operations(operations), m_pSink(sink), m_pStop(stop) {}

  // One pass; 1 when it ran (whatever its items' outcomes). The counts run
  // on over the passes of one object.
  BOOL DoSyncDirectory(const WatchTask& task, const TaskFilterEntry& filters, BOOL bIsDestDir);

  const FullSyncCounts& Counts() const { return m_Counts; }

 private:
  // One listed item; its index in m_FileMap is its running index. The path
  // is kept below the listed root, which a large tree repeats for every item.
  struct FileRecord {
    bool bIsDirectory = false;
    std::wstring strRelativePath;
    uint32_t name_offset = 0;  // where the last component begins in the path
    uint64_t size = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
    uint64_t device = 0;

    std::wstring_view Directory() const {
      return std::wstring_view(strRelativePath).substr(0, name_offset);
    }
  };

  // What the comparison of an item with its counterpart on the other side asks for.
  enum class Verdict { kNothing, kItemOver, kCounterpartOver, kConflict };

  bool BuildFileMap(const WatchTask& task, const TaskFilterEntry& filters, BOOL bIsDestDir);
  bool GetdirectoryInfoList(const std::wstring& dir, BOOL bInclude, BOOL bExclude,
                            const TaskFilterEntry& filters, BOOL bNotWatchSubDir);
  bool AddFileToMap(const std::wstring& path, std::size_t name_offset, bool bIsDirectory,
                    const os::FileStatus& status);
  // Keeps path, which the listing could not open or describe, as a failed
  // item of the pass, unless it has gone (last error set by the listing).
  void NoteListingFailure(const std::wstring& path);
  // Tells the host of each kept failure and writes its outcome row.
  void ReportListingFailures(const WatchTask& task, BOOL bIsDestDir);
  // item: the record's full path; in_made_directory: its counterpart's
  // directory was made by this pass.
  void SyncRecord(const WatchTask& task, const FileRecord& record, const std::wstring& item,
                  BOOL bIsDestDir, bool in_made_directory);
  Verdict Compare(const WatchTask& task, const FileRecord& record, const std::wstring& item,
                  const std::wstring& counterpart, const os::FileStatus& status, BOOL bIsDestDir);
  // Whether the listed item is still there, traced when not.
  bool StillThere(const std::wstring& item);
  // How finely the file system of the item at path, on device, stores times.
  int64_t TimeResolution(uint64_t device, const std::wstring& path);
  void ReportOutcome(const WatchTask& task, BOOL bIsDestDir, bool success);
  bool DoFileOperation(LONG operation, const std::wstring& first, const std::wstring& second,
                       BOOL overwrite, const std::wstring& task_name);
  // The host's part after a failed attempt: told of error, it may ask for
  // more attempts. Whether one succeeded.
  bool RetryFailedOperation(LONG operation, const std::wstring& first, const std::wstring& second,
                            BOOL overwrite, const std::wstring& task_name, DWORD error);
  // Announces a copy and hands it to the helpers; its outcome is reported
  // when it is taken back, in turn. While the host is asked about failures
  // the copy runs at once instead. bytes: what it counts once done.
  void StartCopy(const WatchTask& task, BOOL bIsDestDir, const std::wstring& from,
                 const std::wstring& to, BOOL overwrite, uint64_t bytes);
  void FinishOldestCopy(const WatchTask& task, BOOL bIsDestDir);
  // Takes back every copy handed in: before anything else is reported, so
  // the history keeps the order of the items.
  void FinishCopies(const WatchTask& task, BOOL bIsDestDir);
  bool AttemptOperation(LONG operation, const std::wstring& first, const std::wstring& second,
                        BOOL overwrite, const std::wstring& task_name, DWORD* error);
  LRESULT Tell(LONG operation, const std::wstring& first, const std::wstring& second, DWORD error);
  bool Stopped() const { return m_pStop != nullptr && m_pStop->load(); }

  SyncFileOperations& m_Operations;
  ProgressSink* m_pSink;
  const std::atomic<bool>* m_pStop;
  std::vector<FileRecord> m_FileMap;
  std::wstring m_strListedRoot;  // the root of m_FileMap, ending in a separator
  std::vector<std::pair<std::wstring, DWORD>> m_ListingFailures;  // path, error
  // Device -> time resolution, looked up once per device and pass.
  std::vector<std::pair<uint64_t, int64_t>> m_Resolutions;
  // The directories this pass made on the other side, relative and ending in
  // a separator.
  std::unordered_set<std::wstring> m_MadeDirectories;
  FullSyncCounts m_Counts;
  // The pass's copy of the task's failure-report flag: a sink may clear it.
  bool m_bAsk = false;

  // How many copies may be under way before the oldest is waited for.
  static constexpr std::size_t kCopiesAhead = 16;
  struct PendingCopy {
    std::wstring from;
    std::wstring to;
    BOOL overwrite = FALSE;
    uint64_t bytes = 0;
  };
  std::optional<CopyRunner> m_Copies;  // started at a pass's first copy
  std::deque<PendingCopy> m_PendingCopies;  // oldest first, as handed to m_Copies
  // Counts the runs of items of one directory, so the helpers know when the
  // directories they resolved are no longer the current ones.
  uint64_t m_DirectoryRun = 0;
};

// The counterpart of path under to_root: to_root followed by what path holds
// after from_root.
std::wstring TranslatePath(const std::wstring& from_root, const std::wstring& to_root,
                           const std::wstring& path);
