// WatchTask: the in-memory record of one watch task, and its conversions to and
// from the host's WatchTaskInfo. A value type: every thread works on its own
// copy; the controller's task map holds the master copies.
#pragma once

#include <string>

#include "strandel/strandel.h"

struct WatchTask {
  DWORD dwTaskIndex = 0;
  BOOL bSyncNow = 0;
  BOOL bBidirectional = 0;
  BOOL bSetInclude = 0;
  BOOL bSetExclude = 0;
  std::wstring strIncludeFilter;
  std::wstring strExcludeFilter;
  BOOL bNotWatchSubDir = 0;
  std::wstring strSrcFileSystem;   // not stored
  std::wstring strDestFileSystem;  // not stored
  BOOL bSrcIsDrive = 0;            // not stored
  BOOL bDestIsDrive = 0;           // not stored
  BOOL bFailReport = 0;
  AddStrategy enAddStrategy = AddOverwrite;
  DelStrategy enDelStrategy = DelPermanent;
  RenameStrategy enRenameStrategy = RenameInPlace;
  BOOL bEnableTimer = 0;
  UINT nTimerId = 0;  // not stored
  DWORD dwSynctime = 0;
  BOOL bSupportUsb = 0;
  std::wstring strWatchTaskName;
  std::wstring strSourceDir;
  std::wstring strSrcWatchPath;  // not stored
  std::wstring strDestDir;
  std::wstring strDestWatchPath;  // not stored
  std::wstring strShareUserName;
  std::wstring strShareUserPassword;

  bool operator==(const WatchTask&) const = default;
};

// Copies the host's members (all but dwTaskIndex and nTimerId); a null string
// gives an empty field. The caller sets dwTaskIndex as its operation requires.
WatchTask WatchTaskFromInfo(const WatchTaskInfo& info);

// Writes every member but nTimerId; the strings are newly allocated BSTRs that
// belong to the caller. Returns false (and writes nothing) when one cannot be
// allocated.
bool FillWatchTaskInfo(const WatchTask& task, WatchTaskInfo* info);
