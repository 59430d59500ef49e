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

// A scheduled sync more often than this arms no timer.
inline constexpr DWORD kMinimumSyncPeriodMs = 60000;

// How long a release waits for the watch thread to confirm its end.
inline constexpr DWORD kWatchExitWaitMs = 1000;
// How long a start or a task operation waits for the watch to be armed.
inline constexpr DWORD kWatchReadyWaitMs = 10000;

// Timer id of the device-notification registration retry.
inline constexpr UINT kDeviceRegistrationTimerId = 1001;
