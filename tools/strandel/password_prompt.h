// The share password comes from the terminal without echo, or from standard
// input when asked; never from the command line, where others can read it.
// Ctrl-C (or another stop signal) at the prompt gives the terminal its echo
// back before the signal ends the process as usual.
#pragma once

#include <optional>
#include <string>

namespace host {

std::optional<std::string> ReadPasswordFromTerminal(const std::string& user, std::string* error);
std::optional<std::string> ReadPasswordFromStdin(std::string* error);

}  // namespace host
