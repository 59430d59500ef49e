// The controller and its counters: task indexes and timer ids, loading stored
// tasks and arming their timers, a storage file it must not touch, restarts
// and release.
#include "control/main_frame.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/diag_log.h"
#include "store/module_database.h"
#include "test_support.h"

namespace {

using testing_support::StepClockUntil;
using testing_support::TempDir;
using testing_support::TraceCapture;

TEST(TaskCounters, LoadSetsTheNextIndexEvenBelowOnesAlreadyTaken) {
  TaskIndexCounter counter;
  for (int i = 0; i < 50; ++i) counter.TakeNext();
  counter.NoteLoaded(20001);
  counter.FinishLoad();
  EXPECT_EQ(counter.TakeNext(), 20002u);
}

TEST(TaskCounters, TimerIdsReuseFreedOnesFirstAndResetToTen) {
  TimerIdPool pool;
  for (UINT expected : {10u, 11u, 12u}) EXPECT_EQ(pool.Acquire(), expected);
  pool.Release(11);
  pool.Release(10);
  pool.Release(0);  // "holds no id" is never a free id
  EXPECT_EQ(pool.Acquire(), 11u);
  EXPECT_EQ(pool.AcquireFresh(), 13u);  // loading ignores the free list
  EXPECT_EQ(pool.Acquire(), 10u);
  EXPECT_EQ(pool.Acquire(), 14u);
  pool.Release(14);
  pool.Reset();  // forgets the free list too
  EXPECT_EQ(pool.Acquire(), 10u);
}

WatchTask Task(const wchar_t* name, DWORD index, BOOL timer = FALSE, DWORD period = 0) {
  WatchTask task;
  task.strWatchTaskName = name;
  task.strSourceDir = std::wstring(L"/src/") + name;
  task.strDestDir = std::wstring(L"/dst/") + name;
  task.dwTaskIndex = index;
  task.bEnableTimer = timer;
  task.dwSynctime = period;
  return task;
}

int Count(const TraceCapture& trace, const std::string& needle) {
  int n = 0;
  for (const auto& line : trace.Lines()) n += line.find(needle) != std::string::npos;
  return n;
}

class MainFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  void Store(std::initializer_list<WatchTask> tasks) {
    ModuleDatabase db(DataDir());
    std::string reason;
    ASSERT_TRUE(db.Open(&reason)) << reason;
    for (const WatchTask& t : tasks) db.AddTask(t);
  }
  std::wstring DataDir() const { return dir_.wstr() + L"/"; }

  TempDir dir_;
  os::FakeClock clock_;
};

TEST_F(MainFrameTest, StoredTasksAreLoadedAndTheNextIndexIsAboveTheLargest) {
  Store({Task(L"b", 20003), Task(L"a", 20010), Task(L"c", 20005)});
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"a")->strSourceDir, L"/src/a");
  EXPECT_FALSE(frame.m_WatchTaskMap.Lookup(L"A").has_value());  // names are case-sensitive
  EXPECT_EQ(frame.TaskIndexes().Next(), 20011u);
  frame.Start();  // a second load with no new rows still moves on
  EXPECT_EQ(frame.TaskIndexes().Next(), 20012u);
}

TEST_F(MainFrameTest, TimersInNameOrderFireOnceEachAtTheirTasksPeriods) {
  Store({Task(L"zeta", 20001, TRUE, 600000), Task(L"alpha", 20002, TRUE, 120000),
         Task(L"short", 20003, TRUE, 59999), Task(L"off", 20004, FALSE, 600000)});
  TraceCapture trace;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  frame.Start();  // a reload hands out the same ids again
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"alpha")->nTimerId, 10u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"zeta")->nTimerId, 11u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"short")->nTimerId, 0u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"off")->nTimerId, 0u);
  frame.SetTimer(9, 60000);     // below the task range: not a scheduled sync
  frame.SetTimer(1001, 60000);  // the registration retry timer
  frame.SetTimer(12, 180000);   // a marker in the task range, due after all of the above
  // Each start pauses briefly on the clock: step it on until the marker fired.
  clock_.Advance(std::chrono::minutes(3));
  ASSERT_TRUE(StepClockUntil(clock_, [&] { return trace.Contains("StartPlanSync(nIDEvent:12,"); }));
  EXPECT_EQ(Count(trace, "StartPlanSync(nIDEvent:"), 2);  // alpha and the marker, not zeta yet
  EXPECT_EQ(Count(trace, "StartPlanSync(nIDEvent:10,"), 1);
  clock_.Advance(std::chrono::minutes(7));
  ASSERT_TRUE(StepClockUntil(clock_, [&] { return trace.Contains("StartPlanSync(nIDEvent:11,"); }));
  // Until every start is through its pause: the controller cannot end in one.
  ASSERT_TRUE(StepClockUntil(clock_, [&] {
    return Count(trace, "OnStartPlanning OUT") == Count(trace, "StartPlanSync(nIDEvent:");
  }));
}

TEST_F(MainFrameTest, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
  const std::string garbage = "this is somebody's notes, not a database\n";
  std::FILE* f = std::fopen((dir_.path() / "Strandel.db").c_str(), "w");
  std::fputs(garbage.c_str(), f);
  std::fclose(f);
  SetReportDirectory(DataDir());
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  SetReportDirectory(L"");
  EXPECT_EQ(testing_support::ReadFile(dir_.path() / "Strandel.db"), garbage);
  const std::string report = testing_support::ReadFile(dir_.path() / "Report.dat");
  EXPECT_NE(report.find("ERROR\tCannot open the task database " + dir_.str() + "/Strandel.db"),
            std::string::npos)
      << report;
  EXPECT_TRUE(frame.IsRunning());
}

TEST_F(MainFrameTest, AStartRebuildsTheRunningWatchAndNoneFollowsRelease) {
  TraceCapture trace;
  WatchTask task = Task(L"docs", 20000);
  task.strSourceDir = dir_.wstr() + L"/src";
  task.strDestDir = dir_.wstr() + L"/dst";
  task.bSyncNow = TRUE;
  Store({task});
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  ASSERT_EQ(frame.m_Watch.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  EXPECT_TRUE(frame.m_Watch.m_bWatchThreadRunning);
  frame.Start();
  EXPECT_EQ(frame.m_Watch.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(Count(trace, "AfxBeginThread"), 1);  // the running thread rebuilt its watch

  EXPECT_EQ(frame.Release(), TRUE);
  EXPECT_FALSE(frame.m_Watch.m_bWatchThreadRunning);
  frame.Start();  // after release a start loads the tasks but watches nothing
  EXPECT_FALSE(frame.m_Watch.m_bWatchThreadRunning);
}

}  // namespace
