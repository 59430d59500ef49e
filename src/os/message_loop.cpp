#include "os/message_loop.h"

#include <algorithm>
#include <system_error>

#include "os/event.h"

namespace os {

MessageLoop::MessageLoop() : point_(std::make_shared<WaitPoint>()) {}

MessageLoop::~MessageLoop() { Stop(); }

bool MessageLoop::Start() {
  std::lock_guard<std::mutex> guard(point_->mutex);
  if (thread_.joinable() || closed_) return false;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;  // out of threads: the caller reports the failed start
  }
  owner_ = thread_.get_id();
  return true;
}

void MessageLoop::Join() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void MessageLoop::Stop() {
  Close();
  Join();
}

bool MessageLoop::IsRunning() const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return !closed_;
}

bool MessageLoop::IsOwnerThread() const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return owner_ == std::this_thread::get_id();
}

std::size_t MessageLoop::PendingMessages() const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return sent_.size() + posted_.size();
}

bool MessageLoop::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard<std::mutex> guard(point_->mutex);
    if (closed_) return false;
    posted_.push_back(Item{message, wParam, lParam, nullptr});
  }
  point_->cv.notify_all();
  return true;
}

LRESULT MessageLoop::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsOwnerThread()) return Dispatch(message, wParam, lParam);
  auto reply = std::make_shared<Reply>();
  std::unique_lock<std::mutex> lock(point_->mutex);
  if (closed_) return 0;
  sent_.push_back(Item{message, wParam, lParam, reply});
  point_->cv.notify_all();
  point_->cv.wait(lock, [&] { return reply->done || closed_; });
  return reply->done ? reply->result : 0;
}

UINT MessageLoop::SetTimer(UINT id, UINT period_ms) {
  {
    std::lock_guard<std::mutex> guard(point_->mutex);
    if (closed_) return 0;
    timers_[id] = Timer{period_ms, GetClock().Now() + std::chrono::milliseconds(period_ms)};
    ++timer_epoch_;
  }
  point_->cv.notify_all();
  return id;
}

bool MessageLoop::KillTimer(UINT id) {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return timers_.erase(id) > 0;
}

bool MessageLoop::IsTimerArmed(UINT id) const {
  std::lock_guard<std::mutex> guard(point_->mutex);
  return timers_.count(id) > 0;
}

bool MessageLoop::PumpOne(DWORD timeout_ms) {
  {
    std::lock_guard<std::mutex> guard(point_->mutex);
    if (owner_ == std::thread::id()) owner_ = std::this_thread::get_id();
  }
  Item item;
  if (!Next(DeadlineAfter(timeout_ms), &item)) return false;
  Serve(item);
  bool quit;
  {
    std::lock_guard<std::mutex> guard(point_->mutex);
    quit = quit_;
  }
  if (quit) Close();
  return true;
}

void MessageLoop::QuitLoop() {
  std::lock_guard<std::mutex> guard(point_->mutex);
  quit_ = true;
}

void MessageLoop::Run() {
  OnLoopStart();
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      if (quit_) break;
    }
    Item item;
    if (!Next(TimePoint::max(), &item)) break;
    Serve(item);
  }
  OnLoopEnd();
  Close();
}

bool MessageLoop::Next(TimePoint deadline, Item* item) {
  std::unique_lock<std::mutex> lock(point_->mutex);
  for (;;) {
    if (closed_ || quit_) return false;
    auto* queue = !sent_.empty() ? &sent_ : !posted_.empty() ? &posted_ : nullptr;
    if (queue != nullptr) {
      *item = std::move(queue->front());
      queue->pop_front();
      return true;
    }
    const TimePoint now = GetClock().Now();
    auto due = timers_.end();
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
      if (due == timers_.end() || it->second.due < due->second.due) due = it;
    }
    if (due != timers_.end() && due->second.due <= now) {
      due->second.due = now + std::chrono::milliseconds(due->second.period_ms);
      *item = Item{WM_TIMER, due->first, 0, nullptr};
      return true;
    }
    if (now >= deadline) return false;
    const TimePoint wake = due != timers_.end() ? std::min(deadline, due->second.due) : deadline;
    const std::uint64_t epoch = timer_epoch_;
    GetClock().WaitUntil(point_, lock, wake, [&] {
      return closed_ || quit_ || !sent_.empty() || !posted_.empty() || timer_epoch_ != epoch;
    });
  }
}

void MessageLoop::Serve(const Item& item) {
  const LRESULT result = Dispatch(item.message, item.wParam, item.lParam);
  if (item.reply) {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      item.reply->done = true;
      item.reply->result = result;
    }
    point_->cv.notify_all();
  }
}

void MessageLoop::Close() {
  {
    std::lock_guard<std::mutex> guard(point_->mutex);
    closed_ = true;
    sent_.clear();
    posted_.clear();
    timers_.clear();
  }
  point_->cv.notify_all();
}

}  // namespace os
