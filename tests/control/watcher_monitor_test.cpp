#include "control/watcher_monitor.h"

#include <gtest/gtest.h>

#include "control/main_frame.h"
#include "test_support.h"

namespace {

class WatcherMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(frame_.Create());
    monitor_ = new CWatcherMonitor(&frame_);
  }
  void TearDown() override { EXPECT_EQ(monitor_->Release(), 0u); }
  CMainFrame frame_{L"", nullptr};
  CWatcherMonitor* monitor_ = nullptr;
};

TEST_F(WatcherMonitorTest, AnswersForItsThreeInterfacesOnly) {
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IWatcherMonitor}) {
    void* out = nullptr;
    ASSERT_EQ(monitor_->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<IWatcherMonitor*>(monitor_));
    EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);
  }
  void* out = reinterpret_cast<void*>(1);
  const IID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(monitor_->QueryInterface(other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(monitor_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(monitor_->AddRef(), 2u);
  EXPECT_EQ(monitor_->Release(), 1u);
}

TEST_F(WatcherMonitorTest, RefusedAddStillUsesUpAnIndex) {
  WatchTaskInfo info{};
  EXPECT_EQ(monitor_->AddWatchTask(&info), 1);  // no storage: refused
  EXPECT_EQ(monitor_->AddWatchTask(&info), 1);
  EXPECT_EQ(frame_.TaskIndexes().Next(), 20002u);
  EXPECT_EQ(monitor_->AddWatchTask(nullptr), 1);
  EXPECT_EQ(frame_.TaskIndexes().Next(), 20002u);
}

TEST_F(WatcherMonitorTest, CountAndQueryWithoutStorage) {
  EXPECT_EQ(monitor_->GetTaskCount(nullptr), E_POINTER);
  LONG count = -1;
  EXPECT_EQ(monitor_->GetTaskCount(&count), S_OK);
  EXPECT_EQ(count, 0);
  WatchTaskInfo info{};
  info.nTimerId = 3;
  EXPECT_EQ(monitor_->QueryTaskInfo(0, &info), 1);
  EXPECT_EQ(info.nTimerId, 3u);
  EXPECT_EQ(info.strWatchTaskName, nullptr);
}

TEST_F(WatcherMonitorTest, DeleteTakesOwnershipOfTheNameEvenWhenItFails) {
  // The sanitizer build turns a leak or a double free of the name into a failure.
  EXPECT_EQ(monitor_->DelWatchTask(SysAllocString(L"missing")), 1);
  EXPECT_EQ(monitor_->DelWatchTask(nullptr), 1);
}

}  // namespace
