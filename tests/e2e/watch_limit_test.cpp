// Running out of inotify watches. The test runs again in a child inside a
// user namespace of its own, whose private watch limit it lowers (the
// machine's limit stays as it is): a tree with more directories than watches
// are left is traced and reported, kept in step by full syncs, and every
// other task goes on working.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "c_host.h"
#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::g_module;
using module_host::HasContent;
using module_host::TaskInfo;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::ReadFile;
using testing_support::TempDir;

constexpr char kLimitFile[] = "/proc/sys/user/max_inotify_watches";
constexpr int kWatches = 30;
constexpr int kLargeDirs = 60;

std::string Dir(int d) { return "d" + std::to_string(d); }

int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

int Arrived(const fs::path& dest, const std::string& name, const std::string& content) {
  int count = 0;
  for (int d = 0; d < kLargeDirs; ++d) count += HasContent(dest / Dir(d) / name, content);
  return count;
}

void Sync(const std::wstring& name, const fs::path& source, const fs::path& dest) {
  TaskInfo info(name, source, dest);
  EXPECT_EQ(g_module.Monitor()->SyncWatchTask(info.get()), 0);
}

TEST(WatchLimit, ATreeLargerThanTheWatchesLeftIsKeptInStepByFullSyncs) {
  TempDir dir;
  const auto run = testing_support::RunTestsInMountNamespace(
      "WatchLimit.DISABLED_InsideANamespace",
      {"STRANDEL_TRACE=" + (dir.path() / "trace").string(), "STRANDEL_TEST_DIR=" + dir.str()});
  if (run.refused) GTEST_SKIP() << "no unprivileged user namespace here: " << run.process.output;
  if (run.process.output.find("[  SKIPPED ] 1 test") != std::string::npos) {
    GTEST_SKIP() << run.process.output;
  }
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

TEST(WatchLimit, DISABLED_InsideANamespace) {
  const char* base = std::getenv("STRANDEL_TEST_DIR");
  ASSERT_NE(base, nullptr);
  const fs::path root(base);
  const fs::path trace = root / "trace";
  std::ofstream(kLimitFile) << kWatches << "\n";
  if (ReadFile(kLimitFile) != std::to_string(kWatches) + "\n") {
    GTEST_SKIP() << "no watch limit of the namespace's own in " << kLimitFile;
  }

  // A small task first, within the limit.
  const fs::path small_src = root / "small-src";
  const fs::path small_dst = root / "small-dst";
  fs::create_directories(small_src / "a");
  fs::create_directories(small_src / "b");
  ASSERT_GE(module_host::AddTaskOver(L"small", small_src, small_dst, module_host::Ways::kOne),
            20000);
  Write(small_src / "a" / "first.txt", "first");
  ASSERT_TRUE(PollUntil([&] { return HasContent(small_dst / "a" / "first.txt", "first"); }));

  // Then a tree with more directories than watches are left.
  const fs::path large_src = root / "large-src";
  const fs::path large_dst = root / "large-dst";
  for (int d = 0; d < kLargeDirs; ++d) {
    fs::create_directories(large_src / Dir(d));
    Write(large_src / Dir(d) / "before.txt", "before");
  }
  ASSERT_GE(module_host::AddTaskOver(L"large", large_src, large_dst, module_host::Ways::kOne),
            20000);
  ASSERT_TRUE(PollUntil(
      [&] { return ReadFile(trace).find("inotify watch limit reached") != std::string::npos; }));
  // The changes the watch cannot see: a full sync brings the tree across.
  ASSERT_TRUE(PollUntil([&] { return Arrived(large_dst, "before.txt", "before") == kLargeDirs; },
                        std::chrono::seconds(20)));
  const fs::path report = module_host::g_data->path() / "Report.dat";
  EXPECT_NE(ReadFile(report).find("watch limit is reached: " + large_src.string()),
            std::string::npos)
      << ReadFile(report);
  ASSERT_TRUE(PollUntil([&] {
    const std::string text = ReadFile(trace);
    return Count(text, "StartPlanSync Start") == Count(text, "OnStartPlanning OUT");
  })) << "the full syncs never ended";

  // A file in a directory left unwatched waits for the next full sync, while
  // one in the watched root arrives at once.
  const std::string text = ReadFile(trace);
  const std::string prefix = "cannot watch " + (large_src / "d").string();
  const auto at = text.find(prefix);
  ASSERT_NE(at, std::string::npos) << "no directory of the large tree went unwatched";
  const fs::path unwatched =
      large_src / ("d" + std::to_string(std::stoi(text.substr(at + prefix.size()))));
  Write(unwatched / "after.txt", "after");
  Write(large_src / "marker", "watched");
  ASSERT_TRUE(PollUntil([&] { return HasContent(large_dst / "marker", "watched"); }));
  const fs::path unwatched_copy = large_dst / unwatched.filename() / "after.txt";
  EXPECT_FALSE(fs::exists(unwatched_copy));

  // The task within the limit goes on in real time.
  Write(small_src / "b" / "later.txt", "later");
  EXPECT_TRUE(PollUntil([&] { return HasContent(small_dst / "b" / "later.txt", "later"); }));

  // A task added once no watch is left: its tree is brought across all the same.
  const fs::path late_src = root / "late-src";
  const fs::path late_dst = root / "late-dst";
  fs::create_directories(late_src);
  Write(late_src / "waiting.txt", "waiting");
  ASSERT_GE(module_host::AddTaskOver(L"late", late_src, late_dst, module_host::Ways::kOne), 20000);
  EXPECT_TRUE(PollUntil([&] { return HasContent(late_dst / "waiting.txt", "waiting"); }));

  Sync(L"large", large_src, large_dst);
  EXPECT_TRUE(PollUntil([&] { return HasContent(unwatched_copy, "after"); }));
  Write(small_src / "a" / "last.txt", "last");
  EXPECT_TRUE(PollUntil([&] { return HasContent(small_dst / "a" / "last.txt", "last"); }));
  for (const wchar_t* task : {L"small", L"large", L"late"}) {
    EXPECT_EQ(module_host::DeleteTask(task), 0) << task;
  }
}

}  // namespace
