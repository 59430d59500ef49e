// The module's temporaries in users' directories, and those a killed module
// left behind. A copy's temporary file is locked (flock) while its writer
// has it open, so whoever finds one can tell a temporary that a copy is
// writing, in this process or another, from one that nobody will finish.
//
// Threads: any. Within the process, removing a stale temporary waits while
// a copy makes and locks its temporary, and while it closes the temporary
// and gives it its final name, so a copy's temporary is never taken for
// stale in between. Another process can catch it there, in a window of a
// few system calls, and its copy then fails and is made again later.
#pragma once

#include <shared_mutex>
#include <string>

namespace os {

// Held while a temporary is made and locked, while it is closed and named,
// and for the whole life of one that cannot be locked (a link, which lives
// for a few system calls).
std::shared_lock<std::shared_mutex> HoldTemporaries();

// Locks the temporary file just made on fd while fd stays open. A file
// system that cannot lock leaves it unlocked, and then cannot tell anyone
// that it is unlocked either.
void LockTemporary(int fd);

// name in dir_fd is a temporary that no copy holds: removes it. Only names
// TempName makes, and only files and links: a directory, a special file, or
// a name that merely begins with the prefix is not the module's. Returns
// whether it removed one.
bool RemoveStaleTemporary(int dir_fd, const std::string& name);

}  // namespace os
