// The file primitives of the synchronisation engine: the copy that retries
// while another program holds the source (keeping the source's times), the
// recursive directory copy and delete, the same-file tests, the "_syncbak"
// backup name, and the bookkeeping of the echo maps through which every write
// the engine is about to make is announced to the watch thread.
//
// Threads: the sync worker and the full-sync thread call these; the echo maps
// and the history recorder carry their own locks. Retry pauses run on the
// module clock.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "store/sync_log_recorder.h"
#include "watch/change_record.h"
#include "watch/watch_shared.h"

// "dir/report.final.doc" -> "dir/report_syncbak.final.doc"; "dir/Makefile" ->
// "dir/Makefile_syncbak". A dot in a directory name is never used.
std::wstring SyncBakName(const std::wstring& path);

class SyncFileOperations {
 public:
  // recorder may be null (no storage): history is then not kept.
  SyncFileOperations(WatchShared& shared, SyncLogRecorder* recorder)
      : m_Shared(shared), m_pRecorder(recorder) {}
  // The recorder once the storage is open (set before the worker starts).
  void SetRecorder(SyncLogRecorder* recorder) { m_pRecorder = recorder; }

  // TRUE when destination now holds a copy of source. *error (when given)
  // receives 0 or the code of the final failure.
  BOOL SyncCopyFile(const std::wstring& source, const std::wstring& destination,
                    BOOL fail_if_exists, DWORD* error, const std::wstring& task);
  // Brings a directory across whole, as the worker would had each item
  // arrived on its own: files the task's filters refuse stay behind.
  BOOL CopyDirectory(std::wstring source, std::wstring destination, const ChangeRecord& record);
  // TRUE when the directory is gone; on FALSE the last error holds the code of
  // the last item that could not be deleted.
  BOOL DeleteDirectory(const std::wstring& directory, const ChangeRecord& record);

  // All three ask one question: two files count as the same only when both
  // can be read, their sizes are equal and their modification times agree
  // within what the coarser of the two file systems can store (and, for a
  // file written moments ago, their bytes agree). A save that keeps the size,
  // or two saves in one second, therefore still differ, whichever test a
  // handler picks.
  BOOL IsSameFileTime(const std::wstring& a, const std::wstring& b);
  BOOL IsSameWriteTime(const std::wstring& a, const std::wstring& b);
  BOOL IsSameFileSize(const std::wstring& a, const std::wstring& b);

  // Hands one file to the Trash helper, run as the console user; FALSE when
  // it could not be trashed (the caller then deletes it for good).
  BOOL DeleteToRecycleBin(const std::wstring& path);

  // Whether a removal or rename of relative, on that side of the task, is
  // yet to be carried across.
  bool DepartureQueued(const std::wstring& task, BOOL source_side,
                       const std::wstring& relative) const {
    return m_Shared.m_ChangeQueue.DepartureQueued(task, source_side, relative);
  }
  // Whether a rename onto relative, on either side of the task, is yet to be
  // carried across.
  bool RenameOntoQueued(const std::wstring& task, const std::wstring& relative) const {
    return m_Shared.m_ChangeQueue.RenameOntoQueued(task, TRUE, relative) ||
           m_Shared.m_ChangeQueue.RenameOntoQueued(task, FALSE, relative);
  }

  BOOL MarkAdding(const std::wstring& path, const std::wstring& task);
  void UnmarkAdding(const std::wstring& path, const std::wstring& task);
  void MarkModifying(const std::wstring& path, const std::wstring& task);
  void UnmarkModifying(const std::wstring& path);

  // One history entry for an outcome of record's change. info is kept as it
  // is, never used as a format.
  void WriteSyncLog(const ChangeRecord& record, const std::wstring& from, const std::wstring& to,
                    const wchar_t* operation, int32_t error, int32_t line, const wchar_t* info);

  // While one lives, history entries are written in large groups; when it
  // ends, every entry written before is stored.
  class HistoryBatch {
   public:
    explicit HistoryBatch(SyncFileOperations& operations);
    ~HistoryBatch();
    HistoryBatch(const HistoryBatch&) = delete;
    HistoryBatch& operator=(const HistoryBatch&) = delete;

   private:
    SyncLogRecorder* m_pRecorder;
  };

  // While one lives, the history entries this thread writes are held back;
  // when it ends they are written, unless it was told to drop them.
  class HeldHistory {
   public:
    explicit HeldHistory(SyncFileOperations& operations);
    ~HeldHistory();
    HeldHistory(const HeldHistory&) = delete;
    HeldHistory& operator=(const HeldHistory&) = delete;
    void Drop() { m_Entries.clear(); }

   private:
    friend class SyncFileOperations;
    SyncFileOperations& m_Operations;
    HeldHistory* m_pOuter;
    std::vector<SyncLogEntry> m_Entries;
  };

 private:
  // Copies, and notes what the copy left for the watch of a two-way task.
  bool CopyAndRemember(const std::wstring& source, const std::wstring& destination,
                       BOOL fail_if_exists, const std::wstring& task);

  WatchShared& m_Shared;
  std::atomic<SyncLogRecorder*> m_pRecorder;
  // Filled on the first delete to the Trash, then kept.
  std::mutex m_RecycleMutex;
  std::wstring m_strBinhaulExePath;  // guarded by m_RecycleMutex
};
