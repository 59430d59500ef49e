// The data directory holds secrets (the task database keeps share passwords)
// and the files that steer a daemon that may run as root. Like ssh with a
// loose ~/.ssh, the module refuses one that anybody but its own user could
// change: the directory must belong to the process's user and be writable by
// nobody else, and so must the directory that holds it, which may also
// belong to root or be sticky (as /tmp is: there nobody else may rename or
// remove what is ours). The module's own files in it must not be symbolic
// links, so that nothing it writes can be steered elsewhere.
// Thread-safe.
#pragma once

#include <string>
#include <vector>

namespace os {

// Why path is no place for the module's data, as a sentence for a person;
// empty when it is, or when there is nothing at path yet. names are the
// files kept there.
std::string WhyNotPrivateDirectory(const std::string& path, const std::vector<std::string>& names);

}  // namespace os
