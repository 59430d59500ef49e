/* The public header must compile as C for hosts written in C. */
#include "strandel/strandel.h"

_Static_assert(sizeof(WatchTaskInfo) == 120, "WatchTaskInfo layout differs between C and C++");

DWORD StrandelHeaderIsC(const WatchTaskInfo* info) { return info->dwTaskIndex; }
