#include "sync_command.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "control_socket.h"
#include "dispatch.h"
#include "module_session.h"
#include "monitor_tasks.h"
#include "sync_display.h"
#include "sync_starter.h"
#include "wake_fd.h"

namespace host {
namespace {

constexpr int kInterrupted = 130;

SyncDisplayOptions DisplayOptions(const SyncCommand& command) {
  SyncDisplayOptions options;
  options.quiet = command.quiet;
  options.json = command.json;
  options.live = ::isatty(STDERR_FILENO) != 0;
  options.can_ask = !command.quiet && options.live && ::isatty(STDIN_FILENO) != 0;
  return options;
}

// Follows the syncs the daemon runs for this request until it sends the
// exit status.
std::optional<int> SyncThroughDaemon(int daemon, const SyncCommand& command) {
  Request request;
  request.command = "sync";
  request.name = command.name;
  request.can_ask = DisplayOptions(command).can_ask;
  if (!SendStrings(daemon, Encode(request))) return std::nullopt;
  SyncDisplay display(DisplayOptions(command));
  bool reported = false;
  for (;;) {
    const auto frame = ReceiveStrings(daemon);
    if (!frame) {
      display.Finish();
      std::fprintf(stderr, "strandel: the daemon stopped before the sync ended\n");
      return 1;
    }
    if (const auto report = SyncReport::Parse(*frame)) {
      reported = true;
      const LRESULT reply = display.Show(*report);
      if (report->error != 0 && report->ask && request.can_ask) {
        SendStrings(daemon, {"reply", std::to_string(reply)});
      }
      continue;
    }
    int status = 1;
    if (frame->size() != 3 ||
        std::from_chars(frame->at(0).data(), frame->at(0).data() + frame->at(0).size(), status)
                .ec != std::errc()) {
      std::fprintf(stderr, "strandel: the running daemon did not answer properly\n");
      return 1;
    }
    std::fputs(frame->at(1).c_str(), stdout);
    std::fputs(frame->at(2).c_str(), stderr);
    const int shown = reported ? display.Finish() : 0;
    return std::max(status, shown);
  }
}

// Shows the reports of this command's syncs and tells when the last ended.
class LocalChannel final : public SyncChannel {
 public:
  LocalChannel(SyncDisplay& display, int syncs)
      : display_(display), remaining_(syncs), done_(MakeWakeFd()) {}
  int done_fd() const { return done_.get(); }

  LRESULT Deliver(const SyncReport& report) override {
    const LRESULT reply = display_.Show(report);
    if (report.operation == kSyncEnd && --remaining_ == 0) Wake(done_.get());
    return reply;
  }

 private:
  SyncDisplay& display_;
  int remaining_;
  UniqueFd done_;
};

int SyncHere(const std::filesystem::path& data_dir, const SyncCommand& command) {
  // A stop signal ends the syncs at their next item instead of killing the
  // process in the middle of a copy.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  const UniqueFd signals(::signalfd(-1, &stop_signals, SFD_CLOEXEC));
  const UniqueFd stopping = MakeWakeFd();

  // The module lives only for these syncs: it follows no changes meanwhile.
  ::setenv("STRANDEL_REALTIME", "0", 1);

  SyncDisplayOptions options = DisplayOptions(command);
  options.stop_fd = stopping.get();
  SyncDisplay display(options);
  SyncRouter router;  // its window outlives the module
  std::shared_ptr<LocalChannel> channel;
  std::unique_ptr<SyncStarter> starter;
  bool interrupted = false;
  {
    ModuleSession session(data_dir);
    if (session.monitor() == nullptr) {
      std::fprintf(stderr, "strandel: the module did not start on %s\n", data_dir.c_str());
      return 1;
    }
    std::vector<TaskRecord> tasks;
    std::string error;
    if (!SelectSyncTasks(MonitorTasks(session.monitor()).List(), command.name, &tasks, &error)) {
      std::fprintf(stderr, "strandel: %s\n", error.c_str());
      return 1;
    }
    if (tasks.empty()) {
      if (!command.quiet) std::fprintf(stderr, "strandel: there are no tasks to sync\n");
      return 0;
    }
    channel = std::make_shared<LocalChannel>(display, static_cast<int>(tasks.size()));
    session.monitor()->SetNotifyWindow(router.window(), kProgressMessage);
    starter = std::make_unique<SyncStarter>(session.monitor(), router);
    for (const TaskRecord& task : tasks) starter->Start(task, channel);
    for (;;) {
      pollfd fds[2] = {{signals.get(), POLLIN, 0}, {channel->done_fd(), POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
      if (fds[1].revents != 0) break;
      if (fds[0].revents != 0) {
        interrupted = true;
        Wake(stopping.get());
        break;
      }
    }
  }  // the module is released: a running sync stops at its next item
  starter.reset();
  if (interrupted) {
    display.Finish();
    std::fprintf(stderr, "strandel: interrupted; the sync stopped before its end\n");
    return kInterrupted;
  }
  return display.Finish();
}

}  // namespace

bool SelectSyncTasks(std::vector<TaskRecord> tasks, const std::string& name,
                     std::vector<TaskRecord>* selected, std::string* error) {
  if (name.empty()) {
    *selected = std::move(tasks);
    return true;
  }
  const auto found =
      std::find_if(tasks.begin(), tasks.end(), [&](const TaskRecord& t) { return t.name == name; });
  if (found == tasks.end()) {
    *error = "no task named '" + name + "'";
    return false;
  }
  *selected = {*found};
  return true;
}

int RunSync(const std::filesystem::path& data_dir, const SyncCommand& command) {
  // A daemon that goes away while it is being answered ends nothing here.
  std::signal(SIGPIPE, SIG_IGN);
  return ReachTasks(
      data_dir, [&](int daemon) { return SyncThroughDaemon(daemon, command); },
      [&] { return SyncHere(data_dir, command); });
}

}  // namespace host
