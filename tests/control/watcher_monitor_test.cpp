// The monitor object: its interfaces, refused additions and the task limit,
// and late binding through IDispatch.
#include "control/watcher_monitor.h"

#include <gtest/gtest.h>

#include <vector>

#include "control/main_frame.h"

namespace {

class WatcherMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(frame_.Create());
    monitor_ = new CWatcherMonitor(&frame_);
  }
  void TearDown() override { EXPECT_EQ(monitor_->Release(), 0u); }
  CMainFrame frame_{L"/nonexistent-dir-for-strandel/", nullptr};
  CWatcherMonitor* monitor_ = nullptr;
};

TEST_F(WatcherMonitorTest, AnswersForItsThreeInterfacesOnly) {
  for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, &IID_IWatcherMonitor}) {
    void* out = nullptr;
    ASSERT_EQ(monitor_->QueryInterface(*iid, &out), S_OK);
    EXPECT_EQ(out, static_cast<IWatcherMonitor*>(monitor_));
    EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 1u);  // the answer held a reference
  }
  void* out = reinterpret_cast<void*>(1);
  const IID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(monitor_->QueryInterface(other, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
}

TEST_F(WatcherMonitorTest, RefusedAddsUseUpIndexesAndAFiftyFirstTaskIsRefused) {
  WatchTaskInfo info{};
  info.strWatchTaskName = SysAllocString(L"new");
  info.strSourceDir = SysAllocString(L"/n");
  info.strDestDir = SysAllocString(L"/n/in");  // a loop, refused (-2) after the count check
  WatchTask task;
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(monitor_->AddWatchTask(&info), -2) << i << " tasks";
    task.strWatchTaskName = L"t" + std::to_wstring(i);
    frame_.m_WatchTaskMap.Store(task);
  }
  EXPECT_EQ(frame_.TaskIndexes().Next(), 20050u);
  EXPECT_EQ(monitor_->AddWatchTask(&info), 1);
  EXPECT_EQ(frame_.TaskIndexes().Next(), 20051u);
  EXPECT_EQ(monitor_->AddWatchTask(nullptr), 1);  // nothing to number
  EXPECT_EQ(frame_.TaskIndexes().Next(), 20051u);
  for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir}) SysFreeString(s);
}

TEST_F(WatcherMonitorTest, LateBindingByNameAndDispatchId) {
  OLECHAR* names[] = {const_cast<OLECHAR*>(L"gettaskcount"), const_cast<OLECHAR*>(L"Nope"),
                      const_cast<OLECHAR*>(L"CONNECTNETSHARE")};
  DISPID ids[3] = {};
  EXPECT_EQ(monitor_->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), S_OK);
  // An unknown name fails the call but the others are still found.
  EXPECT_EQ(monitor_->GetIDsOfNames(IID_IDispatch, names, 3, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(std::vector<DISPID>(ids, ids + 3), (std::vector<DISPID>{7, -1, 8}));

  VARIANT args[3] = {};
  DISPPARAMS params = {args, nullptr, 1, 0};
  VARIANT result = {};
  auto invoke = [&](DISPID id, UINT* bad = nullptr) {
    return monitor_->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, &result, nullptr, bad);
  };
  LONG count = -1;
  args[0].vt = VT_BYREF | VT_I4;
  args[0].plVal = &count;
  EXPECT_EQ(invoke(7), S_OK);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(result.vt, VT_I4);
  // DelWatchTask frees the name it is given: through Invoke it gets a copy.
  const BSTR name = SysAllocString(L"missing");
  args[0].vt = VT_BSTR;
  args[0].bstrVal = name;
  EXPECT_EQ(invoke(2), S_OK);
  EXPECT_EQ(result.lVal, 1);
  SysFreeString(name);

  EXPECT_EQ(invoke(0), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(9), DISP_E_MEMBERNOTFOUND);
  EXPECT_EQ(invoke(1), DISP_E_TYPEMISMATCH);  // a WatchTaskInfo does not travel in a VARIANT
  params.cArgs = 2;
  EXPECT_EQ(invoke(7), DISP_E_BADPARAMCOUNT);
  // Arguments arrive last first: ConnectNetShare's path is rgvarg[2], checked
  // first, and a wrong argument is named by its place in rgvarg.
  params.cArgs = 3;
  args[0].vt = args[1].vt = VT_BSTR;
  args[2].vt = VT_I4;
  UINT bad = 99;
  EXPECT_EQ(invoke(8, &bad), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 2u);
  args[0].vt = VT_I4;  // the password wrong too: the path is still the one found
  EXPECT_EQ(invoke(8, &bad), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(bad, 2u);
}

}  // namespace
