#include "watch/change_record.h"

#include <algorithm>

bool ChangeQueue::Append(ChangeRecord record) {
  std::lock_guard<std::mutex> guard(mutex_);
  records_.push_back(std::move(record));
  return records_.size() == 1;
}

std::optional<ChangeRecord> ChangeQueue::TakeFront() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (records_.empty()) return std::nullopt;
  ChangeRecord front = std::move(records_.front());
  records_.pop_front();
  return front;
}

std::size_t ChangeQueue::Size() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return records_.size();
}

bool ChangeQueue::Holds(const std::function<bool(const ChangeRecord&)>& match) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return std::any_of(records_.begin(), records_.end(), match);
}
