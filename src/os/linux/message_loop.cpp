#include "os/message_loop.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/clock.h"
#include "os/event.h"

namespace os {

class MessageLoop::Impl {
 public:
  explicit Impl(MessageLoop& loop) : loop_(loop), point_(std::make_shared<WaitPoint>()) {}

  bool Start() {
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

  void Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

  bool IsRunning() const {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return !closed_;
  }

  bool IsOwnerThread() const {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return owner_ == std::this_thread::get_id();
  }

  std::size_t PendingMessages() const {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return sent_.size() + posted_.size();
  }

  bool Post(UINT message, WPARAM wParam, LPARAM lParam) {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      if (closed_) return false;
      posted_.push_back(Item{message, wParam, lParam, nullptr});
    }
    point_->cv.notify_all();
    return true;
  }

  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
    auto reply = std::make_shared<Reply>();
    std::unique_lock<std::mutex> lock(point_->mutex);
    if (closed_) return 0;
    sent_.push_back(Item{message, wParam, lParam, reply});
    point_->cv.notify_all();
    point_->cv.wait(lock, [&] { return reply->done || closed_; });
    return reply->done ? reply->result : 0;
  }

  UINT SetTimer(UINT id, UINT period_ms) {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      if (closed_) return 0;
      timers_[id] = Timer{period_ms, GetClock().Now() + std::chrono::milliseconds(period_ms)};
      ++timer_epoch_;
    }
    point_->cv.notify_all();
    return id;
  }

  bool KillTimer(UINT id) {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return timers_.erase(id) > 0;
  }

  bool IsTimerArmed(UINT id) const {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return timers_.count(id) > 0;
  }

  void QuitLoop() {
    std::lock_guard<std::mutex> guard(point_->mutex);
    quit_ = true;
  }

  void Close() {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      closed_ = true;
      sent_.clear();
      posted_.clear();
      timers_.clear();
    }
    point_->cv.notify_all();
  }

 private:
  struct Reply {
    bool done = false;
    LRESULT result = 0;
  };
  struct Item {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<Reply> reply;  // set for sent messages
  };
  struct Timer {
    UINT period_ms;
    TimePoint due;
  };

  void Run() {
    loop_.OnLoopStart();
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(point_->mutex);
        if (quit_) break;
      }
      Item item;
      if (!Next(&item)) break;
      Serve(item);
    }
    loop_.OnLoopEnd();
    Close();
  }

  // Takes the next item to serve, waiting for one; false once the loop ends.
  bool Next(Item* item) {
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
      const TimePoint wake = due != timers_.end() ? due->second.due : TimePoint::max();
      const std::uint64_t epoch = timer_epoch_;
      GetClock().WaitUntil(point_, lock, wake, [&] {
        return closed_ || quit_ || !sent_.empty() || !posted_.empty() || timer_epoch_ != epoch;
      });
    }
  }

  void Serve(const Item& item) {
    const LRESULT result = loop_.Dispatch(item.message, item.wParam, item.lParam);
    if (item.reply) {
      {
        std::lock_guard<std::mutex> guard(point_->mutex);
        item.reply->done = true;
        item.reply->result = result;
      }
      point_->cv.notify_all();
    }
  }

  MessageLoop& loop_;
  std::shared_ptr<WaitPoint> point_;  // its mutex guards everything below
  std::deque<Item> sent_;
  std::deque<Item> posted_;
  std::map<UINT, Timer> timers_;
  std::uint64_t timer_epoch_ = 0;  // bumped by SetTimer to re-plan the wait
  bool closed_ = false;
  bool quit_ = false;
  std::thread::id owner_;
  std::thread thread_;
};

MessageLoop::MessageLoop() : impl_(std::make_unique<Impl>(*this)) {}

MessageLoop::~MessageLoop() { Stop(); }

bool MessageLoop::Start() { return impl_->Start(); }

void MessageLoop::Join() { impl_->Join(); }

void MessageLoop::Stop() {
  impl_->Close();
  impl_->Join();
}

bool MessageLoop::IsRunning() const { return impl_->IsRunning(); }

bool MessageLoop::IsOwnerThread() const { return impl_->IsOwnerThread(); }

std::size_t MessageLoop::PendingMessages() const { return impl_->PendingMessages(); }

bool MessageLoop::PostMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  return impl_->Post(message, wParam, lParam);
}

LRESULT MessageLoop::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (IsOwnerThread()) return Dispatch(message, wParam, lParam);
  return impl_->Send(message, wParam, lParam);
}

UINT MessageLoop::SetTimer(UINT id, UINT period_ms) { return impl_->SetTimer(id, period_ms); }

bool MessageLoop::KillTimer(UINT id) { return impl_->KillTimer(id); }

bool MessageLoop::IsTimerArmed(UINT id) const { return impl_->IsTimerArmed(id); }

void MessageLoop::QuitLoop() { impl_->QuitLoop(); }

}  // namespace os
