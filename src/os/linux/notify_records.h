// The change records a directory handle holds until a read is armed, and how
// they are laid into the reader's buffer as FILE_NOTIFY_INFORMATION records.
//
// Threads: plain data and a function, used by the port's thread.
#pragma once

#include <deque>
#include <string>

#include "os/directory_watch.h"

namespace os {

struct NotifyRecord {
  DWORD action;
  std::string name;  // relative path, bytes
};

// Moves as many records from the front of pending as fit into buffer and
// returns the bytes used. A rename's two halves go together or not at all.
// 0: not even the first record fits an empty buffer, and it is dropped.
DWORD FillNotifyBuffer(std::deque<NotifyRecord>& pending, char* buffer, DWORD length);

}  // namespace os
