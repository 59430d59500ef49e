// WatchTask's conversions to and from the host's WatchTaskInfo.
#include "store/watch_task.h"

#include <gtest/gtest.h>

namespace {

TEST(WatchTask, RoundTripThroughTheHostFormKeepsIndexAndTimerIdWhereTheyBelong) {
  const BSTR name = SysAllocString(L"t\u00E9");
  const BSTR password = SysAllocString(L"p;w'd");
  WatchTaskInfo from_host{};
  from_host.dwTaskIndex = 777;
  from_host.nTimerId = 55;
  from_host.bFailReport = TRUE;
  from_host.enAddStrategy = AddKeepBackup;
  from_host.enRenameStrategy = static_cast<RenameStrategy>(7);  // kept; the handlers decide
  from_host.dwSynctime = 600000;
  from_host.strWatchTaskName = name;
  from_host.strShareUserPassword = password;
  WatchTask task = WatchTaskFromInfo(from_host);
  SysFreeString(name);
  SysFreeString(password);
  // The operation sets the index; the host's is never taken blindly.
  EXPECT_EQ(task.dwTaskIndex, 0u);
  EXPECT_EQ(task.nTimerId, 0u);
  EXPECT_TRUE(task.strSourceDir.empty());  // a null string
  EXPECT_EQ(task.strWatchTaskName, L"t\u00E9");

  task.dwTaskIndex = 20004;
  task.nTimerId = 12;
  WatchTaskInfo to_host{};
  to_host.nTimerId = 0xABCD;
  ASSERT_TRUE(FillWatchTaskInfo(task, &to_host));
  EXPECT_EQ(to_host.dwTaskIndex, 20004u);
  EXPECT_EQ(to_host.nTimerId, 0xABCDu);
  ASSERT_NE(to_host.strSourceDir, nullptr);  // empty fields are empty strings, not null
  EXPECT_EQ(SysStringLen(to_host.strShareUserPassword), 5u);
  WatchTask back = WatchTaskFromInfo(to_host);
  back.dwTaskIndex = to_host.dwTaskIndex;
  back.nTimerId = task.nTimerId;
  EXPECT_EQ(back, task);
  for (BSTR s : {to_host.strWatchTaskName, to_host.strSourceDir, to_host.strDestDir,
                 to_host.strIncludeFilter, to_host.strExcludeFilter, to_host.strShareUserName,
                 to_host.strShareUserPassword}) {
    SysFreeString(s);
  }
}

}  // namespace
