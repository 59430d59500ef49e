// The path rules several parts of the engine share: the loop guard that
// refuses a task whose directories would feed each other, the include and
// exclude filters, and two volume questions the watch thread stores per task.
// Pure apart from trace lines and volume queries; safe on any thread.
#pragma once

#include <string>
#include <vector>

#include "store/watch_task.h"
#include "strandel/strandel.h"

// TRUE when a task S -> D can be added next to tasks without a path of tasks
// leading what is written to D back into S. The task whose dwTaskIndex is
// excluded_index and the one at position excluded_pos are left out (the task
// being reset); pass -1 for both to leave none out.
BOOL IsLegalSyncPath(std::wstring S, std::wstring D,
                     const std::vector<WatchTask>& tasks_in_map_order, DWORD excludedIndex,
                     int excludedPos);

// Splits text at separator into list (emptied first unless append is set);
// the first empty piece ends the list. Returns the list's size.
int SplitFilterString(std::vector<std::wstring>* list, const std::wstring& text, wchar_t separator,
                      BOOL append);

// TRUE for an empty list or one that starts with "*.*", else when any
// pattern matches name.
BOOL MatchIncludeFilter(const std::wstring& name, const std::vector<std::wstring>& patterns);
// TRUE when any pattern matches name; FALSE for an empty list.
BOOL MatchExcludeFilter(const std::wstring& name, const std::vector<std::wstring>& patterns);

// "NTFS", "FAT32", "FAT", or "UNKNOW" followed by the first character of path.
std::wstring GetFileSystem(const std::wstring& path);

// Nonzero when the drive path lies under is present (see os/volumes.h); 0 for
// a path that is not absolute.
DWORD IsDriveLetterPresent(const std::wstring& path);
