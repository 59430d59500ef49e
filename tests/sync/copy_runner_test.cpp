// The copy helpers of a full sync: outcomes come back in the order the
// copies were handed in, and a directory resolved for one run of copies is
// not used for the next.
#include "sync/copy_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "os/file_ops.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(CopyRunnerTest, OutcomesComeBackInTheOrderHandedInWhateverFinishesFirst) {
  CopyRunner runner(3);
  std::atomic<bool> first_may_end{false};
  runner.Add(
      [&] {
        while (!first_may_end.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return CopyRunner::Outcome{false, 112};
      },
      1);
  std::atomic<int> later_done{0};
  for (DWORD error = 1; error <= 5; ++error) {
    runner.Add(
        [&, error] {
          ++later_done;
          return CopyRunner::Outcome{error % 2 == 0, error};
        },
        1);
  }
  // The later copies finish while the first is still held.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (later_done.load() < 5 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(later_done.load(), 5);
  EXPECT_EQ(runner.Pending(), 6u);
  first_may_end = true;
  const CopyRunner::Outcome first = runner.TakeOldest();
  EXPECT_FALSE(first.copied);
  EXPECT_EQ(first.error, 112u);
  for (DWORD error = 1; error <= 5; ++error) {
    const CopyRunner::Outcome next = runner.TakeOldest();
    EXPECT_EQ(next.error, error);
    EXPECT_EQ(next.copied, error % 2 == 0);
  }
  EXPECT_EQ(runner.Pending(), 0u);
}

TEST(CopyRunnerTest, EndingWaitsForEveryCopyHandedIn) {
  std::atomic<int> ran{0};
  {
    CopyRunner runner(2);
    for (int i = 0; i < 20; ++i) {
      runner.Add(
          [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            ++ran;
            return CopyRunner::Outcome{true, ERROR_SUCCESS};
          },
          static_cast<uint64_t>(i));
    }
  }
  EXPECT_EQ(ran.load(), 20);
}

TEST(CopyRunnerTest, ADirectoryReplacedBetweenRunsIsResolvedAnew) {
  testing_support::TempDir tmp;
  const fs::path src = tmp.path() / "src";
  const fs::path dst = tmp.path() / "dst";
  fs::create_directories(src);
  fs::create_directories(dst / "d");
  std::ofstream(src / "a") << "a";
  std::ofstream(src / "b") << "b";
  const auto copy = [](const fs::path& from, const fs::path& to) {
    return [from, to] {
      CopyRunner::Outcome outcome;
      outcome.copied = os::CopyFile(os::FromUtf8(from.string()), os::FromUtf8(to.string()), TRUE);
      return outcome;
    };
  };
  // One helper, so the second run meets the directories the first resolved.
  CopyRunner runner(1);
  runner.Add(copy(src / "a", dst / "d" / "a"), 1);
  ASSERT_TRUE(runner.TakeOldest().copied);
  fs::rename(dst / "d", dst / "old");
  fs::create_directories(dst / "d");
  runner.Add(copy(src / "b", dst / "d" / "b"), 2);
  ASSERT_TRUE(runner.TakeOldest().copied);
  EXPECT_TRUE(fs::exists(dst / "d" / "b"));
  EXPECT_FALSE(fs::exists(dst / "old" / "b"));
}

}  // namespace
