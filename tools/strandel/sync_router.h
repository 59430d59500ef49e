// The host's side of full syncs: the window the module reports progress to,
// and which requested sync each report belongs to. The module runs one sync
// at a time and reports on its sync thread; besides the syncs this host asks
// for, it runs its own (timers, volumes, lost changes). A sync this host is
// waiting for begins with the listing of its source and ends with the end
// report that names its task; reports of other syncs go nowhere.
//
// Threads: Expect on any thread; the window procedure runs on the module's
// sync thread and calls the channels outside the router's lock, so a channel
// may block (a prompt) without holding up Expect.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "strandel/strandel.h"

namespace host {

// Operation codes of the reports that the host treats apart.
constexpr LONG kListing = 0;
constexpr LONG kCopy = 3;
constexpr LONG kSyncEnd = 6;

// The message the router's window is registered with: any nonzero number,
// as the window receives nothing else.
constexpr UINT kProgressMessage = 0x8001;

// One progress report in the host's own types.
struct SyncReport {
  std::string task;  // the requested sync's task, as the router knows it
  LONG operation = 0;
  std::string first;
  std::string second;
  DWORD error = 0;
  bool ask = false;
  uint64_t listed = 0, listed_bytes = 0, checked = 0, checked_bytes = 0;
  uint64_t done = 0, failed = 0, copied_bytes = 0;

  static SyncReport From(const SyncProgressInfo& info);
  // Flat strings for the daemon's socket; Parse refuses what Fields cannot make.
  std::vector<std::string> Fields() const;
  static std::optional<SyncReport> Parse(const std::vector<std::string>& fields);
};

// Where the reports of one requested sync go. Deliver returns the reply to
// the module: -1 retry, -2 stop asking, 0 otherwise.
class SyncChannel {
 public:
  virtual ~SyncChannel() = default;
  virtual LRESULT Deliver(const SyncReport& report) = 0;
};

class SyncRouter {
 public:
  SyncRouter();
  SyncRouter(const SyncRouter&) = delete;
  SyncRouter& operator=(const SyncRouter&) = delete;

  // The window to register with SetNotifyWindow; it must outlive the module.
  HWND window() { return &window_; }

  // A sync of task is about to be requested; channel may be null.
  void Expect(const std::string& task, const std::string& source,
              std::shared_ptr<SyncChannel> channel);

  LRESULT Route(const SyncReport& report);

 private:
  struct Waiting {
    std::string task;
    std::string source;
    std::shared_ptr<SyncChannel> channel;
  };

  static LRESULT WindowProcedure(HWND window, UINT message, WPARAM operation, LPARAM info);

  HWND__ window_{};
  std::mutex mutex_;
  std::deque<Waiting> waiting_;     // guarded by mutex_
  std::optional<Waiting> running_;  // guarded by mutex_
};

}  // namespace host
