#include "os/message_loop.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "os/clock.h"
#include "os/event.h"
#include "os/message_loop_impl.h"

namespace os {
namespace {

class QueueLoop final : public MessageLoop::Impl {
 public:
  explicit QueueLoop(MessageLoop& loop) : Impl(loop), point_(std::make_shared<WaitPoint>()) {}

  bool Start() override {
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

  void Join() override {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

  bool IsRunning() const override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return !closed_;
  }

  bool IsOwnerThread() const override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return owner_ == std::this_thread::get_id();
  }

  std::size_t PendingMessages() const override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return sent_.size() + posted_.size();
  }

  bool Post(UINT message, WPARAM wParam, LPARAM lParam) override {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      if (closed_) return false;
      posted_.push_back(Item{message, wParam, lParam, nullptr});
    }
    point_->cv.notify_all();
    return true;
  }

  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) override {
    auto reply = std::make_shared<Reply>();
    std::unique_lock<std::mutex> lock(point_->mutex);
    if (closed_) return 0;
    sent_.push_back(Item{message, wParam, lParam, reply});
    point_->cv.notify_all();
    point_->cv.wait(lock, [&] { return reply->done || closed_; });
    return reply->done ? reply->result : 0;
  }

  UINT SetTimer(UINT id, UINT period_ms) override {
    {
      std::lock_guard<std::mutex> guard(point_->mutex);
      if (closed_) return 0;
      timers_[id] = Timer{period_ms, GetClock().Now() + std::chrono::milliseconds(period_ms)};
      ++timer_epoch_;
    }
    point_->cv.notify_all();
    return id;
  }

  bool KillTimer(UINT id) override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return timers_.erase(id) > 0;
  }

  bool IsTimerArmed(UINT id) const override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    return timers_.count(id) > 0;
  }

  void QuitLoop() override {
    std::lock_guard<std::mutex> guard(point_->mutex);
    quit_ = true;
  }

  void Close() override {
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
    OnLoopStart();
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(point_->mutex);
        if (quit_) break;
      }
      Item item;
      if (!Next(&item)) break;
      Serve(item);
    }
    OnLoopEnd();
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

}  // namespace

std::unique_ptr<MessageLoop::Impl> MessageLoop::Impl::Make(MessageLoop& loop) {
  return std::make_unique<QueueLoop>(loop);
}

}  // namespace os
