// What the task operations leave in Strandel.db and in the running module when
// the host's call is contradictory, when the store refuses a write, and after
// a release: a task is stored whole and once, or not at all.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "control/main_frame.h"
#include "control/watcher_monitor.h"
#include "os/text.h"
#include "sql_rows.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::TempDir;

// A host's task description; its strings belong to the test.
class Info {
 public:
  Info(const TempDir& dir, const std::wstring& name, const std::wstring& dest = L"") {
    const std::wstring base = dir.wstr() + L"/" + name;
    fs::create_directories(os::ToUtf8(base + L"-src"));
    info_.strWatchTaskName = Keep(name);
    info_.strSourceDir = Keep(base + L"-src");
    info_.strDestDir = Keep(dest.empty() ? base + L"-dst" : dest);
    info_.bSyncNow = TRUE;
  }
  ~Info() {
    for (BSTR s : owned_) SysFreeString(s);
  }
  Info(const Info&) = delete;
  Info& operator=(const Info&) = delete;
  WatchTaskInfo* operator->() { return &info_; }
  WatchTaskInfo* get() { return &info_; }
  void SetDest(const std::wstring& dest) { info_.strDestDir = Keep(dest); }

 private:
  BSTR Keep(const std::wstring& text) {
    owned_.push_back(SysAllocString(text.c_str()));
    return owned_.back();
  }
  WatchTaskInfo info_{};
  std::vector<BSTR> owned_;
};

class TaskStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { StartModule(); }
  void TearDown() override { StopModule(); }

  void StartModule() {
    frame_ = std::make_unique<CMainFrame>(dir_.wstr() + L"/", nullptr);
    ASSERT_TRUE(frame_->Create());
    frame_->Start();
    monitor_ = new CWatcherMonitor(frame_.get());
  }
  void StopModule() {
    if (monitor_ != nullptr) monitor_->Release();
    monitor_ = nullptr;
    if (frame_) frame_->Release();
    frame_.reset();
  }
  // The module as the host sees it the next time it starts.
  void Restart() {
    StopModule();
    StartModule();
  }

  IWatcherMonitor* monitor() { return monitor_; }
  LONG Delete(const std::wstring& name) {
    return monitor()->DelWatchTask(SysAllocString(name.c_str()));  // the method frees it
  }
  LONG Count() {
    LONG count = -1;
    EXPECT_EQ(monitor()->GetTaskCount(&count), S_OK);
    return count;
  }
  std::optional<WatchTask> InMap(const std::wstring& name) {
    return frame_->m_WatchTaskMap.Lookup(name);
  }
  std::string DbPath() const { return dir_.str() + "/Strandel.db"; }
  std::vector<std::string> TaskRows() {
    return Rows(DbPath(),
                "SELECT SN, WATCHTASKNAME, DESTDIRNAME, TASKINDEX, SHAREUSERNAME, ENABLETIMER "
                "FROM WATCH_TASK_LIST ORDER BY SN");
  }
  // A write the store refuses, as a full disk or a locked file would: another
  // program's trigger aborts the statement.
  void Refuse(const std::string& when) {
    Execute(DbPath(), "CREATE TRIGGER refuse " + when +
                          " ON WATCH_TASK_LIST BEGIN SELECT RAISE(ABORT, 'refused'); END");
  }
  void StopRefusing() { Execute(DbPath(), "DROP TRIGGER refuse"); }

  TempDir dir_;
  std::unique_ptr<CMainFrame> frame_;
  CWatcherMonitor* monitor_ = nullptr;
};

TEST_F(TaskStoreTest, AResetWhoseRecordNamesAnotherIndexChangesNothing) {
  Info docs(dir_, L"docs");
  Info pics(dir_, L"pics");
  ASSERT_EQ(monitor()->AddWatchTask(docs.get()), 20000);
  ASSERT_EQ(monitor()->AddWatchTask(pics.get()), 20001);
  const std::vector<std::string> before = TaskRows();
  ASSERT_EQ(before.size(), 2u);

  // Left 0, another task's index, no task's index.
  for (DWORD named : {0u, 20001u, 31337u}) {
    Info changed(dir_, L"docs", dir_.wstr() + L"/elsewhere");
    changed->dwTaskIndex = named;
    EXPECT_EQ(monitor()->ResetWatchTask(20000, changed.get()), 1) << named;
    EXPECT_EQ(TaskRows(), before) << named;
    EXPECT_EQ(InMap(L"docs")->strDestDir, dir_.wstr() + L"/docs-dst") << named;
  }

  // The same index in both rewrites the task's own row, in place.
  Info changed(dir_, L"docs", dir_.wstr() + L"/elsewhere");
  changed->dwTaskIndex = 20000;
  ASSERT_EQ(monitor()->ResetWatchTask(20000, changed.get()), 0);
  const std::vector<std::string> after = TaskRows();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], "1|docs|" + dir_.str() + "/elsewhere|20000||0");
  EXPECT_EQ(after[1], before[1]);

  // Deleted once, it stays deleted.
  EXPECT_EQ(Delete(L"docs"), 0);
  Restart();
  EXPECT_EQ(Count(), 1);
  EXPECT_FALSE(InMap(L"docs").has_value());
  EXPECT_TRUE(InMap(L"pics").has_value());
}

// The first column written (the row starts), the last one (the row is all
// but whole), and one in between.
const char* const kRefusedAddWrites[] = {"BEFORE INSERT", "BEFORE UPDATE OF SHAREUSERPASSWORD",
                                         "BEFORE UPDATE OF ENABLETIMER"};

TEST_F(TaskStoreTest, AnAddTheStoreRefusesLeavesNothingBehind) {
  Info first(dir_, L"first");
  ASSERT_EQ(monitor()->AddWatchTask(first.get()), 20000);
  const std::vector<std::string> before = TaskRows();
  for (const char* when : kRefusedAddWrites) {
    SCOPED_TRACE(when);
    Info timed(dir_, L"timed");
    timed->bEnableTimer = TRUE;
    timed->dwSynctime = 600000;
    Refuse(when);
    EXPECT_EQ(monitor()->AddWatchTask(timed.get()), 1);
    EXPECT_EQ(TaskRows(), before);
    EXPECT_EQ(Count(), 1);
    EXPECT_FALSE(InMap(L"timed").has_value());
    StopRefusing();
  }
  // Nothing was taken: not the name, not the first timer id.
  Info timed(dir_, L"timed");
  timed->bEnableTimer = TRUE;
  timed->dwSynctime = 600000;
  EXPECT_GT(monitor()->AddWatchTask(timed.get()), 20000);
  EXPECT_EQ(InMap(L"timed")->nTimerId, 10u);
  Restart();
  EXPECT_EQ(Count(), 2);
}

TEST_F(TaskStoreTest, AResetTheStoreRefusesLeavesTheTaskAsItWas) {
  Info timed(dir_, L"timed");
  timed->bEnableTimer = TRUE;
  timed->dwSynctime = 600000;
  ASSERT_EQ(monitor()->AddWatchTask(timed.get()), 20000);
  const WatchTask stored = *InMap(L"timed");
  ASSERT_EQ(stored.nTimerId, 10u);
  const std::vector<std::string> before = TaskRows();

  // Untimed, elsewhere and shared: the name is written before the refused
  // column, the share user after it.
  Info changed(dir_, L"timed", dir_.wstr() + L"/elsewhere");
  changed->dwTaskIndex = 20000;
  changed->strShareUserName = SysAllocString(L"alice");
  for (const char* when : {"BEFORE UPDATE OF DESTDIRNAME", "BEFORE UPDATE OF SYNCTIME"}) {
    SCOPED_TRACE(when);
    Refuse(when);
    EXPECT_EQ(monitor()->ResetWatchTask(20000, changed.get()), 1);
    EXPECT_EQ(TaskRows(), before);
    EXPECT_EQ(InMap(L"timed"), stored);
    StopRefusing();
  }
  SysFreeString(changed->strShareUserName);
  changed->strShareUserName = nullptr;
  // The refused resets gave no timer id back: a new timed task gets a new one.
  Info other(dir_, L"other");
  other->bEnableTimer = TRUE;
  other->dwSynctime = 600000;
  ASSERT_EQ(monitor()->AddWatchTask(other.get()), 20001);
  EXPECT_EQ(InMap(L"other")->nTimerId, 11u);
}

TEST_F(TaskStoreTest, ADeleteThatRemovesNoRowFailsAndKeepsTheTask) {
  Info docs(dir_, L"docs");
  docs->enDelStrategy = DelPermanent;
  ASSERT_EQ(monitor()->AddWatchTask(docs.get()), 20000);
  const std::vector<std::string> before = TaskRows();

  Refuse("BEFORE DELETE");
  EXPECT_EQ(Delete(L"docs"), 1);
  EXPECT_EQ(TaskRows(), before);
  EXPECT_TRUE(InMap(L"docs").has_value());  // still watched, as its row says
  StopRefusing();

  // Another program took the row away: nothing is deleted, so nothing succeeds.
  Execute(DbPath(), "DELETE FROM WATCH_TASK_LIST WHERE WATCHTASKNAME='docs'");
  EXPECT_EQ(Delete(L"docs"), 1);
  EXPECT_TRUE(InMap(L"docs").has_value());
  EXPECT_TRUE(TaskRows().empty());
  Restart();
  EXPECT_EQ(Count(), 0);
  EXPECT_FALSE(InMap(L"docs").has_value());
}

TEST_F(TaskStoreTest, TaskCallsAfterReleaseFailAtOnceAndChangeNothing) {
  Info docs(dir_, L"docs");
  ASSERT_EQ(monitor()->AddWatchTask(docs.get()), 20000);
  const std::vector<std::string> before = TaskRows();
  ASSERT_EQ(frame_->Release(), TRUE);

  const auto start = std::chrono::steady_clock::now();
  Info late(dir_, L"late");
  EXPECT_EQ(monitor()->AddWatchTask(late.get()), 1);
  Info changed(dir_, L"docs", dir_.wstr() + L"/elsewhere");
  changed->dwTaskIndex = 20000;
  EXPECT_EQ(monitor()->ResetWatchTask(20000, changed.get()), 1);
  EXPECT_EQ(Delete(L"docs"), 1);
  // Each would otherwise wait out the watch's start, ten seconds.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(TaskRows(), before);
}

}  // namespace
