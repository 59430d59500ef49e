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
  // The record taken still counts as queued for DepartureQueued and
  // RenameOntoQueued until Done: until it is carried across, a full sync
  // must not undo it.
  std::optional<ChangeRecord> TakeFront();
  void Done(const ChangeRecord& record);
  // Keeps a record back until ReleaseHeld, yet counts it as queued for
  // DepartureQueued: what runs meanwhile must not undo it.
  void Hold(ChangeRecord record);
  // Appends the held records in their order; true when that woke an empty
  // queue.
  bool ReleaseHeld();
  std::size_t Size() const;
  bool Empty() const { return Size() == 0; }
  // Whether a record still queued (or held) takes relative, or a directory
  // holding it, away from that side of the task by removing or renaming it.
  bool DepartureQueued(const std::wstring& task, BOOL source_side,
                       const std::wstring& relative) const;
  // Whether a rename still queued (or held) takes relative, or a directory
  // holding it, as its new name on that side of the task.
  bool RenameOntoQueued(const std::wstring& task, BOOL source_side,
                        const std::wstring& relative) const;
  // DepartureQueued, waiting up to within (module clock) for such a record:
  // the watch thread may not have read the notification of a departure that
  // has already happened.
  bool AwaitDeparture(const std::wstring& task, BOOL source_side, const std::wstring& relative,
                      os::Duration within) const;

 private:
  using NameCounts = std::unordered_map<std::wstring, std::size_t>;

  static std::optional<std::wstring> DepartureKey(const ChangeRecord& record);
  static std::optional<std::wstring> ArrivalKey(const ChangeRecord& record);

  // Called with the lock held: counts a record in, or out, of both indexes.
  void Index(const ChangeRecord& record);
  void Unindex(const ChangeRecord& record);
  // Whether names holds relative or a directory above it.
  static bool Covers(const NameCounts& names, const std::wstring& task, BOOL source_side,
                     const std::wstring& relative);

  // Its mutex guards the queue; its condition is told of every record appended.
  const std::shared_ptr<os::WaitPoint> point_ = std::make_shared<os::WaitPoint>();
  std::deque<ChangeRecord> records_;  // guarded by point_->mutex
  std::deque<ChangeRecord> held_;     // guarded by point_->mutex
  // Queued removals and renames by task, side and old name, and renames by
  // new name: asked about once per failed item, and by a full sync once per
  // item, so they must not cost a walk of the queue.
  NameCounts departures_;  // guarded by point_->mutex
  NameCounts arrivals_;    // guarded by point_->mutex
};
