// A file still being written while the watch restarts (another task added),
// and a two-way task's item that exists on one side only, through the
// library on real directories.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "c_host.h"
#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::AddTaskOver;
using module_host::g_module;
using module_host::HasContent;
using module_host::Rows;
using module_host::TaskInfo;
using module_host::Ways;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::TempDir;

class WatchRestartTest : public ::testing::Test {
 protected:
  LONG Add(TaskInfo& info) { return CHostAddTask(g_module.Monitor(), info.get()); }
  static void Append(int fd, const std::string& text) {
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // "action|error" of the task's finished changes of name, oldest first.
  static std::vector<std::string> Finishes(const std::string& task, const std::string& name) {
    return Rows(
        "SELECT lAction, lErrorNO FROM SyncLog WHERE lOperation='SyncFinish' AND "
        "lTaskName='" +
        task + "' AND lChangedFile LIKE '%" + name + "' ORDER BY SN");
  }
  static std::vector<std::string> Failures(const std::string& task) {
    return Rows(
        "SELECT lOperation, lChangedFile, lErrorNO, lLineNO FROM SyncLog WHERE "
        "lTaskName='" +
        task + "' AND lErrorNO<>0");
  }
  TempDir dir_;
};

TEST_F(WatchRestartTest, ANewFileOpenAcrossARestartArrivesWithItsFinalContents) {
  const fs::path src = dir_.path() / "src", dst = dir_.path() / "dst";
  const fs::path other_src = dir_.path() / "other-src", other_dst = dir_.path() / "other-dst";
  for (const auto& d : {src, dst, other_src, other_dst}) fs::create_directories(d);
  TaskInfo info(L"open-across", src, dst);
  info->bBidirectional = TRUE;
  ASSERT_GE(Add(info), 20000);
  Write(src / "ready", "r");
  ASSERT_TRUE(PollUntil([&] { return fs::exists(dst / "ready"); }));

  const int fd = ::open((src / "growing.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  Append(fd, "first line\n");
  // Adding a task restarts the watch; the new task's own change shows the
  // new watch live.
  TaskInfo other(L"open-across-other", other_src, other_dst);
  ASSERT_GE(Add(other), 20000);
  Write(other_src / "marker", "m");
  ASSERT_TRUE(PollUntil([&] { return fs::exists(other_dst / "marker"); }));
  Append(fd, "second line\n");
  ASSERT_EQ(::close(fd), 0);

  ASSERT_TRUE(
      PollUntil([&] { return HasContent(dst / "growing.log", "first line\nsecond line\n"); }));
  // The history tells of an addition, and of nothing that failed.
  EXPECT_TRUE(PollUntil([&] {
    const auto rows = Finishes("open-across", "growing.log");
    return !rows.empty() && rows.front() == "1|0";
  })) << testing::PrintToString(Finishes("open-across", "growing.log"));
  EXPECT_EQ(Failures("open-across"), std::vector<std::string>{});
  EXPECT_EQ(module_host::DeleteTask(L"open-across-other"), 0);
  EXPECT_EQ(module_host::DeleteTask(L"open-across"), 0);
}

TEST_F(WatchRestartTest, TwoWayItemOnOneSideOnlyIsMadeOnTheOtherWhenModified) {
  const fs::path left = dir_.path() / "left", right = dir_.path() / "right";
  fs::create_directories(left);
  fs::create_directories(right);
  Write(left / "only-left.txt", "v1");
  Write(right / "only-right.txt", "v1");
  ASSERT_GE(AddTaskOver(L"one-side", left, right, Ways::kTwo), 20000);
  // The task's watch is live once a new file crosses.
  Write(left / "ready", "r");
  ASSERT_TRUE(PollUntil([&] { return fs::exists(right / "ready"); }));
  ASSERT_FALSE(fs::exists(right / "only-left.txt"));
  ASSERT_FALSE(fs::exists(left / "only-right.txt"));

  Write(left / "only-left.txt", "v2");
  Write(right / "only-right.txt", "v2");
  EXPECT_TRUE(PollUntil([&] {
    return HasContent(right / "only-left.txt", "v2") && HasContent(left / "only-right.txt", "v2");
  }));
  EXPECT_TRUE(PollUntil([&] {
    return Finishes("one-side", "only-left.txt") == std::vector<std::string>{"3|0"} &&
           Finishes("one-side", "only-right.txt") == std::vector<std::string>{"3|0"};
  })) << testing::PrintToString(Finishes("one-side", "only-left.txt"))
      << testing::PrintToString(Finishes("one-side", "only-right.txt"));
  EXPECT_EQ(Failures("one-side"), std::vector<std::string>{});
  EXPECT_EQ(module_host::DeleteTask(L"one-side"), 0);
}

}  // namespace
