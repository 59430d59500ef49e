// The watch thread on real directories: attribution of changes across restarts,
// tasks not watched in real time, directories missing or unusable, roots that
// vanish and come back, and tasks whose USB volume leaves and arrives.
#include "watch/watch_thread.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "os/text.h"
#include "os/volumes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::PollUntil;
using testing_support::RunProcess;
using testing_support::StepClockUntil;
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
      while (auto r = shared_.m_ChangeQueue.TakeFront()) {
        seen_.push_back(*r);
        shared_.m_ChangeQueue.Done(*r);
      }
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

// Roots that vanish and come back, on a fake clock: retries happen only when
// the test moves it on.
class GoneRootTest : public WatchThreadTest {
 protected:
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override {
    thread_.reset();  // its retry ticker waits on clock_
    os::SetClock(nullptr);
    os::SetVolumeSourcesForTest("", "");
  }
  // Moves the clock on a retry period at a time until condition holds.
  bool RetryUntil(const std::function<bool()>& condition) {
    return StepClockUntil(clock_, condition,
                          std::chrono::milliseconds(CWatchThread::kGoneRootRetryMs));
  }
  bool Restart() {
    shared_.m_hWatchReady.Reset();
    return thread_->PostCommand(WATCHCMD_ADD_TASK) &&
           shared_.m_hWatchReady.Wait(10000) == WAIT_OBJECT_0;
  }
  const ChangeRecord* Record(const std::wstring& name) const {
    for (const auto& r : seen_) {
      if (r.strFileName == name) return &r;
    }
    return nullptr;
  }
  static int Count(const TraceCapture& trace, const std::string& needle) {
    const auto lines = trace.Lines();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.find(needle) != std::string::npos;
    }));
  }

  os::FakeClock clock_;
};

TEST_F(GoneRootTest, AVolumeRootWaitsForItsVolumeNotForTheEmptyMountDirectory) {
  TraceCapture trace;
  const std::string mountinfo = root_.str() + "/mountinfo";
  const std::string root_line = "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n";
  const std::string volume_line = "23 22 8:17 / " + root_.str() + "/vol rw - ext4 /dev/sdb1 rw\n";
  std::ofstream(mountinfo) << root_line << volume_line;
  os::SetVolumeSourcesForTest(mountinfo, root_.str() + "/sys");
  fs::create_directories(root_.path() / "vol");
  fs::create_directories(root_.path() / "v-dst");
  Define(L"v", root_.wstr() + L"/vol", root_.wstr() + L"/v-dst");
  const WatchTask live = AddTask(L"w");
  Start();

  // The unmount: the volume's root goes, an empty directory stays behind.
  fs::remove_all(root_.path() / "vol");
  ASSERT_TRUE(PollUntil([&] { return trace.Contains("waiting for it to come back"); }));
  std::ofstream(mountinfo) << root_line;
  fs::create_directory(root_.path() / "vol");
  ASSERT_TRUE(RetryUntil([&] { return trace.Contains("is there again, but not on"); }));
  EXPECT_FALSE(shared_.NeedsFullSync(L"v"));
  // Nor does a restart open it.
  AddTask(L"x");
  ASSERT_TRUE(Restart());
  EXPECT_FALSE(shared_.NeedsFullSync(L"v"));
  Touch(root_.wstr() + L"/vol", "on-the-mount-directory.txt");

  std::ofstream(mountinfo) << root_line << volume_line;
  ASSERT_TRUE(RetryUntil([&] { return shared_.NeedsFullSync(L"v"); }));
  Touch(root_.wstr() + L"/vol", "on-the-volume.txt");
  Touch(live.strSourceDir, "marker.txt");
  ASSERT_TRUE(WaitFor({L"on-the-volume.txt", L"marker.txt"}));
  EXPECT_EQ(Record(L"on-the-volume.txt")->strTaskName, L"v");
  EXPECT_FALSE(Seen(L"on-the-mount-directory.txt"));
}

TEST_F(GoneRootTest, ARestartKeepsWaitingForTheGoneRootsOfTasksThatRemain) {
  TraceCapture trace;
  const WatchTask kept = AddTask(L"a-kept");
  const WatchTask deleted = AddTask(L"b-deleted");
  const WatchTask live = AddTask(L"c-live");
  Start();
  fs::remove_all(os::ToUtf8(kept.strSourceDir));
  fs::remove_all(os::ToUtf8(deleted.strSourceDir));
  ASSERT_TRUE(PollUntil([&] { return Count(trace, "waiting for it to come back") == 2; }));

  // The deleted task's slots now belong to c-live; the kept root is made
  // again on its mount and its task synced by the rebuild itself.
  map_.Erase(L"b-deleted");
  shared_.m_hWatchReady.Reset();
  ASSERT_TRUE(thread_->PostCommand(WATCHCMD_DEL_TASK));
  ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  EXPECT_TRUE(shared_.NeedsFullSync(L"a-kept"));
  EXPECT_TRUE(fs::is_directory(os::ToUtf8(kept.strSourceDir)));

  fs::create_directory(os::ToUtf8(deleted.strSourceDir));
  for (int round = 0; round < 3; ++round) {
    clock_.Advance(std::chrono::milliseconds(CWatchThread::kGoneRootRetryMs));
    const std::wstring marker = L"marker-" + std::to_wstring(round);
    Touch(live.strSourceDir, os::ToUtf8(marker));
    ASSERT_TRUE(WaitFor({marker.c_str()}));
  }
  Touch(deleted.strSourceDir, "orphan.txt");
  Touch(kept.strSourceDir, "kept.txt");
  Touch(live.strSourceDir, "last-marker.txt");
  ASSERT_TRUE(WaitFor({L"kept.txt", L"last-marker.txt"}));
  EXPECT_FALSE(Seen(L"orphan.txt"));
  EXPECT_FALSE(shared_.NeedsFullSync(L"b-deleted"));
  EXPECT_EQ(Record(L"last-marker.txt")->strTaskName, L"c-live");
  EXPECT_EQ(Count(trace, "is back"), 1);

  // Released while a root is gone, the thread ends at once.
  fs::remove_all(os::ToUtf8(kept.strSourceDir));
  ASSERT_TRUE(PollUntil([&] { return Count(trace, "waiting for it to come back") == 3; }));
  const auto before = std::chrono::steady_clock::now();
  thread_.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
}

// USB volumes: a fake sysfs puts device 8:17 on a USB bus; the fake mount
// table says which directories lie on it.
class UsbWatchTest : public WatchThreadTest {
 protected:
  static constexpr char kUsbPartition[] =
      "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb/sdb1";

  void SetUp() override {
    const fs::path sysfs = root_.path() / "sys";
    fs::create_directories(sysfs / kUsbPartition);
    fs::create_directories(sysfs / "dev/block");
    fs::create_symlink(fs::path("../..") / kUsbPartition, sysfs / "dev/block/8:17");
    fs::create_directories(root_.path() / "usb");
    PlugIn(true);
    shared_.SetRearmTimerHook([this](UINT id) { rearmed_ = id; });
  }
  void TearDown() override {
    thread_.reset();
    os::SetVolumeSourcesForTest("", "");
  }
  // Whether the mount table shows the USB volume on <root>/usb.
  void PlugIn(bool present) {
    std::ofstream(mountinfo_) << "22 1 8:1 / / rw - ext4 /dev/sda1 rw\n"
                              << (present ? "23 22 8:17 / " + root_.str() +
                                                "/usb rw - vfat "
                                                "/dev/sdb1 rw\n"
                                          : "");
    os::SetVolumeSourcesForTest(mountinfo_, root_.str() + "/sys");
  }
  // A bSupportUsb task over <root>/usb/<name> and <root>/<name>-dst.
  WatchTask AddUsbTask(const std::wstring& name) {
    fs::create_directories(root_.path() / "usb" / os::ToUtf8(name));
    fs::create_directories(root_.path() / (os::ToUtf8(name) + "-dst"));
    WatchTask task =
        Define(name, root_.wstr() + L"/usb/" + name, root_.wstr() + L"/" + name + L"-dst");
    task.bSupportUsb = TRUE;
    task.bBidirectional = TRUE;  // changes in either side count
    task.dwSynctime = 60000;
    map_.Store(task);
    map_.SetTimerId(name, 7);
    return task;
  }
  // Sends a USB command and waits until it was served; true when it succeeded.
  bool Command(DWORD command, int slot) {
    const std::string name = command == WATCHCMD_USB_INSERT ? "OnUsbInsert" : "OnUsbReject";
    const auto served = [&] {
      std::vector<std::string> lines;
      for (const auto& line : trace_.Lines()) {
        if (line.find(name) != std::string::npos) lines.push_back(line);
      }
      return lines;
    };
    const std::size_t before = served().size();
    EXPECT_TRUE(thread_->PostCommand(command, slot));
    EXPECT_TRUE(PollUntil([&] { return served().size() > before; }));
    return served().back() == "[Strandel]" + name + " Success!\n";
  }
  int Count(const std::string& line) const {
    const auto lines = trace_.Lines();
    return static_cast<int>(std::count(lines.begin(), lines.end(), line + "\n"));
  }

  TraceCapture trace_;
  std::string mountinfo_ = root_.str() + "/mountinfo";
  std::atomic<UINT> rearmed_{0};
  int commands_ = 0;
};

TEST_F(UsbWatchTest, ARejectedTaskParksAndAnInsertOnItsMountReopensIt) {
  const WatchTask usb = AddUsbTask(L"u");
  Start();
  // Its source lies on the USB volume: noted, and the task brought in step.
  EXPECT_EQ(shared_.UsbHandles(), (std::map<int, std::wstring>{{0, usb.strSourceDir}}));
  EXPECT_EQ(Count("[Strandel]4977: DoRegisterDeviceHandle OUT Success!"), 1);
  EXPECT_EQ(shared_.TakeNeedsFullSync(), std::set<std::wstring>{L"u"});

  ASSERT_TRUE(Command(WATCHCMD_USB_REJECT, 0));
  EXPECT_TRUE(shared_.UsbHandles().empty());
  ASSERT_EQ(shared_.UsbWaiting().count(0), 1u);
  EXPECT_FALSE(Command(WATCHCMD_USB_REJECT, 0));  // nothing left to close
  Touch(usb.strSourceDir, "while-closed.txt");
  Touch(usb.strDestDir, "while-closed-too.txt");

  // The volume is away: no insert reopens the task, nor does a restart.
  PlugIn(false);
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 0));
  shared_.m_hWatchReady.Reset();
  ASSERT_TRUE(thread_->PostCommand(WATCHCMD_RESET_TASK));
  ASSERT_EQ(shared_.m_hWatchReady.Wait(10000), WAIT_OBJECT_0);
  ASSERT_EQ(shared_.UsbWaiting().count(0), 1u);
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 0));
  EXPECT_FALSE(shared_.NeedsFullSync(L"u"));
  EXPECT_EQ(rearmed_, 0u);

  PlugIn(true);
  ASSERT_TRUE(Command(WATCHCMD_USB_INSERT, 0));
  EXPECT_TRUE(shared_.UsbWaiting().empty());
  EXPECT_EQ(shared_.UsbHandles(), (std::map<int, std::wstring>{{0, usb.strSourceDir}}));
  EXPECT_TRUE(shared_.NeedsFullSync(L"u"));
  EXPECT_EQ(rearmed_, 7u);
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 0));  // no longer waiting
  Touch(usb.strSourceDir, "after.txt");
  Touch(usb.strDestDir, "after-too.txt");
  ASSERT_TRUE(WaitFor({L"after.txt", L"after-too.txt"}));
  EXPECT_FALSE(Seen(L"while-closed.txt"));
  EXPECT_FALSE(Seen(L"while-closed-too.txt"));
}

TEST_F(UsbWatchTest, AParkedTaskOpensOnceItsDirectoryIsThere) {
  // The source cannot be opened: the task waits, and the thread with it,
  // though it has no directory open at all.
  std::ofstream(root_.path() / "p-src") << "not a directory yet";
  WatchTask parked = Define(L"p", root_.wstr() + L"/p-src", root_.wstr() + L"/p-dst");
  parked.bSupportUsb = TRUE;
  map_.Store(parked);
  Start();
  ASSERT_EQ(shared_.UsbWaiting().count(0), 1u);
  EXPECT_TRUE(shared_.UsbHandles().empty());
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 1));  // it waits under its source's slot
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 0));
  EXPECT_EQ(shared_.UsbWaiting().count(0), 1u);

  fs::remove(root_.path() / "p-src");
  fs::create_directory(root_.path() / "p-src");
  ASSERT_TRUE(Command(WATCHCMD_USB_INSERT, 0));
  EXPECT_TRUE(shared_.UsbWaiting().empty());
  EXPECT_TRUE(shared_.UsbHandles().empty());  // not on a USB bus
  EXPECT_TRUE(shared_.NeedsFullSync(L"p"));
  EXPECT_EQ(rearmed_, 0u);  // it has no timer
  Touch(parked.strSourceDir, "now-watched.txt");
  ASSERT_TRUE(WaitFor({L"now-watched.txt"}));
}

TEST_F(UsbWatchTest, AUsbRootThatGoesParksItsTaskAndOthersKeepTheirRetry) {
  const WatchTask usb = AddUsbTask(L"u");
  WatchTask plain = AddTask(L"w");
  plain.bBidirectional = TRUE;
  map_.Store(plain);
  Start();
  fs::remove_all(os::ToUtf8(usb.strSourceDir));
  fs::remove_all(os::ToUtf8(plain.strSourceDir));
  ASSERT_TRUE(PollUntil([&] { return shared_.UsbWaiting().count(0) == 1; }));
  EXPECT_TRUE(shared_.UsbHandles().empty());
  ASSERT_TRUE(PollUntil([&] { return Count("[Strandel]Close Usb OpenedFile B Handle Ok") == 1; }));
  // The task without a USB root waits for its directory as before.
  ASSERT_TRUE(PollUntil([&] { return trace_.Contains("w-src is gone, waiting"); }));
  EXPECT_EQ(shared_.UsbWaiting().size(), 1u);
  Touch(plain.strDestDir, "marker.txt");
  ASSERT_TRUE(WaitFor({L"marker.txt"}));
}

// A real unmount needs a mount namespace of our own: that test runs again in
// a child inside one.
TEST(UsbUnmount, IsNeverHeldUpAndParksTheTask) {
  const auto run = testing_support::RunTestsInMountNamespace("UsbUnmountInside.DISABLED_*");
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

class UsbUnmountInside : public UsbWatchTest {
 protected:
  // The kernel's mount table, with the tmpfs on <root>/usb made a USB device.
  void MirrorMountTable() {
    std::ifstream in("/proc/self/mountinfo");
    std::ostringstream out;
    const std::string usb = " " + root_.str() + "/usb ";
    for (std::string line; std::getline(in, line);) {
      if (line.find(usb) != std::string::npos) {
        std::istringstream fields(line);
        std::string id, parent, device;
        fields >> id >> parent >> device;
        line = id + " " + parent + " 8:17" +
               line.substr(id.size() + parent.size() + device.size() + 2);
      }
      out << line << "\n";
    }
    std::ofstream(mountinfo_) << out.str();
  }
};

TEST_F(UsbUnmountInside, DISABLED_TheVolumeGoesAtOnceAndTheTaskParks) {
  const fs::path volume = root_.path() / "usb";
  ASSERT_TRUE(testing_support::MountTmpfs(volume));
  MirrorMountTable();
  const WatchTask usb = AddUsbTask(L"u");
  Start();
  ASSERT_EQ(shared_.UsbHandles().count(0), 1u);

  const auto unmount = RunProcess("/usr/bin/umount", {volume.string()});
  ASSERT_EQ(unmount.exit_code, 0) << unmount.output;
  ASSERT_TRUE(PollUntil([&] { return shared_.UsbWaiting().count(0) == 1; }));
  MirrorMountTable();
  // Nothing is made in the empty mount directory the volume left.
  EXPECT_FALSE(Command(WATCHCMD_USB_INSERT, 0));
  EXPECT_FALSE(fs::exists(volume / "u"));

  ASSERT_TRUE(testing_support::MountTmpfs(volume));
  fs::create_directory(volume / "u");
  MirrorMountTable();
  ASSERT_TRUE(Command(WATCHCMD_USB_INSERT, 0));
  Touch(usb.strSourceDir, "back.txt");
  ASSERT_TRUE(WaitFor({L"back.txt"}));
}

}  // namespace
