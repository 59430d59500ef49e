// The mount monitor on the real kernel mount table. Mounting needs a mount
// namespace of our own, so those tests run again in a child inside one.
#include "os/mount_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/volumes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::wstring>;
using testing_support::MountTmpfs;
using testing_support::PollUntil;
using testing_support::RunProcess;

TEST(MountMonitor, StartNeedsAReadableMountTable) {
  testing_support::TempDir dir;
  std::ofstream(dir.path() / "empty");
  std::ofstream(dir.path() / "one-mount") << "22 1 259:2 / / rw - ext4 /dev/sda1 rw\n";
  const struct {
    const char* file;
    bool starts;
  } cases[] = {{"missing", false}, {"empty", false}, {"one-mount", true}};
  for (const auto& c : cases) {
    os::SetVolumeSourcesForTest((dir.path() / c.file).string(), "");
    os::MountMonitor monitor([](const os::DriveChanges&) {});
    EXPECT_EQ(monitor.Start(), c.starts) << c.file;
    monitor.Stop();
  }
  os::SetVolumeSourcesForTest("", "");
}

TEST(MountMonitor, FollowsMountsInItsOwnNamespace) {
  const auto run = testing_support::RunTestsInMountNamespace("MountMonitorInside.DISABLED_*");
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(5)) << run.process.output;
}

// Keeps every report the monitor makes.
class Recorder {
 public:
  void operator()(const os::DriveChanges& changes) {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.push_back(changes);
  }
  std::vector<os::DriveChanges> Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
  }
  // Every drive reported as arrived (or removed), in the order of the reports.
  Names All(Names os::DriveChanges::*which) const {
    Names all;
    for (const auto& call : Calls()) {
      all.insert(all.end(), (call.*which).begin(), (call.*which).end());
    }
    return all;
  }
  bool Arrived(const Names& names) const { return All(&os::DriveChanges::arrived) == names; }
  bool Removed(const Names& names) const { return All(&os::DriveChanges::removed) == names; }

 private:
  mutable std::mutex mutex_;
  std::vector<os::DriveChanges> calls_;
};

class MountMonitorInside : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Drives live under /mnt; a tmpfs over it lets us make their directories.
    ASSERT_TRUE(MountTmpfs("/mnt"));
  }

  // A new directory /mnt/<name> with a tmpfs on it: a drive arrives.
  static void Plug(const std::string& name) {
    fs::create_directory("/mnt/" + name);
    ASSERT_TRUE(MountTmpfs("/mnt/" + name));
  }
  static void Unplug(const std::string& name) {
    ASSERT_EQ(RunProcess("/usr/bin/umount", {"/mnt/" + name}).exit_code, 0);
  }

  Recorder recorder_;
  os::MountMonitor monitor_{[this](const os::DriveChanges& c) { recorder_(c); }};
};

TEST_F(MountMonitorInside, DISABLED_ReportsAnArrivalAndARemovalByTheDrive) {
  ASSERT_TRUE(monitor_.Start());
  // A mount that is no drive changes nothing to report.
  fs::create_directories("/mnt/disk/deeper");
  ASSERT_TRUE(MountTmpfs("/mnt/disk/deeper"));
  Plug("stick");
  ASSERT_TRUE(PollUntil([&] { return recorder_.Arrived({L"/mnt/stick"}); }));
  // The monitor holds nothing open on the volume: a plain unmount works.
  Unplug("stick");
  ASSERT_TRUE(PollUntil([&] { return recorder_.Removed({L"/mnt/stick"}); }));
  EXPECT_EQ(recorder_.Calls().size(), 2u);
  EXPECT_TRUE(recorder_.Arrived({L"/mnt/stick"}));
}

// A volume can come and go between two reads and leave no difference; the
// client that asks hears of every read of a changed table all the same.
TEST_F(MountMonitorInside, DISABLED_TellsOfEveryReadOfAChangedTableWhenAsked) {
  std::atomic<int> reads{0};
  Recorder recorder;
  os::MountMonitor monitor([&](const os::DriveChanges& c) { recorder(c); }, [&] { ++reads; });
  ASSERT_TRUE(monitor.Start());
  fs::create_directories("/mnt/other/deeper");
  ASSERT_TRUE(MountTmpfs("/mnt/other/deeper"));
  ASSERT_TRUE(PollUntil([&] { return reads.load() >= 1; }));
  EXPECT_TRUE(recorder.Calls().empty());
  Plug("told");
  ASSERT_TRUE(PollUntil([&] { return recorder.Arrived({L"/mnt/told"}); }));
  EXPECT_GE(reads.load(), 2);
}

TEST_F(MountMonitorInside, DISABLED_LosesNoneOfSeveralQuickChanges) {
  Plug("present");  // before the start: the starting point, not an arrival
  ASSERT_TRUE(monitor_.Start());
  Plug("b");
  Plug("a");
  Unplug("present");
  ASSERT_TRUE(PollUntil([&] {
    Names arrived = recorder_.All(&os::DriveChanges::arrived);
    std::sort(arrived.begin(), arrived.end());
    return arrived == Names{L"/mnt/a", L"/mnt/b"} && recorder_.Removed({L"/mnt/present"});
  }));
  for (const auto& call : recorder_.Calls()) {
    EXPECT_TRUE(std::is_sorted(call.arrived.begin(), call.arrived.end()));
  }
  Unplug("a");
  Unplug("b");
  ASSERT_TRUE(PollUntil([&] {
    Names removed = recorder_.All(&os::DriveChanges::removed);
    std::sort(removed.begin(), removed.end());
    return removed == Names{L"/mnt/a", L"/mnt/b", L"/mnt/present"};
  }));
}

// Voluntary and forced context switches of the thread named name.
long ContextSwitches(const std::string& name) {
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    if (testing_support::ReadFile(task.path() / "comm") != name + "\n") continue;
    std::ifstream status(task.path() / "status");
    long total = 0;
    for (std::string line; std::getline(status, line);) {
      if (line.find("ctxt_switches:") != std::string::npos) {
        total += std::stol(line.substr(line.find(':') + 1));
      }
    }
    return total;
  }
  return -1;
}

TEST_F(MountMonitorInside, DISABLED_SleepsWhileTheTableIsQuiet) {
  ASSERT_TRUE(monitor_.Start());
  long before = -1;
  // Once in poll() the count stops moving.
  ASSERT_TRUE(PollUntil([&] {
    const long now = ContextSwitches("mount-monitor");
    const bool settled = now >= 0 && now == before;
    before = now;
    return settled;
  }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(ContextSwitches("mount-monitor"), before);
  Plug("wake");
  ASSERT_TRUE(PollUntil([&] { return recorder_.Arrived({L"/mnt/wake"}); }));
  EXPECT_GT(ContextSwitches("mount-monitor"), before);
}

TEST_F(MountMonitorInside, DISABLED_StopsPromptlyAndStartsAgain) {
  ASSERT_TRUE(monitor_.Start());
  const auto start = std::chrono::steady_clock::now();
  monitor_.Stop();
  monitor_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(ContextSwitches("mount-monitor"), -1);
  ASSERT_TRUE(monitor_.Start());
  Plug("again");
  ASSERT_TRUE(PollUntil([&] { return recorder_.Arrived({L"/mnt/again"}); }));
}

}  // namespace
