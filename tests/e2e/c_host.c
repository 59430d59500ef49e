/* The calls a host written in C makes, through the interface's method table. */
#include "c_host.h"

LONG CHostAddTask(IWatcherMonitor* monitor, WatchTaskInfo* info) {
  return monitor->lpVtbl->AddWatchTask(monitor, info);
}

LONG CHostDeleteTask(IWatcherMonitor* monitor, BSTR name) {
  return monitor->lpVtbl->DelWatchTask(monitor, name);
}

LONG CHostResetTask(IWatcherMonitor* monitor, LONG index, WatchTaskInfo* info) {
  return monitor->lpVtbl->ResetWatchTask(monitor, index, info);
}

LONG CHostQueryTask(IWatcherMonitor* monitor, LONG position, WatchTaskInfo* info) {
  return monitor->lpVtbl->QueryTaskInfo(monitor, position, info);
}

HRESULT CHostCountTasks(IWatcherMonitor* monitor, LONG* count) {
  return monitor->lpVtbl->GetTaskCount(monitor, count);
}
