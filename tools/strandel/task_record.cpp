#include "task_record.h"

#include "os/text.h"

namespace host {
namespace {

std::string Narrow(BSTR text) { return text == nullptr ? std::string() : os::ToUtf8(text); }

}  // namespace

TaskRecord FromInfo(const WatchTaskInfo& info) {
  TaskRecord task;
  task.name = Narrow(info.strWatchTaskName);
  task.source = Narrow(info.strSourceDir);
  task.dest = Narrow(info.strDestDir);
  task.index = info.dwTaskIndex;
  task.realtime = info.bSyncNow;
  task.two_way = info.bBidirectional;
  task.top_level_only = info.bNotWatchSubDir;
  task.fail_report = info.bFailReport;
  task.usb = info.bSupportUsb;
  if (info.bSetInclude) task.include = Narrow(info.strIncludeFilter);
  if (info.bSetExclude) task.exclude = Narrow(info.strExcludeFilter);
  task.on_add = info.enAddStrategy;
  task.on_delete = info.enDelStrategy;
  task.on_rename = info.enRenameStrategy;
  task.every_ms = info.bEnableTimer ? info.dwSynctime : 0;
  task.share_user = Narrow(info.strShareUserName);
  task.share_password = Narrow(info.strShareUserPassword);
  return task;
}

TaskInfoBuffer::TaskInfoBuffer(const TaskRecord& task) {
  info_.dwTaskIndex = task.index;
  info_.bSyncNow = task.realtime;
  info_.bBidirectional = task.two_way;
  info_.bSetInclude = task.include.has_value();
  info_.bSetExclude = task.exclude.has_value();
  info_.strIncludeFilter = Keep(task.include.value_or(""));
  info_.strExcludeFilter = Keep(task.exclude.value_or(""));
  info_.bNotWatchSubDir = task.top_level_only;
  info_.bFailReport = task.fail_report;
  info_.enAddStrategy = task.on_add;
  info_.enDelStrategy = task.on_delete;
  info_.enRenameStrategy = task.on_rename;
  info_.bEnableTimer = task.every_ms != 0;
  info_.dwSynctime = task.every_ms;
  info_.bSupportUsb = task.usb;
  info_.strWatchTaskName = Keep(task.name);
  info_.strSourceDir = Keep(task.source);
  info_.strDestDir = Keep(task.dest);
  info_.strShareUserName = Keep(task.share_user);
  info_.strShareUserPassword = Keep(task.share_password);
}

TaskInfoBuffer::~TaskInfoBuffer() {
  for (BSTR text : owned_) SysFreeString(text);
}

BSTR TaskInfoBuffer::Keep(const std::string& text) {
  owned_.push_back(SysAllocString(os::FromUtf8(text).c_str()));
  return owned_.back();
}

void FreeInfoStrings(WatchTaskInfo& info) {
  for (BSTR* text :
       {&info.strWatchTaskName, &info.strSourceDir, &info.strDestDir, &info.strIncludeFilter,
        &info.strExcludeFilter, &info.strShareUserName, &info.strShareUserPassword}) {
    SysFreeString(*text);
    *text = nullptr;
  }
}

}  // namespace host
