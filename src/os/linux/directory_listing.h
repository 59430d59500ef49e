// One directory's entries, read straight from an open descriptor, for the
// watcher's scans and its name lists of copy targets.
//
// Threads: plain functions, no state.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace os {

struct DirEntry {
  std::string name;
  unsigned char type;  // DT_*; DT_FIFO stands for every special file
  ino_t ino;
};

// DT_* of a file mode.
unsigned char DirentTypeOf(mode_t mode);

// Lists a directory opened for it just now; the descriptor stays open for the
// caller. False when the listing failed part way (errno says why).
bool ListDirectory(int dir_fd, std::vector<DirEntry>* entries);

}  // namespace os
