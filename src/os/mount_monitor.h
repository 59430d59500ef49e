// Follows the kernel mount table and tells its client which drives (see
// volumes.h) came and went: the stand-in for device-change notifications.
//
// One thread sleeps in poll() on the mount table, which the kernel marks with
// POLLPRI on every mount and unmount; a quiet table costs no wake-ups. After a
// wake-up the drive set is read once and compared with the last one seen, so
// a burst of changes is reported as one difference, never lost.
//
// A drive mounted and unmounted between two reads makes no difference, yet
// whatever was opened on it meanwhile is on a volume that left: the client
// may also ask to hear of every read of a changed table.
//
// Threads: Start and Stop belong to the owner. The callbacks run on the
// monitor's thread, one call at a time; they must not call Stop. The monitor
// holds no descriptor on any mounted volume, so it never keeps one busy.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace os {

struct DriveChanges {
  std::vector<std::wstring> arrived;  // sorted
  std::vector<std::wstring> removed;  // sorted
};

class MountMonitor {
 public:
  using Callback = std::function<void(const DriveChanges&)>;
  using TableCallback = std::function<void()>;

  // on_change hears of differences only; on_table_read, when given, of every
  // read of a changed table, just before on_change would.
  explicit MountMonitor(Callback on_change, TableCallback on_table_read = {});
  ~MountMonitor();
  MountMonitor(const MountMonitor&) = delete;
  MountMonitor& operator=(const MountMonitor&) = delete;

  // Takes the present drives as the starting point, so every change made
  // after it returns is reported. False when the mount table cannot be
  // opened or the thread cannot start (the caller retries later); true when
  // already running.
  bool Start();
  // Ends the thread and waits for it; a callback under way finishes first.
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace os
