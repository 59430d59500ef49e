// The sync history recorder: one "SyncLog" row per synchronisation outcome.
// It sits on the sync path, so Record only queues the entry; a writer thread
// of its own inserts what has queued up in one transaction per group, on its
// own connection, under the database lock. A crash loses at most the group
// being written; a failing database costs history, never a caller's time.
// While a batch is open (a full sync), rows gather into groups of
// kBatchRows before they are written, in order, and closing the batch writes
// the rest: a group costs a transaction and a lock of the database, and a
// wake-up of the writer, whatever its size.
//
// Threads: Record, Flush and Dropped may be called from any thread. The
// writer thread owns the connection.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "os/named_mutex.h"
#include "strandel/strandel.h"

struct SyncLogEntry {
  std::wstring strTaskName;
  std::wstring strChangedFile;
  std::wstring strNewFile;
  int32_t nAction = 0;
  BOOL bSourceSide = FALSE;
  std::wstring strFromFile;
  std::wstring strToFile;
  std::wstring strOperation;
  int32_t nErrorNo = 0;
  int32_t nLineNo = 0;
  std::wstring strInfo;  // stored as given, never used as a format
};

class SyncLogRecorder {
 public:
  // Entries beyond this many waiting are dropped (and counted) rather than
  // let a stalled database eat the memory.
  static constexpr std::size_t kMaxQueued = 100000;
  // Rows of an open batch written together.
  static constexpr std::size_t kBatchRows = 512;

  // db_path is the UTF-8 path of Strandel.db; lock must outlive the recorder.
  SyncLogRecorder(std::string db_path, os::NamedMutex& lock);
  // Writes what is queued, then ends the writer.
  ~SyncLogRecorder();
  SyncLogRecorder(const SyncLogRecorder&) = delete;
  SyncLogRecorder& operator=(const SyncLogRecorder&) = delete;

  // Stamps the entry with the current UTC time and queues it.
  void Record(SyncLogEntry entry);
  // Waits until every entry recorded before the call is written or dropped.
  void Flush();
  // Batches nest; the last EndBatch flushes.
  void BeginBatch();
  void EndBatch();
  // Entries lost so far: queue full, or their group failed to commit.
  uint64_t Dropped() const;

 private:
  struct Queued {
    std::string time;
    SyncLogEntry entry;
  };
  class Writer;

  void Run();
  // Whether the writer has work now; m_Mutex held.
  bool Due() const;

  const std::string m_strDbPath;
  os::NamedMutex& m_Lock;

  mutable std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::deque<Queued> m_Queue;  // guarded by m_Mutex
  uint64_t m_nRecorded = 0;    // guarded by m_Mutex; entries accepted or dropped
  uint64_t m_nDone = 0;        // guarded by m_Mutex; entries written or dropped
  uint64_t m_nDropped = 0;     // guarded by m_Mutex
  bool m_bStop = false;        // guarded by m_Mutex
  int m_nBatches = 0;          // guarded by m_Mutex; batches open
  int m_nFlushing = 0;         // guarded by m_Mutex; callers waiting in Flush
  std::thread m_Thread;
};
