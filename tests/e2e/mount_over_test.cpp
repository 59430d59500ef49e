// Volumes mounted on top of a watched tree, at its root or below it: what the
// path shows afterwards is what the task follows, and once the volume is gone
// again the directory it covered is followed as before. Mounting needs a user
// and mount namespace of the test's own, so the work runs in a child.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "c_host.h"
#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::ArriveIn;
using module_host::Files;
using module_host::g_module;
using module_host::TaskInfo;
using module_host::WriteAll;
using testing_support::MountTmpfs;
using testing_support::PollUntil;
using testing_support::RunProcess;

bool Unmount(const fs::path& dir) {
  // The module may hold a file of the volume open for a moment.
  return PollUntil([&] { return RunProcess("/usr/bin/umount", {dir.string()}).exit_code == 0; });
}

TEST(MountOver, WhatAMountShowsInAWatchedTreeIsFollowed) {
  testing_support::TempDir dir;
  const auto run = testing_support::RunTestsInMountNamespace(
      "MountOver.DISABLED_InsideANamespace", {"STRANDEL_TEST_MOUNT_DIR=" + dir.str()});
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

TEST(MountOver, DISABLED_InsideANamespace) {
  const char* base = std::getenv("STRANDEL_TEST_MOUNT_DIR");
  ASSERT_NE(base, nullptr);
  const fs::path src = fs::path(base) / "src";
  const fs::path dst = fs::path(base) / "dst";
  fs::create_directories(src / "sub");
  fs::create_directories(dst);
  TaskInfo info(L"covered", src, dst);
  ASSERT_GE(CHostAddTask(g_module.Monitor(), info.get()), 20000);
  Files files{{"first.txt", "first"}, {"sub/under.txt", "under the mount"}};
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dst, files));

  // A volume below the root, then one on the root itself: its files, those
  // there before the watch saw it and those written after, reach the other
  // side, and so do those written where it was once it is gone.
  for (const std::string at : {"sub/", ""}) {
    ASSERT_TRUE(MountTmpfs(src / at));
    Files on_volume{{at + "early.txt", "on the volume before the watch"}};
    WriteAll(src, on_volume);
    ASSERT_TRUE(ArriveIn(dst, on_volume)) << at;
    on_volume = {{at + "late.txt", "on the volume, watched"}, {at + "deep/late.txt", "deeper"}};
    WriteAll(src, on_volume);
    ASSERT_TRUE(ArriveIn(dst, on_volume)) << at;
    ASSERT_TRUE(Unmount(src / at));
    const Files uncovered{{at + "uncovered.txt", "where the volume was"}};
    WriteAll(src, uncovered);
    ASSERT_TRUE(ArriveIn(dst, uncovered)) << at;
  }
  EXPECT_EQ(module_host::DeleteTask(L"covered"), 0);
}

}  // namespace
