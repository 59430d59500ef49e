#include "daemon.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "control_socket.h"
#include "data_dir.h"
#include "history.h"
#include "module_session.h"
#include "monitor_tasks.h"
#include "remote_sync_channel.h"
#include "sync_command.h"
#include "sync_starter.h"
#include "task_commands.h"
#include "volume_report.h"
#include "wake_fd.h"

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr auto kLockWait = std::chrono::seconds(5);
constexpr int kHistoryPollMs = 200;

// Prints the history rows written since the last call.
class HistoryTail {
 public:
  HistoryTail(fs::path database, bool quiet) : database_(std::move(database)), quiet_(quiet) {
    std::string error;
    HistoryQuery newest;
    newest.limit = 1;
    const auto rows = ReadHistory(database_, newest, &error);
    if (!rows.empty()) last_sn_ = rows.back().sn;
  }

  void Print() {
    if (quiet_) return;
    HistoryQuery query;
    query.after_sn = last_sn_;
    std::string error;
    for (const HistoryRow& row : ReadHistory(database_, query, &error)) {
      std::printf("%s\n", HistoryLine(row).c_str());
      last_sn_ = row.sn;
    }
    std::fflush(stdout);
  }

 private:
  fs::path database_;
  bool quiet_;
  int64_t last_sn_ = 0;
};

// Where the daemon's syncs start and report, and what a stop must wake.
struct DaemonSyncs {
  SyncRouter& router;
  SyncStarter& starter;
  int stopping;  // readable once the daemon stops
};

// A sync request keeps its connection: the syncs' reports go back over it.
void ServeSync(UniqueFd client, const Request& request, IWatcherMonitor* monitor,
               DaemonSyncs& syncs) {
  std::vector<TaskRecord> tasks;
  std::string error;
  if (!SelectSyncTasks(MonitorTasks(monitor).List(), request.name, &tasks, &error)) {
    SendStrings(client.get(), {"1", "", "strandel: " + error + "\n"});
    return;
  }
  if (tasks.empty()) {
    SendStrings(client.get(), {"0", "", "strandel: there are no tasks to sync\n"});
    return;
  }
  const auto channel = std::make_shared<RemoteSyncChannel>(
      std::move(client), static_cast<int>(tasks.size()), request.can_ask, syncs.stopping);
  for (const TaskRecord& task : tasks) syncs.starter.Start(task, channel);
}

void Serve(int listener, IWatcherMonitor* monitor, DaemonSyncs& syncs) {
  UniqueFd client(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
  if (!client.valid() || !PeerIsTrusted(client.get())) return;
  // A client that stalls must not stall the daemon.
  const timeval limit{5, 0};
  ::setsockopt(client.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  ::setsockopt(client.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  const auto fields = ReceiveStrings(client.get());
  const auto request = fields ? Decode(*fields) : std::nullopt;
  if (request && request->command == "sync") {
    ServeSync(std::move(client), *request, monitor, syncs);
    return;
  }
  Output output;
  MonitorTasks tasks(monitor);
  const int status = request ? Execute(*request, tasks, output) : 1;
  if (!request) output.err = "strandel: the daemon could not read the request\n";
  SendStrings(client.get(), {std::to_string(status), output.out, output.err});
}

UniqueFd WaitForLock(const fs::path& data_dir) {
  const auto give_up = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    UniqueFd lock = TryLockDataDir(data_dir);
    if (lock.valid() || ConnectToDaemon(data_dir).valid() ||
        std::chrono::steady_clock::now() >= give_up) {
      return lock;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// Serves commands and prints the history until a stop signal arrives.
int ServeUntilStopped(const fs::path& data_dir, IWatcherMonitor* monitor, int signals,
                      HistoryTail& tail, DaemonSyncs& syncs, bool initial_sync) {
  std::string error;
  const UniqueFd listener = ListenOnSocket(data_dir, &error);
  if (!listener.valid()) {
    std::fprintf(stderr, "strandel: cannot listen on %s: %s\n", (data_dir / kSocketName).c_str(),
                 error.c_str());
    return 1;
  }
  const std::vector<TaskRecord> tasks = MonitorTasks(monitor).List();
  std::fprintf(stderr, "strandel: running %zu task%s from %s; stop with Ctrl-C\n", tasks.size(),
               tasks.size() == 1 ? "" : "s", data_dir.c_str());
  // The module's switch for hosts that only run full syncs: a daemon started
  // with it left in its environment would otherwise look idle for no reason.
  if (const char* realtime = std::getenv("STRANDEL_REALTIME");
      realtime != nullptr && std::string_view(realtime) == "0") {
    std::fprintf(stderr,
                 "strandel: STRANDEL_REALTIME=0 is set: no change is followed as it happens, "
                 "tasks are brought in step by full syncs only\n");
  }
  monitor->SetNotifyWindow(syncs.router.window(), kProgressMessage);
  const VolumeReport volumes(monitor);
  // What is there already, or changed while no daemon ran, arrives first.
  if (initial_sync) {
    for (const TaskRecord& task : tasks) syncs.starter.Start(task, nullptr);
  }
  for (;;) {
    pollfd fds[2] = {{signals, POLLIN, 0}, {listener.get(), POLLIN, 0}};
    if (::poll(fds, 2, kHistoryPollMs) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) break;
    if (fds[1].revents & POLLIN) Serve(listener.get(), monitor, syncs);
    tail.Print();
  }
  // Commands from now on work on the task store once the lock is free.
  ::unlink((data_dir / kSocketName).c_str());
  return 0;
}

}  // namespace

int RunDaemon(const fs::path& data_dir, bool quiet, bool initial_sync) {
  // Blocked before the module starts its threads, so every thread leaves the
  // two signals to the descriptor read below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  const UniqueFd signals(::signalfd(-1, &stop_signals, SFD_CLOEXEC));

  const UniqueFd lock = WaitForLock(data_dir);
  if (!lock.valid()) {
    std::fprintf(stderr, "strandel: a daemon is already running on %s\n", data_dir.c_str());
    return 1;
  }
  HistoryTail tail(data_dir / "Strandel.db", quiet);
  SyncRouter router;  // its window outlives the module
  const UniqueFd stopping = MakeWakeFd();
  std::unique_ptr<SyncStarter> starter;
  int status = 1;
  {
    ModuleSession session(data_dir);
    if (session.monitor() == nullptr) {
      std::fprintf(stderr, "strandel: the module did not start on %s\n", data_dir.c_str());
    } else {
      starter = std::make_unique<SyncStarter>(session.monitor(), router);
      DaemonSyncs syncs{router, *starter, stopping.get()};
      status =
          ServeUntilStopped(data_dir, session.monitor(), signals.get(), tail, syncs, initial_sync);
    }
    // A question waiting for a client's answer gives way to the stop.
    Wake(stopping.get());
  }  // the module is released: a start waiting in it returns
  starter.reset();
  tail.Print();  // what the module finished while stopping
  if (status == 0) std::fprintf(stderr, "strandel: stopped\n");
  return status;
}

}  // namespace host
