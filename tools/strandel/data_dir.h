// Where the tasks and the history live, and the lock that says a module is
// running over them.
#pragma once

#include <filesystem>
#include <string>

#include "control_socket.h"

namespace host {

// path against the current directory, normalised, without a trailing
// separator; empty when the current directory is gone.
std::filesystem::path MakeAbsolute(const std::filesystem::path& path);

// For root, /var/lib/strandel when that directory exists; else
// $XDG_STATE_HOME/strandel, or ~/.local/state/strandel.
std::filesystem::path DefaultDataDir();

// Creates the directory (mode 0700, parents too) when missing, then refuses
// it when anybody but this user could change it or its parent, or when one
// of the files kept there is a symbolic link. Returns the absolute path, or
// empty with *error set.
std::filesystem::path PrepareDataDir(const std::filesystem::path& dir, std::string* error);

// The exclusive lock of the one process that runs the module over dir: the
// daemon for its lifetime, a command for its few calls. Invalid when another
// process holds it.
UniqueFd TryLockDataDir(const std::filesystem::path& dir);

}  // namespace host
