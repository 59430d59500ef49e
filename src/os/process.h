// Starting a program as a given user: fork and exec with an argument vector,
// never through a shell, so no byte of an argument or of the environment is
// ever interpreted.
//
// Command lines (the module's text form of a command) are split into
// arguments by the quoting rules of the Windows C runtime, which the module's
// command texts were written for: blanks and tabs separate arguments, double
// quotes group, 2n backslashes before a quote are n backslashes and the quote
// groups, 2n+1 are n backslashes and a literal quote, other backslashes are
// plain characters. QuoteArgument is the inverse for one argument.
//
// Pure functions and StartProcess are safe on any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "os/session.h"

namespace os {

std::vector<std::wstring> SplitCommandLine(std::wstring_view command_line);
std::wstring QuoteArgument(std::wstring_view argument);
std::wstring JoinCommandLine(const std::vector<std::wstring>& arguments);

// The environment of a login of token's user: HOME, USER, LOGNAME, SHELL,
// PATH, and XDG_RUNTIME_DIR when the user's runtime directory exists. The
// starting process's own variables are not merged in: they belong to the
// host's account (as root they could carry LD_PRELOAD and the like into the
// user's process). Entries are "NAME=value".
std::vector<std::string> AccountEnvironment(const UserToken& token);

struct StartOptions {
  // Extra "NAME=value" entries; one whose name is already set replaces it.
  std::vector<std::string> extra_environment;
  // Standard output and error go to the caller's when set, else to /dev/null.
  // Standard input is always /dev/null; no other descriptor is inherited.
  bool inherit_output = false;
  // Block until the program ends. Without it the program is not the
  // caller's child (no zombie is left for anyone to reap).
  bool wait = false;
};

struct StartResult {
  bool started = false;  // the program was executed
  int exit_status = -1;  // waited programs only: the exit code, or -1 after a signal
};

// Runs argv[0] (looked up in the PATH of the account environment when it has
// no '/') as token's user, in the caller's working directory. A root caller
// sets the groups, group and user in the child before exec; any other caller
// can only start programs as itself, and does so with its identity as it is
// (a token of another user is refused, last error 5). started is false, with
// the last error set, when the program could not be executed at all; a
// program that runs and fails is started.
StartResult StartProcess(const UserToken& token, const std::vector<std::string>& argv,
                         const StartOptions& options);

}  // namespace os
