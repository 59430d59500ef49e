#include "os/mount_monitor.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <iterator>
#include <system_error>
#include <thread>

#include "os/last_error.h"
#include "os/thread_name.h"
#include "os/trace_sink.h"
#include "os/linux/unique_fd.h"
#include "os/volumes.h"

namespace os {
namespace {

// Reads of the table are at least this far apart: a table that changes a
// thousand times a second (containers, automounters) costs a few reads a
// tick, while a drive that stays mounted longer than this is still seen.
constexpr std::chrono::milliseconds kMinRescanGap{50};

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

  void Run();
  // Waits out the rest of the gap since the last read; false when asked to stop.
  bool AwaitRescanGap();
  void Rescan();

  const Callback on_change;
  const TableCallback on_table_read;
  UniqueFd table_fd;
  UniqueFd stop_fd;
  std::vector<std::wstring> drives;                   // the monitor thread's once it runs
  std::chrono::steady_clock::time_point last_rescan;  // the monitor thread's
  std::thread thread;
};

void MountMonitor::Impl::Run() {
  NameCurrentThread("mount-monitor");
  pollfd fds[2] = {{table_fd.get(), POLLPRI, 0}, {stop_fd.get(), POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ErrorFromErrno(errno, "poll");
      TraceOutput("[Strandel]mount monitor stopped: poll failed\n");
      return;
    }
    if (fds[1].revents != 0) return;
    // poll() itself acknowledges the change, so the table must be read next.
    if ((fds[0].revents & (POLLPRI | POLLERR)) != 0) {
      if (!AwaitRescanGap()) return;
      Rescan();
    }
  }
}

bool MountMonitor::Impl::AwaitRescanGap() {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        last_rescan + kMinRescanGap - std::chrono::steady_clock::now());
    if (left.count() <= 0) return true;
    pollfd stop{stop_fd.get(), POLLIN, 0};
    const int ready = ::poll(&stop, 1, static_cast<int>(left.count()));
    if (ready > 0) return false;
    if (ready < 0 && errno != EINTR) return true;
  }
}

void MountMonitor::Impl::Rescan() {
  last_rescan = std::chrono::steady_clock::now();
  const auto table = ReadMountTable();
  // An unreadable table is not every volume leaving; the next change retries.
  if (table.empty()) return;
  auto now = PresentDrivesOf(table);
  DriveChanges changes{Minus(now, drives), Minus(drives, now)};
  drives = std::move(now);
  if (on_table_read) on_table_read();
  if (!changes.arrived.empty() || !changes.removed.empty()) on_change(changes);
}

MountMonitor::MountMonitor(Callback on_change, TableCallback on_table_read)
    : impl_(std::make_unique<Impl>(std::move(on_change), std::move(on_table_read))) {}

MountMonitor::~MountMonitor() { Stop(); }

bool MountMonitor::Start() {
  if (impl_->thread.joinable()) return true;
  const std::string path = MountInfoPath();
  UniqueFd table_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!table_fd.valid()) {
    ErrorFromErrno(errno, path);
    return false;
  }
  UniqueFd stop_fd(::eventfd(0, EFD_CLOEXEC));
  if (!stop_fd.valid()) {
    ErrorFromErrno(errno, "eventfd");
    return false;
  }
  // Opened first and read second: a change in between shows in both, which
  // costs one empty comparison instead of a lost drive.
  const auto table = ReadMountTable();
  if (table.empty()) {
    SetLastError(ERROR_GEN_FAILURE);
    return false;
  }
  impl_->drives = PresentDrivesOf(table);
  impl_->table_fd = std::move(table_fd);
  impl_->stop_fd = std::move(stop_fd);
  try {
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
  } catch (const std::system_error&) {
    impl_->table_fd.Reset();
    impl_->stop_fd.Reset();
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  return true;
}

void MountMonitor::Stop() {
  if (!impl_->thread.joinable()) return;
  const uint64_t one = 1;
  // An eventfd write fails only when its counter is full, which one write cannot do.
  [[maybe_unused]] const ssize_t written = ::write(impl_->stop_fd.get(), &one, sizeof one);
  impl_->thread.join();
  impl_->table_fd.Reset();
  impl_->stop_fd.Reset();
}

}  // namespace os
