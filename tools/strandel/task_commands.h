// add, edit, remove, list and show, carried out on a started module: in this
// process, or inside the running daemon for a client.
#pragma once

#include <string>

#include "request.h"
#include "strandel/strandel.h"

namespace host {

struct Output {
  std::string out;  // for standard output
  std::string err;  // for standard error
};

// Exit status: 0 done, 1 refused or failed.
int Execute(const Request& request, IWatcherMonitor* monitor, Output& output);

}  // namespace host
