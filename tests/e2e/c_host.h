/* Calls into the monitor object the way a C host makes them. */
#ifndef STRANDEL_TESTS_E2E_C_HOST_H_
#define STRANDEL_TESTS_E2E_C_HOST_H_

#include "strandel/strandel.h"

#ifdef __cplusplus
extern "C" {
#endif

LONG CHostAddTask(IWatcherMonitor* monitor, WatchTaskInfo* info);
LONG CHostDeleteTask(IWatcherMonitor* monitor, BSTR name);
LONG CHostResetTask(IWatcherMonitor* monitor, LONG index, WatchTaskInfo* info);
LONG CHostQueryTask(IWatcherMonitor* monitor, LONG position, WatchTaskInfo* info);
HRESULT CHostCountTasks(IWatcherMonitor* monitor, LONG* count);

#ifdef __cplusplus
}
#endif

#endif
