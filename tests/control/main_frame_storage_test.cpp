// The controller's start with real storage: loading stored tasks, the index
// counters, and the task timers armed from them.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "control/main_frame.h"
#include "control/watcher_monitor.h"
#include "platform/diag_log.h"
#include "store/module_database.h"
#include "test_support.h"

namespace {

using testing_support::PollUntil;
using testing_support::TempDir;
using testing_support::TraceCapture;

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

class StorageTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  std::wstring DataDir() const { return dir_.wstr() + L"/"; }
  void Store(std::initializer_list<WatchTask> tasks) {
    ModuleDatabase db(DataDir());
    std::string reason;
    ASSERT_TRUE(db.Open(&reason)) << reason;
    for (const WatchTask& t : tasks) db.AddTask(t);
  }
  int Count(const TraceCapture& trace, const std::string& needle) {
    int n = 0;
    for (const auto& line : trace.Lines()) n += line.find(needle) != std::string::npos;
    return n;
  }
  TempDir dir_;
  os::FakeClock clock_;
};

TEST_F(StorageTest, FreshStartCreatesAPrivateDatabaseAndLoadsNothing) {
  TraceCapture trace;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  struct stat st;
  ASSERT_EQ(stat((dir_.path() / "Strandel.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(trace.Contains("[Strandel]StartWatchFileSys failed because of No record!"));
  EXPECT_FALSE(trace.Contains("CreateStorageFile Failed"));
  EXPECT_EQ(frame.CountTasks(), 0u);
  EXPECT_EQ(frame.TaskIndexes().Next(), 20000u);
}

TEST_F(StorageTest, LoadFillsTheMapAndSetsTheNextIndexAboveTheLargest) {
  Store({Task(L"b", 20003), Task(L"a", 20010), Task(L"c", 20005)});
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  EXPECT_EQ(frame.m_WatchTaskMap.Count(), 3u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"a")->strSourceDir, L"/src/a");
  EXPECT_EQ(frame.TaskIndexes().Next(), 20011u);
  frame.Start();  // a second load with no new rows
  EXPECT_EQ(frame.TaskIndexes().Next(), 20012u);
  EXPECT_EQ(frame.CountTasks(), 3u);
}

TEST_F(StorageTest, TimedTasksGetTimersInNameOrderAndAReloadReassignsThem) {
  Store({Task(L"zeta", 20001, TRUE, 600000), Task(L"alpha", 20002, TRUE, 120000),
         Task(L"short", 20003, TRUE, 59999), Task(L"off", 20004, FALSE, 600000)});
  TraceCapture trace;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"alpha")->nTimerId, 10u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"zeta")->nTimerId, 11u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"short")->nTimerId, 0u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"off")->nTimerId, 0u);
  EXPECT_TRUE(trace.Contains("StartWatchFileSys SetTimer(10 120000)"));
  EXPECT_TRUE(trace.Contains("StartWatchFileSys SetTimer(11 600000)"));

  frame.Start();
  EXPECT_TRUE(trace.Contains("StartWatchFileSys killtimer(TimerId = a)"));
  EXPECT_TRUE(trace.Contains("StartWatchFileSys killtimer(TimerId = b)"));
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"alpha")->nTimerId, 10u);
  EXPECT_EQ(frame.m_WatchTaskMap.Lookup(L"zeta")->nTimerId, 11u);

  // The armed periods are the tasks' own: two minutes fires alpha's only.
  clock_.Advance(std::chrono::minutes(2));
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("StartPlanSync(nIDEvent:10, NULL)"); }));
  frame.SendMessage(WM_USER + 99, 0, 0);
  EXPECT_EQ(Count(trace, "StartPlanSync(nIDEvent:11"), 0);
}

TEST_F(StorageTest, MonitorReadsStoredRowsByPosition) {
  WatchTask stored = Task(L"docs", 20007);
  stored.strShareUserPassword = L"s3cret";
  Store({stored});
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  auto* monitor = new CWatcherMonitor(&frame);
  LONG count = 0;
  EXPECT_EQ(monitor->GetTaskCount(&count), S_OK);
  EXPECT_EQ(count, 1);
  WatchTaskInfo info{};
  info.nTimerId = 77;
  EXPECT_EQ(monitor->QueryTaskInfo(1, &info), 1);  // position == count
  EXPECT_EQ(info.strWatchTaskName, nullptr);
  ASSERT_EQ(monitor->QueryTaskInfo(0, &info), 0);
  EXPECT_EQ(info.dwTaskIndex, 20007u);
  EXPECT_EQ(info.nTimerId, 77u);
  EXPECT_EQ(std::wstring(info.strWatchTaskName), L"docs");
  EXPECT_EQ(std::wstring(info.strShareUserPassword), L"s3cret");
  for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir, info.strIncludeFilter,
                 info.strExcludeFilter, info.strShareUserName, info.strShareUserPassword}) {
    SysFreeString(s);
  }
  EXPECT_EQ(frame.CountTasks(), 1u);  // reading added no row
  monitor->Release();
}

TEST_F(StorageTest, AFileThatIsNotADatabaseIsReportedAndLeftAlone) {
  const std::string garbage = "this is somebody's notes, not a database\n";
  {
    std::FILE* f = std::fopen((dir_.path() / "Strandel.db").c_str(), "w");
    std::fputs(garbage.c_str(), f);
    std::fclose(f);
  }
  TraceCapture trace;
  CMainFrame frame(DataDir(), nullptr);
  SetReportDirectory(DataDir());
  ASSERT_TRUE(frame.Create());
  frame.Start();
  SetReportDirectory(L"");
  EXPECT_TRUE(trace.Contains("[Strandel]CreateStorageFile Failed !!"));
  EXPECT_EQ(testing_support::ReadFile(dir_.path() / "Strandel.db"), garbage);
  const std::string report = testing_support::ReadFile(dir_.path() / "Report.dat");
  EXPECT_NE(report.find("ERROR\tCannot open the task database " + dir_.str() + "/Strandel.db"),
            std::string::npos)
      << report;
  EXPECT_TRUE(frame.IsRunning());
  EXPECT_EQ(frame.CountTasks(), 0u);
}

TEST_F(StorageTest, StoredTasksAreWatchedUntilRelease) {
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
  std::FILE* f = std::fopen((dir_.path() / "src" / "new.txt").c_str(), "w");
  std::fclose(f);
  // The watch saw it and the worker carried it over.
  ASSERT_TRUE(PollUntil([&] { return std::filesystem::exists(dir_.path() / "dst" / "new.txt"); }));

  // A second start rebuilds the running watch instead of adding a thread.
  frame.Start();
  EXPECT_EQ(frame.m_Watch.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(Count(trace, "AfxBeginThread"), 1);

  EXPECT_EQ(frame.Release(), TRUE);
  EXPECT_FALSE(frame.m_Watch.m_bWatchThreadRunning);
  EXPECT_EQ(frame.Release(), TRUE);
  // Released: a further start loads the tasks but starts no thread.
  frame.Start();
  EXPECT_TRUE(trace.Contains("[Strandel] SyncThread Already run"));
  EXPECT_EQ(Count(trace, "AfxBeginThread"), 1);
}

}  // namespace
