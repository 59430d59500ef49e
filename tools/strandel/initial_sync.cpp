#include "initial_sync.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "task_record.h"

namespace host {
namespace {

// Any nonzero number: the window receives nothing else.
constexpr UINT kProgressMessage = 0x8001;
constexpr WPARAM kSyncEnded = 6;

}  // namespace

InitialSync::InitialSync() : event_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  window_.cbSize = sizeof(window_);
  window_.bAlive = 1;
  window_.lpfnWndProc = &InitialSync::WindowProcedure;
  window_.pContext = this;
}

LRESULT InitialSync::WindowProcedure(HWND window, UINT, WPARAM operation, LPARAM) {
  if (operation == kSyncEnded) {
    const uint64_t one = 1;
    const auto* self = static_cast<const InitialSync*>(window->pContext);
    [[maybe_unused]] const ssize_t written = ::write(self->event_.get(), &one, sizeof one);
  }
  return 0;
}

void InitialSync::Start(IWatcherMonitor* monitor) {
  done_ = !event_.valid();
  if (done_) return;
  monitor->GetTaskCount(&count_);
  monitor->SetNotifyWindow(&window_, kProgressMessage);
  StartAt(monitor, 0);
}

void InitialSync::Next(IWatcherMonitor* monitor) {
  uint64_t ended = 0;
  if (::read(event_.get(), &ended, sizeof ended) != sizeof ended) return;
  StartAt(monitor, next_);
}

void InitialSync::StartAt(IWatcherMonitor* monitor, LONG position) {
  for (next_ = position; next_ < count_;) {
    WatchTaskInfo info{};
    const bool found = monitor->QueryTaskInfo(next_++, &info) == 0;
    if (found) monitor->SyncWatchTask(&info);
    FreeInfoStrings(info);
    if (found) return;
  }
  // Every task has had its sync: later reports are not waited for. The
  // eventfd stays open, as a report already on its way may still write to it.
  monitor->SetNotifyWindow(&window_, 0);
  done_ = true;
}

}  // namespace host
