#include "os/message_loop.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "os/clock.h"
#include "os/message_loop_impl.h"
#include "os/win32/message_window.h"

namespace os {
namespace {

constexpr wchar_t kClassName[] = L"StrandelMessageLoop";
// While timers run on a test's clock, the loop looks at that clock this often.
constexpr DWORD kTestClockPollMs = 5;

// The loop's own requests to its window, out of the range of the module's
// messages: re-apply a timer's state, and wake up to look at the flags.
UINT TimerRequest() {
  static const UINT message = ::RegisterWindowMessageW(L"StrandelMessageLoop.Timer");
  return message;
}
UINT WakeRequest() {
  static const UINT message = ::RegisterWindowMessageW(L"StrandelMessageLoop.Wake");
  return message;
}

// What the window hands to the loop's handler; anything else the system
// sends it is the system's business.
bool IsLoopMessage(UINT message) {
  switch (message) {
    case WM_CREATE:
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_SYSCOMMAND:
    case WM_TIMER:
    case WM_DEVICECHANGE:
      return true;
    default:
      return message >= WM_USER && message < 0xC000;
  }
}

class WindowLoop final : public MessageLoop::Impl {
 public:
  explicit WindowLoop(MessageLoop& loop) : Impl(loop) {}

  bool Start() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (thread_.joinable() || closed_) return false;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      return false;  // out of threads: the caller reports the failed start
    }
    owner_ = thread_.get_id();
    ready_.wait(lock, [&] { return hwnd_ != nullptr || closed_; });
    return hwnd_ != nullptr;
  }

  void Join() override {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

  bool IsRunning() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return !closed_;
  }

  bool IsOwnerThread() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return owner_ == std::this_thread::get_id();
  }

  std::size_t PendingMessages() const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_ ? 0 : static_cast<std::size_t>(std::max<long>(pending_.load(), 0));
  }

  bool Post(UINT message, WPARAM wParam, LPARAM lParam) override {
    const HWND hwnd = Window();
    if (hwnd == nullptr) return false;
    ++pending_;
    if (::PostMessageW(hwnd, message, wParam, lParam)) return true;
    --pending_;
    return false;
  }

  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) override {
    const HWND hwnd = Window();
    if (hwnd == nullptr) return 0;
    ++pending_;
    return ::SendMessageW(hwnd, message, wParam, lParam);
  }

  UINT SetTimer(UINT id, UINT period_ms) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closed_) return 0;
      timers_[id] = Timer{period_ms, GetClock().Now() + std::chrono::milliseconds(period_ms),
                          IsSystemClock()};
    }
    ApplyTimerSoon(id);
    return id;
  }

  bool KillTimer(UINT id) override {
    bool armed = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      armed = timers_.erase(id) > 0;
    }
    if (armed) ApplyTimerSoon(id);
    return armed;
  }

  bool IsTimerArmed(UINT id) const override {
    std::lock_guard<std::mutex> guard(mutex_);
    return timers_.count(id) > 0;
  }

  void QuitLoop() override { quit_ = true; }

  void Close() override {
    HWND hwnd = nullptr;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      closed_ = true;
      timers_.clear();
      hwnd = hwnd_;
    }
    ready_.notify_all();
    if (hwnd != nullptr) ::PostMessageW(hwnd, WakeRequest(), 0, 0);
  }

 private:
  struct Timer {
    UINT period_ms;
    TimePoint due;  // test clocks only
    bool native;    // a window timer; else kept on the installed clock
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* impl = reinterpret_cast<WindowLoop*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (impl == nullptr) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    return impl->Receive(hwnd, message, wParam, lParam);
  }

  // The window while the loop runs; null before Start and once it has ended.
  HWND Window() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_ ? nullptr : hwnd_;
  }

  bool Ending() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_ || quit_;
  }

  HWND MakeWindow() {
    const HWND hwnd = CreateMessageWindow(kClassName, &WindowProc, nullptr);
    // Set after creation: the system's own creation messages are not the loop's.
    if (hwnd != nullptr) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return hwnd;
  }

  void Run() {
    const HWND hwnd = MakeWindow();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      hwnd_ = hwnd;
      if (hwnd == nullptr) closed_ = true;
    }
    ready_.notify_all();
    if (hwnd == nullptr) return;
    OnLoopStart();
    Pump();
    OnLoopEnd();
    Close();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      hwnd_ = nullptr;
    }
    // Senders still blocked on the window get 0 once this thread is gone.
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    DestroyMessageWindow(hwnd, kClassName);
  }

  void Pump() {
    MSG msg;
    for (;;) {
      if (Ending()) return;
      ::MsgWaitForMultipleObjectsEx(0, nullptr, TestTimersArmed() ? kTestClockPollMs : INFINITE,
                                    QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      // Peeking serves the messages sent meanwhile, then takes a posted one.
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (Ending()) return;
        ::DispatchMessageW(&msg);
      }
      FireDueTestTimers();
    }
  }

  LRESULT Receive(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WakeRequest()) return 0;
    if (message == TimerRequest()) {
      ApplyTimer(hwnd, static_cast<UINT>(wParam));
      return 0;
    }
    if (!IsLoopMessage(message)) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_TIMER) {
      // One killed after the system queued its tick.
      if (!IsTimerArmed(static_cast<UINT>(wParam))) return 0;
    } else {
      --pending_;
    }
    if (Ending()) return 0;
    return Dispatch(message, wParam, lParam);
  }

  // Brings the window's timer id in line with the table: at once on the
  // owning thread, else through a request that thread serves in order.
  void ApplyTimerSoon(UINT id) {
    const HWND hwnd = Window();
    if (hwnd == nullptr) return;
    if (IsOwnerThread()) {
      ApplyTimer(hwnd, id);
    } else {
      ::PostMessageW(hwnd, TimerRequest(), id, 0);
    }
  }

  void ApplyTimer(HWND hwnd, UINT id) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto it = timers_.find(id);
    if (it != timers_.end() && it->second.native) {
      ::SetTimer(hwnd, id, it->second.period_ms, nullptr);
    } else {
      ::KillTimer(hwnd, id);
    }
  }

  bool TestTimersArmed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::any_of(timers_.begin(), timers_.end(),
                       [](const auto& timer) { return !timer.second.native; });
  }

  // With the queue empty: a WM_TIMER for each timer on a test's clock that
  // has come due.
  void FireDueTestTimers() {
    std::vector<UINT> due;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      const TimePoint now = GetClock().Now();
      for (auto& [id, timer] : timers_) {
        if (timer.native || timer.due > now) continue;
        timer.due = now + std::chrono::milliseconds(timer.period_ms);
        due.push_back(id);
      }
    }
    for (const UINT id : due) {
      if (Ending()) return;
      if (IsTimerArmed(id)) Dispatch(WM_TIMER, id, 0);
    }
  }

  mutable std::mutex mutex_;  // guards everything below but pending_
  std::condition_variable ready_;
  HWND hwnd_ = nullptr;
  std::map<UINT, Timer> timers_;
  bool closed_ = false;
  std::atomic<bool> quit_{false};
  std::thread::id owner_;
  std::thread thread_;
  std::atomic<long> pending_{0};  // sent and posted messages not yet served
};

}  // namespace

std::unique_ptr<MessageLoop::Impl> MessageLoop::Impl::Make(MessageLoop& loop) {
  return std::make_unique<WindowLoop>(loop);
}

}  // namespace os
