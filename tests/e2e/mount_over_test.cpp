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
  EXPECT_EQ(run.process.exit_code, 0) << run.process.output;
  EXPECT_NE(run.process.output.find("[  PASSED  ] 1 test"), std::string::npos)
      << run.process.output;
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

  // Below the root: the volume's files, old and new, reach the other side.
  ASSERT_TRUE(MountTmpfs(src / "sub"));
  Files on_sub{{"sub/early.txt", "on the volume before the watch"}};
  WriteAll(src, on_sub);
  ASSERT_TRUE(ArriveIn(dst, on_sub));
  on_sub = {{"sub/late.txt", "on the volume, watched"}, {"sub/deep/late.txt", "deeper"}};
  WriteAll(src, on_sub);
  ASSERT_TRUE(ArriveIn(dst, on_sub));
  ASSERT_TRUE(Unmount(src / "sub"));
  Files back{{"sub/uncovered.txt", "in the directory the volume covered"}};
  WriteAll(src, back);
  ASSERT_TRUE(ArriveIn(dst, back));

  // On the root itself.
  ASSERT_TRUE(MountTmpfs(src));
  Files on_root{{"root-early.txt", "on the volume"}};
  WriteAll(src, on_root);
  ASSERT_TRUE(ArriveIn(dst, on_root));
  on_root = {{"root-late.txt", "on the volume, watched"}};
  WriteAll(src, on_root);
  ASSERT_TRUE(ArriveIn(dst, on_root));
  ASSERT_TRUE(Unmount(src));
  back = {{"after.txt", "in the root the volume covered"}};
  WriteAll(src, back);
  ASSERT_TRUE(ArriveIn(dst, back));
  EXPECT_EQ(module_host::DeleteTask(L"covered"), 0);
}

}  // namespace
