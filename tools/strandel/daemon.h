// `strandel run`: the module in the foreground until SIGINT or SIGTERM, with
// the socket through which other strandel commands reach it; first, unless
// initial_sync is false, a full sync of every task.
#pragma once

#include <filesystem>

namespace host {

int RunDaemon(const std::filesystem::path& data_dir, bool quiet, bool initial_sync);

}  // namespace host
