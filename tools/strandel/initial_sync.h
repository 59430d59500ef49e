// The full sync of every task with which `strandel run` starts, so that files
// that were there before, or changed while no daemon ran, arrive. One task
// after the other: the module's window procedure reports the end of each
// sync through an eventfd that the daemon's poll loop watches, so a stop
// signal or a command never waits behind a sync.
//
// Threads: Start and Next on the daemon's thread; the window procedure runs
// on the module's sync thread and only writes the eventfd.
#pragma once

#include "os/unique_fd.h"
#include "strandel/strandel.h"

namespace host {

class InitialSync {
 public:
  InitialSync();
  InitialSync(const InitialSync&) = delete;
  InitialSync& operator=(const InitialSync&) = delete;

  // Registers the window and starts the first task's sync.
  void Start(IWatcherMonitor* monitor);
  // Readable when a sync has ended; -1 when there is nothing to wait for.
  int fd() const { return done_ ? -1 : event_.get(); }
  // After fd() became readable: the next task's sync, if any.
  void Next(IWatcherMonitor* monitor);

 private:
  static LRESULT WindowProcedure(HWND window, UINT message, WPARAM operation, LPARAM info);
  void StartAt(IWatcherMonitor* monitor, LONG position);

  os::UniqueFd event_;
  // Registered with the module until the module is released: it must outlive it.
  HWND__ window_{};
  bool done_ = false;
  LONG next_ = 0;
  LONG count_ = 0;
};

}  // namespace host
