// Scheduled full syncs: the timer schedule on the fake clock, one sync at a
// time, requests that find no task, the host window's registration and
// reports, a release during a sync, the full sync of a task that lost
// changes, and removals and renames made while a full sync runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "control/main_frame.h"
#include "control/watcher_monitor.h"
#include "store/module_database.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ClockDriver;
using testing_support::PollUntil;
using testing_support::TempDir;
using testing_support::TraceCapture;

constexpr UINT kProgressMessage = WM_USER + 100;

struct Report {
  HWND window;
  UINT message;
  WPARAM operation;
  SyncProgressInfo info;  // paths copied below
  std::wstring first;
  os::TimePoint when;
};

// A host window that records what it is sent; on_report, when set, runs on
// the sending thread and gives the reply.
class HostWindow {
 public:
  HostWindow() : window_{sizeof(HWND__), 1, &Proc, this} {}
  HWND handle() { return &window_; }

  std::vector<Report> Reports() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reports_;
  }
  int Count(LONG operation) const {
    int n = 0;
    for (const Report& r : Reports()) n += r.info.nOperation == operation;
    return n;
  }
  bool Saw(LONG operation, const std::wstring& first) const {
    for (const Report& r : Reports()) {
      if (r.info.nOperation == operation && r.first == first) return true;
    }
    return false;
  }

  std::function<LRESULT(const Report&)> on_report;

 private:
  static LRESULT Proc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<HostWindow*>(hWnd->pContext);
    const auto* info = reinterpret_cast<const SyncProgressInfo*>(lParam);
    Report report{hWnd, uMsg, wParam, *info, info->pszFirstPath, os::GetClock().Now()};
    {
      std::lock_guard<std::mutex> guard(self->mutex_);
      self->reports_.push_back(report);
    }
    return self->on_report ? self->on_report(report) : 0;
  }

  HWND__ window_;
  mutable std::mutex mutex_;
  std::vector<Report> reports_;
};

// A latch the window procedure can wait on.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

class ScheduledSyncTest : public ::testing::Test {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }

  // A task over two fresh folders of the scratch directory.
  WatchTask Task(const std::wstring& name) {
    WatchTask task;
    task.strWatchTaskName = name;
    task.strSourceDir = dir_.wstr() + L"/" + name + L"-src";
    task.strDestDir = dir_.wstr() + L"/" + name + L"-dst";
    std::filesystem::create_directories(dir_.path() / (name + L"-src"));
    std::filesystem::create_directories(dir_.path() / (name + L"-dst"));
    task.dwTaskIndex = 20000;
    return task;
  }
  std::wstring DataDir() const { return dir_.wstr() + L"/"; }

  // A task already stored when the controller starts, on a ten-minute timer.
  WatchTask StoredTimedTask(const std::wstring& name) {
    WatchTask task = Task(name);
    task.bEnableTimer = TRUE;
    task.dwSynctime = 600000;
    Store(task);
    return task;
  }
  void Store(const WatchTask& task) {
    ModuleDatabase db(DataDir());
    std::string reason;
    EXPECT_TRUE(db.Open(&reason)) << reason;
    db.AddTask(task);
  }

  bool StepUntil(const std::function<bool()>& condition) {
    return testing_support::StepClockUntil(clock_, condition);
  }

  os::FakeClock clock_;
  TempDir dir_;
};

// Calls SyncWatchTask for task on a thread of its own.
class OnDemandSync {
 public:
  OnDemandSync(IWatcherMonitor* monitor, const WatchTask& task)
      : name_(SysAllocString(task.strWatchTaskName.c_str())),
        source_(SysAllocString(task.strSourceDir.c_str())),
        dest_(SysAllocString(task.strDestDir.c_str())) {
    info_.strWatchTaskName = name_;
    info_.strSourceDir = source_;
    info_.strDestDir = dest_;
    info_.bBidirectional = task.bBidirectional;
    thread_ = std::thread([this, monitor] {
      result_ = monitor->SyncWatchTask(&info_);
      returned_ = true;
    });
  }
  ~OnDemandSync() {
    thread_.join();
    for (BSTR s : {name_, source_, dest_}) SysFreeString(s);
  }
  bool Returned() const { return returned_; }
  LONG Result() const { return result_; }

 private:
  BSTR name_, source_, dest_;
  WatchTaskInfo info_{};
  std::atomic<bool> returned_{false};
  std::atomic<LONG> result_{-1};
  std::thread thread_;
};

struct MonitorRelease {
  void operator()(CWatcherMonitor* monitor) const { monitor->Release(); }
};
using MonitorPtr = std::unique_ptr<CWatcherMonitor, MonitorRelease>;

TEST_F(ScheduledSyncTest, ATimedTaskSyncsAPeriodAfterTheStartAndAPeriodAfterEachSyncEnded) {
  const WatchTask task = StoredTimedTask(L"docs");
  TraceCapture trace;
  HostWindow window;
  CMainFrame frame(DataDir(), nullptr);
  // Each sync takes five minutes: its first report moves the clock on, once
  // the controller has served what it was sent so far.
  std::atomic<int> started{0};
  std::vector<os::TimePoint> starts;
  window.on_report = [&](const Report& report) {
    if (report.info.nOperation != kOpSyncEnd && started.load() == window.Count(kOpSyncEnd)) {
      starts.push_back(report.when);
      ++started;
      PollUntil([&] { return frame.PendingMessages() == 0; });
      frame.SendMessage(0, 0, 0);  // served after the message in hand
      clock_.Advance(5min);
    }
    return LRESULT{0};
  };
  frame.m_NotifyWindow.Register(window.handle(), kProgressMessage);
  // A file to copy gives each sync a report before its end.
  testing_support::WriteFile(dir_.path() / "docs-src/one", "1");
  ASSERT_TRUE(frame.Create());
  frame.Start();
  const os::TimePoint t0 = clock_.Now();

  // The clock is moved to a second before each timer is due, where no sync
  // may begin, and then to the very moment, where it waits: a step taken
  // while a fired timer's sync was still coming up would count against the
  // period.
  const auto synced = [&](size_t n) {
    return [&trace, n] {
      const std::vector<std::string> lines = trace.Lines();
      return static_cast<size_t>(
                 std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
                   return l.find("GetMessage->OnStartPlanning!") != std::string::npos;
                 })) == n;
    };
  };
  const auto due = [&](size_t n) {
    clock_.Advance(10min - 1s);
    EXPECT_FALSE(PollUntil(synced(n), 200ms)) << "sync " << n << " began early";
    clock_.Advance(1s);
    return PollUntil(synced(n));
  };
  ASSERT_TRUE(due(1));
  ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 1; }));
  // The timer is armed again by a message the sync posted before its end:
  // the clock moves on only once the controller has served it.
  ASSERT_TRUE(PollUntil([&] { return frame.PendingMessages() == 0; }));
  frame.SendMessage(0, 0, 0);
  testing_support::WriteFile(dir_.path() / "docs-src/two", "2");
  ASSERT_TRUE(due(2));
  ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 2; }));

  const std::vector<Report> reports = window.Reports();
  std::vector<os::TimePoint> ends;
  for (const Report& r : reports) {
    if (r.info.nOperation == kOpSyncEnd) ends.push_back(r.when);
  }
  ASSERT_EQ(ends.size(), 2u);
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_GE(starts[0] - t0, 10min);
  EXPECT_LT(starts[0] - t0, 10min + 1s);
  EXPECT_GE(starts[1] - ends[0], 10min);
  EXPECT_LT(starts[1] - ends[0], 10min + 1s);
}

TEST_F(ScheduledSyncTest, ATimedSyncOfAnUnwatchedTaskTellsASameSizeEditASecondLater) {
  // "b" is not followed in real time and never opened (the first task anchors
  // the watch), so its timer sync must learn by itself that both of its
  // folders lie on one file system, where a second apart is a difference.
  WatchTask anchor = Task(L"a");
  anchor.bSyncNow = TRUE;
  Store(anchor);
  StoredTimedTask(L"b");
  namespace fs = std::filesystem;
  const fs::path source = dir_.path() / "b-src" / "f";
  const fs::path dest = dir_.path() / "b-dst" / "f";
  testing_support::WriteFile(source, "new!");
  testing_support::WriteFile(dest, "old!");
  fs::last_write_time(dest, fs::last_write_time(source) - 1s);
  HostWindow window;
  CMainFrame frame(DataDir(), nullptr);
  frame.m_NotifyWindow.Register(window.handle(), kProgressMessage);
  ASSERT_TRUE(frame.Create());
  frame.Start();
  clock_.Advance(10min - 1s);
  ASSERT_TRUE(StepUntil([&] { return window.Count(kOpSyncEnd) == 1; }));
  EXPECT_EQ(testing_support::ReadFile(dest), "new!");
}

TEST_F(ScheduledSyncTest, ASecondOnDemandSyncReturnsOnlyAfterTheFirstCompleted) {
  ClockDriver driver(clock_);
  HostWindow window;
  WatchTask one = Task(L"one");
  one.bBidirectional = TRUE;
  testing_support::WriteFile(dir_.path() / "one-src/a", "hello");
  testing_support::WriteFile(dir_.path() / "one-dst/b", "abc");
  const WatchTask two = Task(L"two");
  Gate hold_first;
  std::atomic<bool> first_running{false};
  window.on_report = [&](const Report& report) {
    if (report.first == one.strSourceDir) {
      first_running = true;
      hold_first.Wait();
    }
    return LRESULT{0};
  };
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  MonitorPtr monitor(new CWatcherMonitor(&frame));
  monitor->SetNotifyWindow(window.handle(), kProgressMessage);

  OnDemandSync first(monitor.get(), one);
  ASSERT_TRUE(PollUntil([&] { return first.Returned(); }));  // requested, not completed
  ASSERT_TRUE(PollUntil([&] { return first_running.load(); }));
  OnDemandSync second(monitor.get(), two);
  EXPECT_FALSE(PollUntil([&] { return second.Returned(); }, 200ms));
  hold_first.Open();
  ASSERT_TRUE(PollUntil([&] { return second.Returned(); }));
  ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 2; }));
  EXPECT_EQ(first.Result(), 0);
  EXPECT_EQ(second.Result(), 0);

  const std::vector<Report> reports = window.Reports();
  const auto first_end = std::find_if(reports.begin(), reports.end(), [](const Report& r) {
    return r.info.nOperation == kOpSyncEnd;
  });
  const auto second_begin = std::find_if(
      reports.begin(), reports.end(), [&](const Report& r) { return r.first == two.strSourceDir; });
  ASSERT_NE(second_begin, reports.end());
  EXPECT_LT(first_end, second_begin);

  // Each end names its task and totals both passes: a/5 bytes across, then
  // b/3 bytes back; the destination pass lists a again.
  std::vector<Report> ends;
  std::copy_if(reports.begin(), reports.end(), std::back_inserter(ends),
               [](const Report& r) { return r.info.nOperation == kOpSyncEnd; });
  ASSERT_EQ(ends.size(), 2u);
  EXPECT_EQ(ends[0].first, L"one");
  EXPECT_EQ(ends[1].first, L"two");
  const SyncProgressInfo& totals = ends[0].info;
  EXPECT_EQ(totals.nItemsListed, 3u);
  EXPECT_EQ(totals.nBytesListed, 13u);
  EXPECT_EQ(totals.nItemsChecked, 3u);
  EXPECT_EQ(totals.nBytesChecked, 13u);
  EXPECT_EQ(totals.nItemsDone, 2u);
  EXPECT_EQ(totals.nItemsFailed, 0u);
  EXPECT_EQ(totals.nBytesCopied, 8u);
}

TEST_F(ScheduledSyncTest, RequestsThatFindNoTaskEndAtOnceYetLetTheNextSyncRun) {
  const WatchTask gone = StoredTimedTask(L"gone");
  TraceCapture trace;
  HostWindow window;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  MonitorPtr monitor(new CWatcherMonitor(&frame));
  monitor->SetNotifyWindow(window.handle(), kProgressMessage);
  frame.Start();
  ASSERT_EQ(frame.m_WatchTaskMap.Lookup(L"gone")->nTimerId, 10u);
  // Deleted after its timer was armed and before it fired.
  frame.m_WatchTaskMap.Erase(L"gone");

  clock_.Advance(10min);
  ASSERT_TRUE(StepUntil([&] { return window.Count(kOpSyncEnd) == 1; }));
  EXPECT_TRUE(trace.Contains("Strandel]Can't find Task in Map so out!"));

  EXPECT_EQ(monitor->SyncWatchTask(nullptr), 0);
  WatchTaskInfo unnamed{};  // half filled: no name, no folders
  {
    ClockDriver driver(clock_);
    EXPECT_EQ(monitor->SyncWatchTask(&unnamed), 0);
    ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 2; }));
    EXPECT_TRUE(trace.Contains(
        "[Strandel] OnStartPlaning failed because of the strWatchTaskName is not Exist !"));
    // Both completed: a real task's sync is not held up behind them.
    OnDemandSync next(monitor.get(), Task(L"next"));
    ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 3; }));
  }
  EXPECT_FALSE(trace.Contains("OnStartPlanning wTimerIndex=10"));
  EXPECT_FALSE(window.Saw(kOpListing, gone.strSourceDir));

  // The timer of a task that is gone is not armed again.
  clock_.Advance(30min);
  EXPECT_FALSE(PollUntil([&] { return window.Count(kOpSyncEnd) > 3; }, 100ms));
}

TEST_F(ScheduledSyncTest, TheEndReachesTheRegisteredLiveWindowWithItsMessage) {
  ClockDriver driver(clock_);
  HostWindow a, b;
  HWND__ wrong_size = *b.handle();
  wrong_size.cbSize = 8;
  HWND__ destroyed = *b.handle();
  destroyed.bAlive = 0;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  MonitorPtr monitor(new CWatcherMonitor(&frame));
  WatchTaskInfo unnamed{};  // syncs nothing, and still ends with a report

  struct Step {
    HWND window;
    UINT message;
    HostWindow* receives;  // null: nobody
    UINT with;
  };
  const Step steps[] = {
      {a.handle(), kProgressMessage, &a, kProgressMessage},
      {&destroyed, kProgressMessage + 1, &a, kProgressMessage},
      {&wrong_size, kProgressMessage + 1, &a, kProgressMessage},
      {nullptr, kProgressMessage + 1, &a, kProgressMessage},
      {b.handle(), kProgressMessage + 1, &b, kProgressMessage + 1},
      {b.handle(), 0, nullptr, 0},
      {a.handle(), kProgressMessage, &a, kProgressMessage},
  };
  TraceCapture trace;
  auto completed = [&] {
    int n = 0;
    for (const auto& line : trace.Lines())
      n += line.find("OnStartPlanning OUT") != std::string::npos;
    return n;
  };
  int syncs = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(syncs);
    EXPECT_EQ(monitor->SetNotifyWindow(step.window, step.message), 0);
    const std::size_t before_a = a.Reports().size(), before_b = b.Reports().size();
    EXPECT_EQ(monitor->SyncWatchTask(&unnamed), 0);
    ++syncs;
    ASSERT_TRUE(PollUntil([&] { return completed() == syncs; }));
    const std::size_t sent = a.Reports().size() + b.Reports().size() - before_a - before_b;
    if (step.receives == nullptr) {
      EXPECT_EQ(sent, 0u);
      continue;
    }
    ASSERT_EQ(sent, 1u);
    const Report end = step.receives->Reports().back();
    EXPECT_EQ(end.window, step.receives->handle());
    EXPECT_EQ(end.message, step.with);
    EXPECT_EQ(end.operation, WPARAM{kOpSyncEnd});
    EXPECT_EQ(end.info.nOperation, kOpSyncEnd);
    EXPECT_EQ(end.first, L"");
  }
  // A registered window the host destroyed is sent nothing.
  a.handle()->bAlive = 0;
  const std::size_t before = a.Reports().size();
  EXPECT_EQ(monitor->SyncWatchTask(&unnamed), 0);
  ASSERT_TRUE(PollUntil([&] { return completed() == syncs + 1; }));
  EXPECT_EQ(a.Reports().size(), before);
}

TEST_F(ScheduledSyncTest, AReleaseDuringASyncEndsItBeforeItsNextPass) {
  ClockDriver driver(clock_);
  TraceCapture trace;
  HostWindow window;
  WatchTask one = Task(L"one");
  one.bBidirectional = TRUE;
  std::atomic<bool> first_running{false};
  window.on_report = [&](const Report& report) {
    if (report.first == one.strSourceDir) {
      first_running = true;
      PollUntil([&] { return trace.Contains("ReleaseFileWatcher ComeIn"); });
    }
    return LRESULT{0};
  };
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  MonitorPtr monitor(new CWatcherMonitor(&frame));
  monitor->SetNotifyWindow(window.handle(), kProgressMessage);

  OnDemandSync first(monitor.get(), one);
  ASSERT_TRUE(PollUntil([&] { return first_running.load(); }));
  std::atomic<bool> released{false};
  std::thread release([&] {
    frame.Release();
    released = true;
  });
  EXPECT_TRUE(PollUntil([&] { return released.load(); }, 5s));
  release.join();
  EXPECT_FALSE(window.Saw(kOpListing, one.strDestDir));  // no destination pass
  EXPECT_EQ(window.Count(kOpSyncEnd), 1);

  // A host thread that asks once the module is released starts nothing.
  OnDemandSync late(monitor.get(), Task(L"late"));
  ASSERT_TRUE(PollUntil([&] { return late.Returned(); }));
  EXPECT_EQ(late.Result(), 0);
  EXPECT_TRUE(trace.Contains("StartPlanSync ignored: the module is released"));
  EXPECT_FALSE(PollUntil([&] { return window.Count(kOpSyncEnd) > 1; }, 100ms));
}

TEST_F(ScheduledSyncTest, ATaskThatLostChangesGetsAFullSync) {
  ClockDriver driver(clock_);
  TraceCapture trace;
  HostWindow window;
  CMainFrame frame(DataDir(), nullptr);
  ASSERT_TRUE(frame.Create());
  frame.m_NotifyWindow.Register(window.handle(), kProgressMessage);
  frame.m_WatchTaskMap.Store(Task(L"docs"));

  frame.m_Watch.MarkNeedsFullSync(L"docs");
  frame.m_Watch.MarkNeedsFullSync(L"deleted");  // no longer in the map: nothing to sync
  ASSERT_TRUE(PollUntil([&] { return window.Count(kOpSyncEnd) == 1; }));
  EXPECT_TRUE(trace.Contains("Task docs lost changes: full sync"));
  EXPECT_TRUE(trace.Contains("OnStartPlanning wTimerIndex=0"));
  EXPECT_FALSE(frame.m_Watch.NeedsFullSync(L"docs"));
  EXPECT_FALSE(PollUntil([&] { return window.Count(kOpSyncEnd) > 1; }, 100ms));
}

// The names of the files below dir; a copy under way, not yet in place under
// its own hidden name, is none of them.
std::set<std::string> FileNames(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_regular_file() && !name.starts_with(".")) {
      names.insert(entry.path().lexically_relative(dir).string());
    }
  }
  return names;
}

// Halfway through a full sync's copies, two files it has copied and two it
// has yet to reach are removed or renamed in the source, and an older file is
// renamed over a newer one. The destination must end as the source's mirror,
// and a two-way sync must neither bring back what was taken away nor undo the
// rename by the files' times.
TEST_F(ScheduledSyncTest, RemovalsAndRenamesDuringAFullSyncAreCarriedAcrossAndNeverUndone) {
  for (const bool two_way : {false, true}) {
    SCOPED_TRACE(two_way ? "two-way" : "one-way");
    ClockDriver driver(clock_);
    TraceCapture trace;
    HostWindow window;
    const std::wstring name = two_way ? L"peers" : L"mirror";
    WatchTask task = Task(name);
    task.bBidirectional = two_way ? TRUE : FALSE;
    task.bSyncNow = TRUE;  // followed in real time
    task.dwTaskIndex = two_way ? 20001 : 20000;
    Store(task);
    const std::filesystem::path src = dir_.path() / (name + L"-src");
    const std::filesystem::path dst = dir_.path() / (name + L"-dst");
    for (int i = 0; i < 40; ++i) {
      const std::string file = "f" + std::to_string(10 + i);
      testing_support::WriteFile(src / file, file);
    }

    std::set<std::string> expected;
    std::string moved, replaced;
    std::atomic<bool> acted{false};  // the three are set before
    int copies = 0;
    window.on_report = [&](const Report& report) {
      if (report.info.nOperation != kOpCopyFile || report.info.dwError != 0 || ++copies != 20) {
        return LRESULT{0};
      }
      std::vector<std::string> copied;
      std::vector<std::string> pending;
      for (const std::string& file : FileNames(src)) {
        if (src / file == std::filesystem::path(report.first)) continue;
        (std::filesystem::exists(dst / file) ? copied : pending).push_back(file);
      }
      std::filesystem::remove(src / copied[0]);
      std::filesystem::rename(src / copied[1], src / ("renamed-" + copied[1]));
      std::filesystem::remove(src / pending[0]);
      std::filesystem::rename(src / pending[1], src / ("renamed-" + pending[1]));
      // An older file renamed over a newer one: the times alone would undo it.
      moved = copied[2];
      replaced = copied[3];
      std::filesystem::last_write_time(
          src / moved, std::filesystem::last_write_time(src / replaced) - std::chrono::hours(1));
      std::filesystem::rename(src / moved, src / replaced);
      expected = FileNames(src);
      acted = true;
      // The watch reads the five while the sync goes on.
      PollUntil([&] {
        const std::vector<std::string> lines = trace.Lines();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                 return line.find("came during its full sync: held") != std::string::npos;
               }) == 5;
      });
      return LRESULT{0};
    };
    CMainFrame frame(DataDir(), nullptr);
    frame.m_NotifyWindow.Register(window.handle(), kProgressMessage);
    ASSERT_TRUE(frame.Create());
    frame.Start();
    frame.m_Watch.MarkNeedsFullSync(name);

    const auto settled = [&] {
      return acted && window.Count(kOpSyncEnd) >= 2 && !frame.m_Watch.NeedsFullSync(name) &&
             frame.m_Watch.m_ChangeQueue.Empty() && FileNames(dst) == expected &&
             FileNames(src) == expected && testing_support::ReadFile(dst / replaced) == moved &&
             testing_support::ReadFile(src / replaced) == moved;
    };
    const auto state = [&] {
      std::string text = "syncs ended: " + std::to_string(window.Count(kOpSyncEnd));
      for (const auto& [label, names] : {std::pair{"\nexpected:", expected},
                                         {"\nsource:", FileNames(src)},
                                         {"\ndestination:", FileNames(dst)}}) {
        text += label;
        for (const std::string& file : names) text += " " + file;
      }
      return text + "\n" + replaced + " holds " + testing_support::ReadFile(src / replaced) +
             " / " + testing_support::ReadFile(dst / replaced) + ", not " + moved;
    };
    ASSERT_TRUE(PollUntil(settled, 20s)) << state();
    // Whatever sync the last ones asked for has run: nothing came back.
    ASSERT_TRUE(PollUntil([&] { return frame.PendingMessages() == 0; }));
    EXPECT_TRUE(settled()) << state();
    EXPECT_EQ(FileNames(dst).size(), 37u);
  }
}

}  // namespace
