// Message numbers of the controller window and of the threads it posts to.
#pragma once

#include "os/message_loop.h"

inline constexpr UINT WM_SYNC_QUEUED = WM_USER + 4;
inline constexpr UINT WM_START_PLANNING = WM_USER + 5;
inline constexpr UINT WM_ADD_WATCH_TASK = WM_USER + 6;
inline constexpr UINT WM_DEL_WATCH_TASK = WM_USER + 7;
inline constexpr UINT WM_RESET_WATCH_TASK = WM_USER + 8;
inline constexpr UINT WM_START_PLAN_SYNC = WM_USER + 10;

// A Linux host has no message pump on the thread that starts the module, so the
// controller runs on a thread of its own; these carry the start and stop
// sequences over to it, keeping all controller state on one thread.
inline constexpr UINT WM_STRANDEL_START = WM_USER + 32;
inline constexpr UINT WM_STRANDEL_RELEASE = WM_USER + 33;
// From the scheduled-sync thread: arm the task timer wParam again, now that its
// sync has ended. Timers belong to the controller thread.
inline constexpr UINT WM_REARM_TASK_TIMER = WM_USER + 34;
// From the watch thread: a task lost changes and needs a full sync.
inline constexpr UINT WM_NEEDS_FULL_SYNC = WM_USER + 35;
// From the mount monitor: the mount table changed.
inline constexpr UINT WM_MOUNT_TABLE_CHANGED = WM_USER + 36;

// A scheduled sync more often than this arms no timer.
inline constexpr DWORD kMinimumSyncPeriodMs = 60000;

// How long a start gives a new scheduled-sync thread to come up before it
// posts the request anyway (the queue takes posts before the thread runs).
inline constexpr DWORD kPlanThreadStartWaitMs = 200;

// How long a release waits for the watch thread to confirm its end.
inline constexpr DWORD kWatchExitWaitMs = 1000;
// How long a start or a task operation waits for the watch to be armed.
inline constexpr DWORD kWatchReadyWaitMs = 10000;

// Timer id of the device-notification registration retry.
inline constexpr UINT kDeviceRegistrationTimerId = 1001;

// WM_DEVICECHANGE: wParam the event, lParam the device type of its header.
inline constexpr WPARAM DBT_DEVICEARRIVAL = 0x8000;
inline constexpr WPARAM DBT_DEVICEQUERYREMOVE = 0x8001;
inline constexpr WPARAM DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr LPARAM DBT_DEVTYP_DEVICEINTERFACE = 5;
inline constexpr LPARAM DBT_DEVTYP_HANDLE = 6;
// Positions of the disk and volume classes in the device-interface table.
inline constexpr UINT kDiskClassPosition = 1;
inline constexpr UINT kVolumeClassPosition = 3;
