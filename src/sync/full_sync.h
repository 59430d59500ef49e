// CFullSync: one full directory sync of a task, a pass at a time. The source
// pass lists the source tree and brings each item across; the destination
// pass (two-way tasks only) lists the destination and brings back what the
// source lacks or holds in an older version. Each operation is announced to a
// progress sink first, and a failed one may be retried when the sink asks.
//
// Threads: one pass runs on the calling thread (the scheduled-sync thread);
// the file map belongs to the object and is never shared. The stop flag may be
// set from any thread: the pass then ends before its next item.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "os/message_loop.h"
#include "store/watch_task.h"
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
  struct FileRecord {
    bool bIsDirectory = false;
    std::wstring strFilePathName;
    std::wstring strFileName;
    uint64_t size = 0;
    int64_t mtime_sec = 0;
    int64_t mtime_nsec = 0;
  };

  // What the comparison of an item with its counterpart on the other side asks for.
  enum class Verdict { kNothing, kItemOver, kCounterpartOver, kConflict };

  bool BuildFileMap(const WatchTask& task, const TaskFilterEntry& filters, BOOL bIsDestDir);
  bool GetdirectoryInfoList(const std::wstring& dir, BOOL bInclude, BOOL bExclude,
                            const TaskFilterEntry& filters, BOOL bNotWatchSubDir);
  bool AddFileToMap(const std::wstring& path, const std::wstring& name, bool bIsDirectory,
                    uint64_t size, int64_t mtime_sec, int64_t mtime_nsec);
  void SyncRecord(const WatchTask& task, const FileRecord& record, BOOL bIsDestDir);
  Verdict Compare(const WatchTask& task, const FileRecord& record, const std::wstring& counterpart,
                  uint64_t counterpart_size, int64_t counterpart_sec, int64_t counterpart_nsec,
                  BOOL bIsDestDir);
  void ReportOutcome(const WatchTask& task, BOOL bIsDestDir, bool success);
  bool DoFileOperation(LONG operation, const std::wstring& first, const std::wstring& second,
                       BOOL overwrite, const std::wstring& task_name);
  bool AttemptOperation(LONG operation, const std::wstring& first, const std::wstring& second,
                        BOOL overwrite, const std::wstring& task_name, DWORD* error);
  LRESULT Tell(LONG operation, const std::wstring& first, const std::wstring& second, DWORD error);
  bool Stopped() const { return m_pStop != nullptr && m_pStop->load(); }

  SyncFileOperations& m_Operations;
  ProgressSink* m_pSink;
  const std::atomic<bool>* m_pStop;
  std::map<uint32_t, FileRecord> m_FileMap;
  uint32_t m_nNextIndex = 0;
  FullSyncCounts m_Counts;
  // The pass's copy of the task's failure-report flag: a sink may clear it.
  bool m_bAsk = false;
};

// The counterpart of path under to_root: to_root followed by what path holds
// after from_root.
std::wstring TranslatePath(const std::wstring& from_root, const std::wstring& to_root,
                           const std::wstring& path);
