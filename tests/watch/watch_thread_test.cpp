// The watch thread on real directories: slot layout, attribution of changes to
// tasks and sides, restarts and the ways the thread ends.
#include "watch/watch_thread.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "os/text.h"
#include "os/volumes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::PollUntil;
using testing_support::TempDir;
using testing_support::TraceCapture;

class WatchThreadTest : public ::testing::Test {
 protected:
  WatchThreadTest() : shared_(map_, nullptr) {}
  ~WatchThreadTest() override { thread_.reset(); }

  WatchTask AddTask(const std::wstring& name, BOOL sync_now = TRUE, BOOL two_way = FALSE) {
    WatchTask task;
    task.strWatchTaskName = name;
    task.strSourceDir = root_.wstr() + L"/" + name + L"-src";
    task.strDestDir = root_.wstr() + L"/" + name + L"-dst";
    fs::create_directories(os::ToUtf8(task.strSourceDir));
    fs::create_directories(os::ToUtf8(task.strDestDir));
    task.bSyncNow = sync_now;
    task.bBidirectional = two_way;
    map_.Store(task);
    return task;
  }
  void Start() {
    shared_.m_hWatchReady.Reset();
    shared_.m_bWatchThreadRunning = true;
    thread_ = std::make_unique<CWatchThread>(shared_);
    ASSERT_TRUE(thread_->Start());
    thread_->PostMessage(WM_START_FILESYS_WATCH, 0, 0);
    ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  }
  void Command(DWORD command) {
    shared_.m_hWatchReady.Reset();
    ASSERT_TRUE(thread_->PostCommand(command));
    ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  }
  void Touch(const std::wstring& dir, const std::string& name) {
    std::ofstream(fs::path(os::ToUtf8(dir)) / name) << "content";
  }
  // Collects records until every name in names has been seen (or time runs out).
  std::vector<ChangeRecord> WaitFor(std::initializer_list<std::wstring> names) {
    PollUntil([&] {
      while (auto r = shared_.m_ChangeQueue.TakeFront()) seen_.push_back(*r);
      for (const auto& name : names) {
        if (Find(seen_, name) == nullptr) return false;
      }
      return true;
    });
    return seen_;
  }
  static const ChangeRecord* Find(const std::vector<ChangeRecord>& records,
                                  const std::wstring& name) {
    for (const auto& r : records) {
      if (r.strFileName == name) return &r;
    }
    return nullptr;
  }

  TempDir root_;
  WatchTaskMap map_;
  WatchShared shared_;
  std::unique_ptr<CWatchThread> thread_;
  std::vector<ChangeRecord> seen_;
};

TEST_F(WatchThreadTest, ChangesAreAttributedToTheirTaskAndSide) {
  const WatchTask a = AddTask(L"a");
  const WatchTask b = AddTask(L"b", TRUE, TRUE);
  const WatchTask c = AddTask(L"c");
  Start();
  EXPECT_EQ(thread_->DirectoryCount(), 6);
  Touch(b.strDestDir, "from-dest.txt");
  Touch(c.strDestDir, "one-way-dest.txt");  // a one-way destination is never queued
  Touch(a.strSourceDir, "marker.txt");
  const auto all = WaitFor({L"from-dest.txt", L"marker.txt"});
  ASSERT_NE(Find(all, L"marker.txt"), nullptr);
  EXPECT_EQ(Find(all, L"marker.txt")->strTaskName, L"a");
  EXPECT_EQ(Find(all, L"marker.txt")->bSourceSide, TRUE);
  EXPECT_EQ(Find(all, L"marker.txt")->dwAction, 1u);
  ASSERT_NE(Find(all, L"from-dest.txt"), nullptr);
  EXPECT_EQ(Find(all, L"from-dest.txt")->strTaskName, L"b");
  EXPECT_EQ(Find(all, L"from-dest.txt")->bSourceSide, FALSE);
  EXPECT_EQ(Find(all, L"one-way-dest.txt"), nullptr);
  // The watch learnt the tasks' file systems and watch paths.
  EXPECT_EQ(map_.Lookup(L"a")->strSrcWatchPath, a.strSourceDir);
  EXPECT_FALSE(map_.Lookup(L"a")->strSrcFileSystem.empty());
}

TEST_F(WatchThreadTest, ARestartAttributesThroughTheNewLayout) {
  AddTask(L"m");
  Start();
  // "b" sorts before "m": after the restart it owns slots 0 and 1.
  const WatchTask b = AddTask(L"b");
  Command(WATCHCMD_ADD_TASK);
  EXPECT_EQ(thread_->DirectoryCount(), 4);
  Touch(b.strSourceDir, "new-task.txt");
  const auto all = WaitFor({L"new-task.txt"});
  ASSERT_NE(Find(all, L"new-task.txt"), nullptr);
  EXPECT_EQ(Find(all, L"new-task.txt")->strTaskName, L"b");
}

TEST_F(WatchThreadTest, ATaskNotWatchedInRealTimeOnlyAnchorsThePortUntilItsFirstChange) {
  TraceCapture trace;
  const WatchTask first = AddTask(L"a-first", FALSE);
  AddTask(L"b-live");
  const WatchTask later = AddTask(L"c-later", FALSE);
  Start();
  Touch(later.strSourceDir, "ignored.txt");  // never opened: it follows an open task
  Touch(first.strSourceDir, "closes-it.txt");
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("[Strandel]Not support SyncImmediately !"); }));
  Touch(first.strSourceDir, "after.txt");
  const WatchTask live = *map_.Lookup(L"b-live");
  Touch(live.strSourceDir, "marker.txt");
  const auto all = WaitFor({L"marker.txt"});
  EXPECT_EQ(Find(all, L"ignored.txt"), nullptr);
  EXPECT_EQ(Find(all, L"closes-it.txt"), nullptr);
  EXPECT_EQ(Find(all, L"after.txt"), nullptr);
}

TEST_F(WatchThreadTest, MissingDirectoriesAreCreatedWithTheirParents) {
  WatchTask task;
  task.strWatchTaskName = L"deep";
  task.strSourceDir = root_.wstr() + L"/x/y/src";
  task.strDestDir = root_.wstr() + L"/x/z/dst";
  task.bSyncNow = TRUE;
  map_.Store(task);
  Start();
  EXPECT_TRUE(fs::is_directory(root_.path() / "x/y/src"));
  EXPECT_TRUE(fs::is_directory(root_.path() / "x/z/dst"));
  Touch(task.strSourceDir, "in-new-dir.txt");
  EXPECT_NE(Find(WaitFor({L"in-new-dir.txt"}), L"in-new-dir.txt"), nullptr);
}

TEST_F(WatchThreadTest, TheThreadEndsOnExitAndWithNothingToWatch) {
  TraceCapture trace;
  Start();  // an empty task map
  EXPECT_TRUE(
      trace.Contains("[Strandel]OnStartWatchFileSys failed because of  DirectoryCout == 0 !"));
  EXPECT_FALSE(shared_.m_bWatchThreadRunning);
  thread_->Join();

  AddTask(L"t");
  Start();
  EXPECT_TRUE(shared_.m_bWatchThreadRunning);
  Command(WATCHCMD_EXIT);
  EXPECT_FALSE(shared_.m_bWatchThreadRunning);
  thread_->Join();
  EXPECT_FALSE(thread_->IsRunning());
}

TEST_F(WatchThreadTest, UnusableDirectoriesLeaveTheirSlotsEmptyAndOthersWatched) {
  TraceCapture trace;
  const std::string mountinfo = root_.str() + "/mountinfo";
  std::ofstream(mountinfo) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  os::SetVolumeSourcesForTest(mountinfo, root_.str() + "/sys");
  WatchTask file_source;
  file_source.strWatchTaskName = L"a-file";
  file_source.strSourceDir = root_.wstr() + L"/plain-file";
  file_source.strDestDir = root_.wstr() + L"/a-dst";
  file_source.bSyncNow = TRUE;
  std::ofstream(root_.path() / "plain-file") << "not a directory";
  map_.Store(file_source);
  WatchTask unplugged;
  unplugged.strWatchTaskName = L"b-usb";
  unplugged.strSourceDir = L"/media/strandel-test/NOKEY/docs";
  unplugged.strDestDir = root_.wstr() + L"/b-dst";
  unplugged.bSyncNow = TRUE;
  unplugged.bSupportUsb = TRUE;
  map_.Store(unplugged);
  const WatchTask live = AddTask(L"c-live");
  Start();
  os::SetVolumeSourcesForTest("", "");
  // Nothing is ever created on a volume that is not there.
  EXPECT_FALSE(fs::exists("/media/strandel-test"));
  EXPECT_TRUE(trace.Contains("cannot watch " + root_.str() + "/plain-file"));
  const auto waiting = shared_.UsbWaiting();
  ASSERT_EQ(waiting.count(2), 1u);  // parked under its source slot
  EXPECT_EQ(waiting.at(2).strWatchTaskName, L"b-usb");
  Touch(root_.wstr() + L"/b-dst", "unwatched.txt");
  Touch(live.strSourceDir, "marker.txt");
  const auto all = WaitFor({L"marker.txt"});
  EXPECT_EQ(Find(all, L"unwatched.txt"), nullptr);
}

TEST_F(WatchThreadTest, ADeletedWatchedDirectoryFallsSilent) {
  TraceCapture trace;
  const WatchTask doomed = AddTask(L"a");
  const WatchTask live = AddTask(L"b");
  Start();
  fs::remove_all(os::ToUtf8(doomed.strSourceDir));
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("is gone, its watch ends"); }));
  Touch(live.strSourceDir, "still-watched.txt");
  EXPECT_NE(Find(WaitFor({L"still-watched.txt"}), L"still-watched.txt"), nullptr);
}

TEST_F(WatchThreadTest, RestartsWhileChangesFlowNeverMisattributeARecord) {
  const WatchTask m = AddTask(L"m");
  Start();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing; ++i) Touch(m.strSourceDir, "m-" + std::to_string(i));
  });
  for (int round = 0; round < 5; ++round) {
    // Each new task sorts before "m" and shifts m's slots.
    AddTask(std::wstring(1, static_cast<wchar_t>(L'a' + round)));
    Command(WATCHCMD_ADD_TASK);
  }
  writing = false;
  writer.join();
  const WatchTask a = *map_.Lookup(L"a");
  Touch(a.strSourceDir, "a-marker");
  Touch(m.strSourceDir, "m-marker");
  const auto all = WaitFor({L"a-marker", L"m-marker"});
  for (const auto& r : all) {
    EXPECT_EQ(r.strTaskName, std::wstring(1, r.strFileName[0])) << os::ToUtf8(r.strFileName);
  }
}

}  // namespace
