// Tells the person running the daemon when a removable volume arrives or
// leaves, and what that means for the tasks whose folders lie on it.
//
// Threads: made and destroyed on the daemon's thread; the lines are printed
// on the mount monitor's thread, which reads the tasks through the module's
// monitor object (any thread may).
#pragma once

#include "os/mount_monitor.h"
#include "strandel/strandel.h"

namespace host {

class VolumeReport {
 public:
  // Follows the mount table from now on; says so when it cannot.
  explicit VolumeReport(IWatcherMonitor* monitor);
  VolumeReport(const VolumeReport&) = delete;
  VolumeReport& operator=(const VolumeReport&) = delete;

 private:
  void Print(const os::DriveChanges& changes);

  IWatcherMonitor* const monitor_;
  os::MountMonitor mount_monitor_;  // last: stopped before the rest goes
};

}  // namespace host
