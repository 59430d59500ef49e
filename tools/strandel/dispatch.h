// Carries a command out where the tasks live: inside the running daemon when
// there is one, else here, under the data directory's lock, so that no daemon
// starts over the tasks meanwhile.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "request.h"

namespace host {

// Calls through_daemon with a connection to the running daemon (nothing
// returned: the daemon went away, try again), or locally with the lock held
// when none runs. Returns the exit status.
int ReachTasks(const std::filesystem::path& data_dir,
               const std::function<std::optional<int>(int daemon)>& through_daemon,
               const std::function<int()>& locally);

// A task command, on the task store when no daemon runs, without starting a
// module. Prints the results; returns the exit status.
int Dispatch(const std::filesystem::path& data_dir, const Request& request);

}  // namespace host
