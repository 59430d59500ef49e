// Task roots that vanish and come back while the module runs: everything that
// stands in them afterwards reaches the other side, whether it came before
// the watch was back (the full sync's part) or after (the watch's).
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
using module_host::HasContent;
using module_host::TaskInfo;
using module_host::Write;
using module_host::WriteAll;
using testing_support::MountTmpfs;
using testing_support::PollUntil;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

// As "rm -rf" does it: the module may be writing in the tree meanwhile.
bool RemoveTree(const fs::path& dir) {
  return PollUntil([&] {
    std::error_code error;
    fs::remove_all(dir, error);
    return !fs::exists(dir);
  });
}

TEST(GoneRoot, ASourceOrDestinationMadeAgainGetsEveryFile) {
  TempDir dir;
  const fs::path src = dir.path() / "src";
  const fs::path dst = dir.path() / "dst";
  fs::create_directories(src);
  fs::create_directories(dst);
  TaskInfo info(L"remade", src, dst);
  ASSERT_GE(CHostAddTask(g_module.Monitor(), info.get()), 20000);
  Files files{{"first.txt", "first"}};
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dst, files));

  ASSERT_TRUE(RemoveTree(src));
  fs::create_directory(src);
  files = {{"first.txt", "first, made again"}, {"sub/early.txt", "early"}, {"early.txt", "e"}};
  WriteAll(src, files);  // long before the next look for the gone source
  ASSERT_TRUE(ArriveIn(dst, files));
  files.insert({{"late.txt", "late"}, {"sub/deeper/late.txt", "deep"}});
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dst, files));

  ASSERT_TRUE(RemoveTree(dst));
  fs::create_directory(dst);
  ASSERT_TRUE(ArriveIn(dst, files));
  files.insert({"after-dest.txt", "after"});
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dst, files));
  EXPECT_EQ(module_host::DeleteTask(L"remade"), 0);
}

// A source that is a volume of its own, unmounted and mounted again. The test
// runs again in a child inside its own user and mount namespaces, where a
// tmpfs can be mounted without privileges; the inner half does the work.
TEST(GoneRoot, AnUnmountedSourceIsWatchedAgainWhenItsVolumeIsBack) {
  TempDir dir;
  const auto run = testing_support::RunTestsInMountNamespace(
      "GoneRoot.DISABLED_UnmountedSourceInsideANamespace",
      {"STRANDEL_TRACE=" + (dir.path() / "trace").string(),
       "STRANDEL_TEST_MOUNT_DIR=" + dir.str()});
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

TEST(GoneRoot, DISABLED_UnmountedSourceInsideANamespace) {
  const char* base = std::getenv("STRANDEL_TEST_MOUNT_DIR");
  ASSERT_NE(base, nullptr);
  const fs::path vol = fs::path(base) / "vol";
  const fs::path dst = fs::path(base) / "dst";
  const fs::path trace = fs::path(base) / "trace";
  fs::create_directories(vol);
  fs::create_directories(dst);
  ASSERT_TRUE(MountTmpfs(vol));
  TaskInfo info(L"volume", vol, dst);
  ASSERT_GE(CHostAddTask(g_module.Monitor(), info.get()), 20000);
  Files files{{"first.txt", "first"}};
  WriteAll(vol, files);
  ASSERT_TRUE(ArriveIn(dst, files));

  // The module may hold a file of the volume open for a moment.
  ASSERT_TRUE(
      PollUntil([&] { return RunProcess("/usr/bin/umount", {vol.string()}).exit_code == 0; }));
  ASSERT_TRUE(PollUntil(
      [&] { return ReadFile(trace).find(vol.string() + " is gone") != std::string::npos; }));
  Write(vol / "on-the-mount-directory.txt", "never synchronised");
  ASSERT_TRUE(PollUntil(
      [&] {
        return ReadFile(trace).find(vol.string() + " is there again, but not on") !=
               std::string::npos;
      },
      std::chrono::seconds(20)));

  ASSERT_TRUE(MountTmpfs(vol));
  files = {{"early.txt", "before the watch"}};
  WriteAll(vol, files);
  ASSERT_TRUE(ArriveIn(dst, files));
  files.insert({"late.txt", "after the watch"});
  WriteAll(vol, files);
  ASSERT_TRUE(ArriveIn(dst, files));
  EXPECT_FALSE(fs::exists(dst / "on-the-mount-directory.txt"));
  EXPECT_EQ(module_host::DeleteTask(L"volume"), 0);
  EXPECT_TRUE(
      PollUntil([&] { return RunProcess("/usr/bin/umount", {vol.string()}).exit_code == 0; }));
}

}  // namespace
