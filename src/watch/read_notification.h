// Turning one completed directory read into change records: echoes of the
// module's own writes are dropped (consuming their entries), runs of modified
// records collapse into one, a rename's two halves become one record, and the
// task's own filters (top level only, volume roots, one-way) apply.
// Runs on the watch thread; the shared maps and queue carry their own locks.
#pragma once

#include <cstddef>

#include "store/watch_task.h"
#include "watch/watch_shared.h"

// records: FILE_NOTIFY_INFORMATION records of one read of the task's source
// (source_side) or destination directory, ended by a zero action or a zero
// next-entry offset, within size bytes.
void DecodeNotifications(const char* records, std::size_t size, const WatchTask& task,
                         BOOL source_side, WatchShared& shared);
