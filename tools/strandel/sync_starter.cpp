#include "sync_starter.h"

namespace host {

SyncStarter::SyncStarter(IWatcherMonitor* monitor, SyncRouter& router)
    : monitor_(monitor), router_(router), thread_([this] { Run(); }) {}

SyncStarter::~SyncStarter() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  thread_.join();
}

void SyncStarter::Start(const TaskRecord& task, std::shared_ptr<SyncChannel> channel) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    queue_.emplace_back(task, std::move(channel));
  }
  wake_.notify_all();
}

void SyncStarter::Run() {
  for (;;) {
    std::pair<TaskRecord, std::shared_ptr<SyncChannel>> next;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    router_.Expect(next.first.name, next.first.source, std::move(next.second));
    TaskInfoBuffer info(next.first);
    monitor_->SyncWatchTask(info.get());
  }
}

}  // namespace host
