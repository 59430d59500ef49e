// The module-wide counters that number tasks and their timers.
//
// TaskIndexCounter: the next index handed to an added task (taken on the
// host's calling thread, hence atomic) and the largest index met while loading
// (controller thread only).
// TimerIdPool: window-timer ids from 10 upward, with a free list of ids given
// back by deleted or reset tasks; controller thread only.
#pragma once

#include <atomic>
#include <vector>

#include "strandel/strandel.h"

class TaskIndexCounter {
 public:
  static constexpr DWORD kFirstIndex = 20000;

  // The index for a task the host adds; used up even if the task is refused.
  DWORD TakeNext() { return next_.fetch_add(1); }
  DWORD Next() const { return next_.load(); }

  // Loading: every stored index is noted, then FinishLoad sets the next index
  // one above the largest (even when that is lower than the next index was).
  void NoteLoaded(DWORD index);
  void FinishLoad();

 private:
  std::atomic<DWORD> next_{kFirstIndex};
  DWORD largest_ = kFirstIndex;
};

class TimerIdPool {
 public:
  static constexpr UINT kFirstId = 10;

  // The first free id if any, else a never-used one.
  UINT Acquire();
  // A never-used id, ignoring the free list (loading assigns ids this way).
  UINT AcquireFresh() { return next_++; }
  void Release(UINT id);
  // Forgets every id: the next id is 10 again and the free list empty.
  void Reset();
  UINT NextFresh() const { return next_; }

 private:
  UINT next_ = kFirstId;
  std::vector<UINT> free_;
};
