/* The public header must compile as C for hosts written in C. */
#include "strandel/strandel.h"

_Static_assert(sizeof(WatchTaskInfo) == 120, "WatchTaskInfo layout differs between C and C++");
_Static_assert(sizeof(struct HWND__) == 24, "the host window differs between C and C++");
_Static_assert(sizeof(SyncProgressInfo) == 88, "SyncProgressInfo differs between C and C++");

/* A C host makes its window like this. */
static LRESULT HostProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  const SyncProgressInfo* info = (const SyncProgressInfo*)lParam;
  (void)hWnd;
  (void)uMsg;
  return (LRESULT)wParam + info->nOperation;
}
struct HWND__ StrandelHostWindow = {sizeof(struct HWND__), 1, HostProc, 0};

DWORD StrandelHeaderIsC(const WatchTaskInfo* info) { return info->dwTaskIndex; }
