#include "control/task_counters.h"

void TaskIndexCounter::NoteLoaded(DWORD index) {
  if (index > largest_) largest_ = index;
}

void TaskIndexCounter::FinishLoad() {
  ++largest_;
  next_.store(largest_);
}

UINT TimerIdPool::Acquire() {
  if (free_.empty()) return next_++;
  const UINT id = free_.front();
  free_.erase(free_.begin());
  return id;
}

void TimerIdPool::Release(UINT id) {
  if (id >= kFirstId) free_.push_back(id);
}

void TimerIdPool::Reset() {
  next_ = kFirstId;
  free_.clear();
}
