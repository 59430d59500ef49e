#include "watch/change_record.h"

#include <algorithm>
#include <iterator>

#include "os/text.h"

namespace {

std::wstring KeyOf(const std::wstring& task, BOOL source_side, const std::wstring& relative) {
  std::wstring key = task;
  key += L'\0';
  key += source_side ? L'S' : L'D';
  key += relative;
  return key;
}

}  // namespace

std::optional<std::wstring> ChangeQueue::DepartureKey(const ChangeRecord& record) {
  // 2 removed, 4 an old name alone, 5 renamed: each takes strFileName away.
  if (record.dwAction != 2 && record.dwAction != 4 && record.dwAction != 5) return std::nullopt;
  return KeyOf(record.strTaskName, record.bSourceSide, record.strFileName);
}

std::optional<std::wstring> ChangeQueue::ArrivalKey(const ChangeRecord& record) {
  if (record.dwAction != 5) return std::nullopt;
  return KeyOf(record.strTaskName, record.bSourceSide, record.strNewFileName);
}

void ChangeQueue::Index(const ChangeRecord& record) {
  if (auto key = DepartureKey(record)) ++departures_[std::move(*key)];
  if (auto key = ArrivalKey(record)) ++arrivals_[std::move(*key)];
}

void ChangeQueue::Unindex(const ChangeRecord& record) {
  for (auto [names, key] :
       {std::pair{&departures_, DepartureKey(record)}, std::pair{&arrivals_, ArrivalKey(record)}}) {
    if (!key) continue;
    const auto it = names->find(*key);
    if (it != names->end() && --it->second == 0) names->erase(it);
  }
}

bool ChangeQueue::Append(ChangeRecord record) {
  std::lock_guard<std::mutex> guard(point_->mutex);
  Index(record);
  records_.push_back(std::move(record));
  point_->cv.notify_all();
  return records_.size() == 1;
}

std::optional<ChangeRecord> ChangeQueue::TakeFront() {
  std::lock_guard<std::mutex> guard(point_->mutex);
  if (records_.empty()) return std::nullopt;
  ChangeRecord front = std::move(records_.front());
  records_.pop_front();
  return front;
}

void ChangeQueue::Done(const ChangeRecord& record) {
  std::lock_guard<std::mutex> guard(point_->mutex);
  Unindex(record);
}

void ChangeQueue::Hold(ChangeRecord record) {
  std::lock_guard<std::mutex> guard(point_->mutex);
  Index(record);
  held_.push_back(std::move(record));
}

bool ChangeQueue::ReleaseHeld() {
  std::lock_guard<std::mutex> guard(point_->mutex);
  if (held_.empty()) return false;
  const bool was_empty = records_.empty();
  std::move(held_.begin(), held_.end(), std::back_inserter(records_));
  held_.clear();
  point_->cv.notify_all();
  return was_empty;
}

std::size_t ChangeQueue::Size() const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return records_.size();
}

bool ChangeQueue::DepartureQueued(const std::wstring& task, BOOL source_side,
                                  const std::wstring& relative) const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return Covers(departures_, task, source_side, relative);
}

bool ChangeQueue::RenameOntoQueued(const std::wstring& task, BOOL source_side,
                                   const std::wstring& relative) const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return Covers(arrivals_, task, source_side, relative);
}

bool ChangeQueue::AwaitDeparture(const std::wstring& task, BOOL source_side,
                                 const std::wstring& relative, os::Duration within) const {
  std::unique_lock<std::mutex> lock(point_->mutex);
  os::Clock& clock = os::GetClock();
  return clock.WaitUntil(point_, lock, clock.Now() + within,
                         [&] { return Covers(departures_, task, source_side, relative); });
}

bool ChangeQueue::Covers(const NameCounts& names, const std::wstring& task, BOOL source_side,
                         const std::wstring& relative) {
  if (names.empty()) return false;
  // The item itself, then each directory above it.
  for (std::size_t end = relative.size(); end != 0 && end != std::wstring::npos;
       end = relative.rfind(os::kPathSeparator, end - 1)) {
    if (names.count(KeyOf(task, source_side, relative.substr(0, end)))) return true;
  }
  return false;
}
