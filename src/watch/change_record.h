// ChangeRecord: one change the watch thread hands to the sync worker, and the
// queue between them. Records are values; the queue owns its copies.
// ChangeQueue is thread-safe (its own lock).
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "strandel/strandel.h"

struct ChangeRecord {
  DWORD dwAction = 0;           // 1 added, 2 removed, 3 modified, 4 old name alone, 5 renamed
  std::wstring strFileName;     // relative to the watched directory; the old name of a rename
  std::wstring strNewFileName;  // the new relative name, for action 5 only
  std::wstring strTaskName;
  BOOL bSourceSide = FALSE;  // seen in the source directory (else the destination)
  BOOL bSameFileSystem = FALSE;

  bool operator==(const ChangeRecord&) const = default;
};

class ChangeQueue {
 public:
  // Appends; true when the queue held nothing before (the worker needs waking).
  bool Append(ChangeRecord record);
  std::optional<ChangeRecord> TakeFront();
  // Whether a queued record matches; the queue is left as it is.
  bool Holds(const std::function<bool(const ChangeRecord&)>& match) const;
  std::size_t Size() const;
  bool Empty() const { return Size() == 0; }

 private:
  mutable std::mutex mutex_;
  std::deque<ChangeRecord> records_;  // guarded by mutex_
};
