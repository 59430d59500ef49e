// Carries a task command out where the tasks live: inside the running daemon
// when there is one, else on the task store, without starting a module.
#pragma once

#include <filesystem>

#include "request.h"

namespace host {

// Prints the results; returns the exit status.
int Dispatch(const std::filesystem::path& data_dir, const Request& request);

}  // namespace host
