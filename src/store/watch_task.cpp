#include "store/watch_task.h"

#include <array>

namespace {

// Read up to the terminator rather than by the length prefix: a host that
// passes a plain wide string instead of a BSTR must not make us read garbage.
std::wstring FromBstr(BSTR text) { return text == nullptr ? std::wstring() : std::wstring(text); }

}  // namespace

WatchTask WatchTaskFromInfo(const WatchTaskInfo& info) {
  WatchTask task;
  task.bSyncNow = info.bSyncNow;
  task.bBidirectional = info.bBidirectional;
  task.bSetInclude = info.bSetInclude;
  task.bSetExclude = info.bSetExclude;
  task.strIncludeFilter = FromBstr(info.strIncludeFilter);
  task.strExcludeFilter = FromBstr(info.strExcludeFilter);
  task.bNotWatchSubDir = info.bNotWatchSubDir;
  task.bFailReport = info.bFailReport;
  task.enAddStrategy = info.enAddStrategy;
  task.enDelStrategy = info.enDelStrategy;
  task.enRenameStrategy = info.enRenameStrategy;
  task.bEnableTimer = info.bEnableTimer;
  task.dwSynctime = info.dwSynctime;
  task.bSupportUsb = info.bSupportUsb;
  task.strWatchTaskName = FromBstr(info.strWatchTaskName);
  task.strSourceDir = FromBstr(info.strSourceDir);
  task.strDestDir = FromBstr(info.strDestDir);
  task.strShareUserName = FromBstr(info.strShareUserName);
  task.strShareUserPassword = FromBstr(info.strShareUserPassword);
  return task;
}

bool FillWatchTaskInfo(const WatchTask& task, WatchTaskInfo* info) {
  const std::array<const std::wstring*, 7> sources = {
      &task.strWatchTaskName,    &task.strSourceDir,     &task.strDestDir,
      &task.strIncludeFilter,    &task.strExcludeFilter, &task.strShareUserName,
      &task.strShareUserPassword};
  std::array<BSTR, 7> copies{};
  for (std::size_t i = 0; i < sources.size(); ++i) {
    copies[i] = SysAllocString(sources[i]->c_str());
    if (copies[i] == nullptr) {
      for (BSTR made : copies) SysFreeString(made);
      return false;
    }
  }
  info->strWatchTaskName = copies[0];
  info->strSourceDir = copies[1];
  info->strDestDir = copies[2];
  info->strIncludeFilter = copies[3];
  info->strExcludeFilter = copies[4];
  info->strShareUserName = copies[5];
  info->strShareUserPassword = copies[6];
  info->dwTaskIndex = task.dwTaskIndex;
  info->bSyncNow = task.bSyncNow;
  info->bBidirectional = task.bBidirectional;
  info->bSetInclude = task.bSetInclude;
  info->bSetExclude = task.bSetExclude;
  info->bNotWatchSubDir = task.bNotWatchSubDir;
  info->bFailReport = task.bFailReport;
  info->enAddStrategy = task.enAddStrategy;
  info->enDelStrategy = task.enDelStrategy;
  info->enRenameStrategy = task.enRenameStrategy;
  info->bEnableTimer = task.bEnableTimer;
  info->dwSynctime = task.dwSynctime;
  info->bSupportUsb = task.bSupportUsb;
  return true;
}
