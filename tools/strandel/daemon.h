// `strandel run`: the module in the foreground until SIGINT or SIGTERM, with
// the socket through which other strandel commands reach it.
#pragma once

#include <filesystem>

namespace host {

int RunDaemon(const std::filesystem::path& data_dir, bool quiet);

}  // namespace host
