#include "dispatch.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <thread>

#include "control_socket.h"
#include "data_dir.h"
#include "store_tasks.h"
#include "task_commands.h"

namespace host {
namespace {

// A daemon holds the lock a moment before its socket listens, and a command
// run here holds it for a moment too: wait that out, not longer.
constexpr auto kBusyWait = std::chrono::seconds(5);

int Print(const Output& output, int status) {
  std::fputs(output.out.c_str(), stdout);
  std::fputs(output.err.c_str(), stderr);
  return status;
}

std::optional<int> AskDaemon(int daemon, const Request& request) {
  if (!SendStrings(daemon, Encode(request))) return std::nullopt;
  const auto reply = ReceiveStrings(daemon);
  int status = 1;
  if (!reply || reply->size() != 3 ||
      std::from_chars(reply->at(0).data(), reply->at(0).data() + reply->at(0).size(), status).ec !=
          std::errc()) {
    std::fprintf(stderr, "strandel: the running daemon did not answer properly\n");
    return 1;
  }
  return Print({reply->at(1), reply->at(2)}, status);
}

}  // namespace

int ReachTasks(const std::filesystem::path& data_dir,
               const std::function<std::optional<int>(int daemon)>& through_daemon,
               const std::function<int()>& locally) {
  const auto give_up = std::chrono::steady_clock::now() + kBusyWait;
  do {
    if (const UniqueFd daemon = ConnectToDaemon(data_dir); daemon.valid()) {
      if (auto status = through_daemon(daemon.get())) return *status;
    }
    // Without a daemon the tasks are this process's alone; the lock keeps a
    // daemon from starting over them until the command is done.
    if (const UniqueFd lock = TryLockDataDir(data_dir); lock.valid()) return locally();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < give_up);
  std::fprintf(stderr,
               "strandel: %s is in use by another strandel process that does not answer; "
               "try again once it has finished\n",
               data_dir.c_str());
  return 1;
}

int Dispatch(const std::filesystem::path& data_dir, const Request& request) {
  return ReachTasks(
      data_dir, [&](int daemon) { return AskDaemon(daemon, request); },
      [&] {
        StoreTasks tasks(data_dir);
        std::string reason;
        if (!tasks.Open(&reason)) {
          std::fprintf(stderr, "strandel: cannot open the tasks: %s\n", reason.c_str());
          return 1;
        }
        Output output;
        return Print(output, Execute(request, tasks, output));
      });
}

}  // namespace host
