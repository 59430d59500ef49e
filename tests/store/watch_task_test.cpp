#include "store/watch_task.h"

#include <gtest/gtest.h>

namespace {

struct Bstr {
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  BSTR value;
};

TEST(WatchTask, FromInfoCopiesTheHostsMembersAndNullStringsBecomeEmpty) {
  Bstr name(L"docs"), src(L"/home/a/docs"), dest(L"/media/a/usb/docs"), inc(L"*.bmp;*.bat");
  WatchTaskInfo info{};
  info.dwTaskIndex = 777;
  info.nTimerId = 55;
  info.bSyncNow = TRUE;
  info.bSetInclude = TRUE;
  info.strIncludeFilter = inc.value;
  info.enDelStrategy = DelToRecycleBin;
  info.enRenameStrategy = static_cast<RenameStrategy>(7);
  info.dwSynctime = 600000;
  info.strWatchTaskName = name.value;
  info.strSourceDir = src.value;
  info.strDestDir = dest.value;
  const WatchTask task = WatchTaskFromInfo(info);
  EXPECT_EQ(task.dwTaskIndex, 0u);  // set by the operation, never taken blindly
  EXPECT_EQ(task.nTimerId, 0u);
  EXPECT_EQ(task.bSyncNow, TRUE);
  EXPECT_EQ(task.strIncludeFilter, L"*.bmp;*.bat");
  EXPECT_EQ(task.enDelStrategy, DelToRecycleBin);
  EXPECT_EQ(static_cast<int>(task.enRenameStrategy), 7);  // kept; handlers decide
  EXPECT_EQ(task.dwSynctime, 600000u);
  EXPECT_EQ(task.strDestDir, L"/media/a/usb/docs");
  EXPECT_TRUE(task.strShareUserName.empty());
  EXPECT_TRUE(task.strShareUserPassword.empty());
  EXPECT_TRUE(task.strExcludeFilter.empty());
}

TEST(WatchTask, FillInfoWritesOwnedCopiesAndLeavesTheTimerIdAlone) {
  WatchTask task;
  task.dwTaskIndex = 20004;
  task.strWatchTaskName = L"t\u00E9";
  task.strShareUserPassword = L"p;w'd";
  task.bFailReport = TRUE;
  task.enAddStrategy = AddKeepBackup;
  task.nTimerId = 12;
  WatchTaskInfo info{};
  info.nTimerId = 0xABCD;
  ASSERT_TRUE(FillWatchTaskInfo(task, &info));
  EXPECT_EQ(info.dwTaskIndex, 20004u);
  EXPECT_EQ(info.nTimerId, 0xABCDu);
  EXPECT_EQ(info.bFailReport, TRUE);
  EXPECT_EQ(info.enAddStrategy, AddKeepBackup);
  EXPECT_EQ(std::wstring(info.strWatchTaskName), L"t\u00E9");
  EXPECT_EQ(SysStringLen(info.strShareUserPassword), 5u);
  ASSERT_NE(info.strSourceDir, nullptr);  // empty fields are empty strings, not null
  EXPECT_EQ(SysStringLen(info.strSourceDir), 0u);
  // Round trip through the host form loses nothing the host form carries.
  WatchTask back = WatchTaskFromInfo(info);
  back.dwTaskIndex = info.dwTaskIndex;
  back.nTimerId = task.nTimerId;
  EXPECT_EQ(back, task);
  for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir, info.strIncludeFilter,
                 info.strExcludeFilter, info.strShareUserName, info.strShareUserPassword}) {
    SysFreeString(s);
  }
}

}  // namespace
