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

namespace os {
namespace {

constexpr wchar_t kClassName[] = L"StrandelMessageLoop";
// While timers run on a test's clock, the loop looks at that clock this often.
constexpr DWORD kTestClockPollMs = 5;

// Registering the class and making a window, or destroying one and
// unregistering the class, are one step each: the class lives exactly while
// a window of it does, so none is left behind pointing into an unloaded DLL.
std::mutex g_class_mutex;

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

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

}  // namespace

class MessageLoop::Impl {
 public:
  explicit Impl(MessageLoop& loop) : loop_(loop) {}

  bool Start() {
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

  void Join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
  }

  bool IsRunning() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !closed_;
  }

  bool IsOwnerThread() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return owner_ == std::this_thread::get_id();
  }

  std::size_t PendingMessages() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return closed_ ? 0 : static_cast<std::size_t>(std::max<long>(pending_.load(), 0));
  }

  bool Post(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = Window();
    if (hwnd == nullptr) return false;
    ++pending_;
    if (::PostMessageW(hwnd, message, wParam, lParam)) return true;
    --pending_;
    return false;
  }

  LRESULT Send(UINT message, WPARAM wParam, LPARAM lParam) {
    const HWND hwnd = Window();
    if (hwnd == nullptr) return 0;
    ++pending_;
    return ::SendMessageW(hwnd, message, wParam, lParam);
  }

  UINT SetTimer(UINT id, UINT period_ms) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closed_) return 0;
      timers_[id] = Timer{period_ms, GetClock().Now() + std::chrono::milliseconds(period_ms),
                          IsSystemClock()};
    }
    ApplyTimerSoon(id);
    return id;
  }

  bool KillTimer(UINT id) {
    bool armed = false;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      armed = timers_.erase(id) > 0;
    }
    if (armed) ApplyTimerSoon(id);
    return armed;
  }

  bool IsTimerArmed(UINT id) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return timers_.count(id) > 0;
  }

  void QuitLoop() { quit_ = true; }

  void Close() {
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
    auto* impl = reinterpret_cast<Impl*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
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
    const std::lock_guard<std::mutex> guard(g_class_mutex);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = &WindowProc;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = kClassName;
    if (!::RegisterClassExW(&window_class) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
      return nullptr;
    }
    const HWND hwnd = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        ThisModule(), nullptr);
    // Set after creation: the system's own creation messages are not the loop's.
    if (hwnd != nullptr) ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    return hwnd;
  }

  static void DestroyWindow(HWND hwnd) {
    const std::lock_guard<std::mutex> guard(g_class_mutex);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    ::DestroyWindow(hwnd);                         // its timers go with it
    ::UnregisterClassW(kClassName, ThisModule());  // fails while other loops run
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
    loop_.OnLoopStart();
    Pump();
    loop_.OnLoopEnd();
    Close();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      hwnd_ = nullptr;
    }
    // Senders still blocked on the window get 0 once this thread is gone.
    DestroyWindow(hwnd);
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
    return loop_.Dispatch(message, wParam, lParam);
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
      if (IsTimerArmed(id)) loop_.Dispatch(WM_TIMER, id, 0);
    }
  }

  MessageLoop& loop_;
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
