// Device arrival and removal on Windows: a thread of its own with a
// message-only window registered for the volume and disk interface classes.
// Each WM_DEVICECHANGE makes the thread read the drive letters again and
// report the difference with the last set it saw.
//
// A volume's interface often arrives before the mount manager has given it
// its letter, and message-only windows get none of the DBT_DEVTYP_VOLUME
// broadcasts that follow the letter: after a notification the letters are
// read again a few times over the next seconds, so a late letter is still
// reported. A quiet system costs no wake-ups.
#include "os/mount_monitor.h"

// clang-format off
#include <windows.h>
#include <dbt.h>  // needs windows.h first
// clang-format on

#include <algorithm>
#include <future>
#include <iterator>
#include <system_error>
#include <thread>

#include "os/last_error.h"
#include "os/thread_name.h"
#include "os/volumes.h"
#include "os/win32/message_window.h"

namespace os {
namespace {

// GUID_DEVINTERFACE_VOLUME and GUID_DEVINTERFACE_DISK, spelled out so that no
// GUID library has to be linked.
constexpr GUID kVolumeInterface = {
    0x53f5630d, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
constexpr GUID kDiskInterface = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

constexpr wchar_t kWindowClass[] = L"StrandelMountMonitor";
constexpr UINT_PTR kFollowUpTimer = 1;
constexpr UINT kFollowUpPeriodMs = 500;
constexpr int kFollowUps = 8;  // four seconds of letters arriving late

std::vector<std::wstring> Minus(const std::vector<std::wstring>& from,
                                const std::vector<std::wstring>& taken) {
  std::vector<std::wstring> rest;
  std::set_difference(from.begin(), from.end(), taken.begin(), taken.end(),
                      std::back_inserter(rest));
  return rest;
}

}  // namespace

struct MountMonitor::Impl {
  Impl(Callback callback, TableCallback table_callback)
      : on_change(std::move(callback)), on_table_read(std::move(table_callback)) {}

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  // Creates the window and registers for notifications; false with the last
  // error set.
  bool Open();
  void Close();
  void Run(std::promise<DWORD> started);
  // Reads the letters; table_read: this read follows a notification.
  void Rescan(bool table_read);

  const Callback on_change;
  const TableCallback on_table_read;
  // The monitor thread's once it runs.
  HWND window = nullptr;
  HDEVNOTIFY registrations[2] = {};
  std::vector<std::wstring> drives;
  int follow_ups_left = 0;
  // The owner's: set by Start once the thread has its window.
  HWND owner_window = nullptr;
  DWORD thread_id = 0;
  std::thread thread;
};

LRESULT CALLBACK MountMonitor::Impl::WindowProc(HWND window, UINT message, WPARAM wparam,
                                                LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<Impl*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return ::DefWindowProcW(window, message, wparam, lparam);
  switch (message) {
    case WM_DEVICECHANGE:
      if (wparam == DBT_DEVICEARRIVAL || wparam == DBT_DEVICEREMOVECOMPLETE) {
        self->Rescan(true);
        self->follow_ups_left = kFollowUps;
        ::SetTimer(window, kFollowUpTimer, kFollowUpPeriodMs, nullptr);
      }
      return TRUE;
    case WM_TIMER:
      if (wparam == kFollowUpTimer) {
        if (--self->follow_ups_left <= 0) ::KillTimer(window, kFollowUpTimer);
        self->Rescan(false);
      }
      return 0;
    case WM_CLOSE:
      self->Close();
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(window, message, wparam, lparam);
  }
}

bool MountMonitor::Impl::Open() {
  window = CreateMessageWindow(kWindowClass, &Impl::WindowProc, this);
  if (window == nullptr) return false;
  const GUID* classes[2] = {&kVolumeInterface, &kDiskInterface};
  for (int i = 0; i < 2; ++i) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = *classes[i];
    registrations[i] = ::RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    if (registrations[i] == nullptr) {
      const DWORD error = ::GetLastError();
      Close();
      ::SetLastError(error);
      return false;
    }
  }
  return true;
}

void MountMonitor::Impl::Close() {
  for (HDEVNOTIFY& registration : registrations) {
    if (registration != nullptr) ::UnregisterDeviceNotification(registration);
    registration = nullptr;
  }
  DestroyMessageWindow(window, kWindowClass);
  window = nullptr;
}

void MountMonitor::Impl::Run(std::promise<DWORD> started) {
  NameCurrentThread("mount-monitor");
  thread_id = ::GetCurrentThreadId();
  if (!Open()) {
    started.set_value(::GetLastError());
    return;
  }
  // Read after the registrations: a change in between shows in both, which
  // costs one empty comparison instead of a lost drive.
  drives = PresentDrives();
  started.set_value(ERROR_SUCCESS);
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) ::DispatchMessageW(&message);
  Close();
}

void MountMonitor::Impl::Rescan(bool table_read) {
  auto now = PresentDrives();
  DriveChanges changes{Minus(now, drives), Minus(drives, now)};
  const bool changed = !changes.arrived.empty() || !changes.removed.empty();
  drives = std::move(now);
  if (on_table_read && (table_read || changed)) on_table_read();
  if (changed) on_change(changes);
}

MountMonitor::MountMonitor(Callback on_change, TableCallback on_table_read)
    : impl_(std::make_unique<Impl>(std::move(on_change), std::move(on_table_read))) {}

MountMonitor::~MountMonitor() { Stop(); }

bool MountMonitor::Start() {
  if (impl_->thread.joinable()) return true;
  std::promise<DWORD> started;
  std::future<DWORD> result = started.get_future();
  try {
    impl_->thread = std::thread([impl = impl_.get(), promise = std::move(started)]() mutable {
      impl->Run(std::move(promise));
    });
  } catch (const std::system_error&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  const DWORD error = result.get();
  if (error != ERROR_SUCCESS) {
    impl_->thread.join();
    SetLastError(error);
    return false;
  }
  impl_->owner_window = impl_->window;
  return true;
}

void MountMonitor::Stop() {
  if (!impl_->thread.joinable()) return;
  // The window closes itself on its own thread, which then leaves its loop.
  if (!::PostMessageW(impl_->owner_window, WM_CLOSE, 0, 0)) {
    ::PostThreadMessageW(impl_->thread_id, WM_QUIT, 0, 0);
  }
  impl_->thread.join();
  impl_->owner_window = nullptr;
}

}  // namespace os
