// ChangeRecord: one change the watch thread hands to the sync worker, and the
// queue between them. Records are values; the queue owns its copies.
// ChangeQueue is thread-safe (its own lock).
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

#include "os/clock.h"
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
  // Keeps a record back until ReleaseHeld, yet counts it as queued for
  // DepartureQueued: what runs meanwhile must not undo it.
  void Hold(ChangeRecord record);
  // Appends the held records in their order; true when that woke an empty
  // queue.
  bool ReleaseHeld();
  std::size_t Size() const;
  bool Empty() const { return Size() == 0; }
  // Whether a record still queued (or held) takes relative (or a directory holding it)
  // away from that side of the task, by removing or renaming it.
  bool DepartureQueued(const std::wstring& task, BOOL source_side,
                       const std::wstring& relative) const;
  // DepartureQueued, waiting up to within (module clock) for such a record:
  // the watch thread may not have read the notification of a departure that
  // has already happened.
  bool AwaitDeparture(const std::wstring& task, BOOL source_side, const std::wstring& relative,
                      os::Duration within) const;

 private:
  static std::optional<std::wstring> DepartureKey(const ChangeRecord& record);

  // Called with the lock held.
  bool DepartureQueuedLocked(const std::wstring& task, BOOL source_side,
                             const std::wstring& relative) const;

  // Its mutex guards the queue; its condition is told of every record appended.
  const std::shared_ptr<os::WaitPoint> point_ = std::make_shared<os::WaitPoint>();
  std::deque<ChangeRecord> records_;  // guarded by point_->mutex
  std::deque<ChangeRecord> held_;     // guarded by point_->mutex
  // Queued removals and renames by task, side and old name: asked about once
  // per failed item, so it must not cost a walk of the queue.
  std::unordered_map<std::wstring, std::size_t> departures_;  // guarded by point_->mutex
};
