// The watch thread on real directories: attribution of changes across restarts,
// tasks not watched in real time, and directories missing, unusable or deleted.
#include "watch/watch_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
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
  WatchTask Define(const std::wstring& name, const std::wstring& source, const std::wstring& dest,
                   BOOL sync_now = TRUE) {
    WatchTask task;
    task.strWatchTaskName = name;
    task.strSourceDir = source;
    task.strDestDir = dest;
    task.bSyncNow = sync_now;
    map_.Store(task);
    return task;
  }
  // A task over <root>/<name>-src and <root>/<name>-dst, both made here.
  WatchTask AddTask(const std::wstring& name, BOOL sync_now = TRUE) {
    const std::wstring base = root_.wstr() + L"/" + name;
    fs::create_directories(os::ToUtf8(base + L"-src"));
    fs::create_directories(os::ToUtf8(base + L"-dst"));
    return Define(name, base + L"-src", base + L"-dst", sync_now);
  }
  void Start() {
    shared_.m_hWatchReady.Reset();
    shared_.m_bWatchThreadRunning = true;
    thread_ = std::make_unique<CWatchThread>(shared_);
    ASSERT_TRUE(thread_->Start());
    thread_->PostMessage(WM_START_FILESYS_WATCH, 0, 0);
    ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  }
  void Touch(const std::wstring& dir, const std::string& name) {
    std::ofstream(fs::path(os::ToUtf8(dir)) / name) << "content";
  }
  // Collects records until every one of names has been seen; false on time-out.
  bool WaitFor(std::initializer_list<std::wstring> names) {
    return PollUntil([&] {
      while (auto r = shared_.m_ChangeQueue.TakeFront()) seen_.push_back(*r);
      for (const auto& name : names) {
        if (!Seen(name)) return false;
      }
      return true;
    });
  }
  bool Seen(const std::wstring& name) const {
    return std::any_of(seen_.begin(), seen_.end(),
                       [&](const ChangeRecord& r) { return r.strFileName == name; });
  }

  TempDir root_;
  WatchTaskMap map_;
  WatchShared shared_{map_, nullptr};
  std::unique_ptr<CWatchThread> thread_;
  std::vector<ChangeRecord> seen_;
};

TEST_F(WatchThreadTest, RestartsWhileChangesFlowNeverMisattributeARecord) {
  const WatchTask m = AddTask(L"m");
  Start();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing; ++i) Touch(m.strSourceDir, "m-" + std::to_string(i));
  });
  for (int round = 0; round < 5; ++round) {
    // Each new task sorts before "m" and shifts m's slots; m's changes go on
    // arriving between the map's change and the restart command.
    AddTask(std::wstring(1, static_cast<wchar_t>(L'a' + round)));
    WaitFor({});
    ASSERT_TRUE(PollUntil([&] { return !shared_.m_ChangeQueue.Empty(); }));
    shared_.m_hWatchReady.Reset();
    ASSERT_TRUE(thread_->PostCommand(WATCHCMD_ADD_TASK));
    ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  }
  writing = false;
  writer.join();
  EXPECT_EQ(thread_->DirectoryCount(), 12);
  Touch(map_.Lookup(L"a")->strSourceDir, "a-marker");
  Touch(m.strSourceDir, "m-marker");
  ASSERT_TRUE(WaitFor({L"a-marker", L"m-marker"}));
  for (const auto& r : seen_) {
    EXPECT_EQ(r.strTaskName, std::wstring(1, r.strFileName[0])) << os::ToUtf8(r.strFileName);
  }
}

TEST_F(WatchThreadTest, ATaskNotWatchedInRealTimeOnlyAnchorsThePortUntilItsFirstChange) {
  TraceCapture trace;
  const WatchTask first = AddTask(L"a-first", FALSE);
  const WatchTask live = AddTask(L"b-live");
  const WatchTask later = AddTask(L"c-later", FALSE);
  Start();
  Touch(later.strSourceDir, "ignored.txt");  // never opened: it follows an open task
  Touch(first.strSourceDir, "closes-it.txt");
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("[Strandel]Not support SyncImmediately !"); }));
  Touch(first.strSourceDir, "after.txt");
  Touch(live.strSourceDir, "marker.txt");
  ASSERT_TRUE(WaitFor({L"marker.txt"}));
  EXPECT_EQ(seen_.size(), 1u);
  const auto lines = trace.Lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[Strandel]Not support SyncImmediately !\n"), 1);
}

TEST_F(WatchThreadTest, MissingDirectoriesAreMadeUnlessTheirVolumeIsAbsent) {
  TraceCapture trace;
  const std::string mountinfo = root_.str() + "/mountinfo";
  std::ofstream(mountinfo) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  os::SetVolumeSourcesForTest(mountinfo, root_.str() + "/sys");
  std::ofstream(root_.path() / "plain-file") << "not a directory";
  Define(L"a-file", root_.wstr() + L"/plain-file", root_.wstr() + L"/a-dst");
  WatchTask usb = Define(L"b-usb", L"/media/strandel-test/NOKEY/docs", root_.wstr() + L"/b-dst");
  usb.bSupportUsb = TRUE;
  map_.Store(usb);
  const WatchTask deep = Define(L"c-deep", root_.wstr() + L"/x/y/src", root_.wstr() + L"/x/z/dst");
  Start();
  os::SetVolumeSourcesForTest("", "");
  EXPECT_TRUE(trace.Contains("cannot watch " + root_.str() + "/plain-file"));
  // Nothing is made on a volume that is not there: the task waits for it.
  EXPECT_FALSE(fs::exists("/media/strandel-test"));
  const auto waiting = shared_.UsbWaiting();
  ASSERT_EQ(waiting.count(2), 1u);  // parked under its source slot
  EXPECT_EQ(waiting.at(2).strWatchTaskName, L"b-usb");
  EXPECT_TRUE(fs::is_directory(root_.path() / "x/z/dst"));
  Touch(root_.wstr() + L"/b-dst", "unwatched.txt");
  Touch(deep.strSourceDir, "marker.txt");
  ASSERT_TRUE(WaitFor({L"marker.txt"}));
  EXPECT_FALSE(Seen(L"unwatched.txt"));
}

TEST_F(WatchThreadTest, ADeletedWatchedDirectoryFallsSilent) {
  TraceCapture trace;
  const WatchTask doomed = AddTask(L"a");
  const WatchTask live = AddTask(L"b");
  Start();
  fs::remove_all(os::ToUtf8(doomed.strSourceDir));
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("is gone, its watch ends"); }));
  Touch(live.strSourceDir, "still-watched.txt");
  EXPECT_TRUE(WaitFor({L"still-watched.txt"}));
  EXPECT_FALSE(shared_.NeedsFullSync(L"a"));  // nothing was lost: there is nothing left
}

}  // namespace
