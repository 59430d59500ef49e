// A program on one side of a two-way task that changes the same names over
// and over, faster than the module's copies and deletions on the other side
// are read back by the watch. Every one of those notifications is the
// module's own, however many pile up for one name before they are read:
// none may come back to delete or replace what the program made.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::AddTaskOver;
using module_host::Files;
using module_host::HasContent;
using module_host::Rows;
using module_host::Ways;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::TempDir;

constexpr int kRounds = 3000;

TEST(TwoWayBurstTest, ChangesOfOneNameInQuickSuccessionNeverComeBack) {
  TempDir dir;
  const fs::path left = dir.path() / "left";
  const fs::path right = dir.path() / "right";
  ASSERT_GE(AddTaskOver(L"burst", left, right, Ways::kTwo), 20000);

  // A lock file taken and let go, as git and editors do, and a file
  // rewritten in place; both end in a last state that must hold.
  for (int round = 0; round < kRounds; ++round) {
    Write(right / "lock", "taken " + std::to_string(round));
    ASSERT_EQ(::unlink((right / "lock").c_str()), 0) << round;
    Write(right / "state.txt", "state " + std::to_string(round));
  }
  Write(right / "lock", "held");
  // The worker takes changes in order: once the marker has crossed, every
  // change before it has been applied (the copies it made along the way may
  // show the last contents early).
  Write(right / "marker", "last");
  // Thousands of changes: an instrumented build on a busy machine needs a while.
  ASSERT_TRUE(
      PollUntil([&] { return HasContent(left / "marker", "last"); }, std::chrono::seconds(90)));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const std::string last_state = "state " + std::to_string(kRounds - 1);
  EXPECT_TRUE(HasContent(right / "lock", "held"));
  EXPECT_TRUE(HasContent(right / "state.txt", last_state));
  EXPECT_TRUE(HasContent(left / "lock", "held"));
  EXPECT_TRUE(HasContent(left / "state.txt", last_state));
  // Everything came from the right-hand side: nothing was a change of the left.
  EXPECT_EQ(Rows("SELECT lAction, lChangedFile, lInfo FROM SyncLog WHERE lTaskName='burst' "
                 "AND lSourceDirChanged=1"),
            std::vector<std::string>{});
  EXPECT_EQ(module_host::DeleteTask(L"burst"), 0);
}

// A handful of names created, deleted and renamed onto one another in quick
// succession, as a build or a mail program does: the module's renames on the
// other side land on names its copies wrote a moment before. No version it
// wrote may be taken for a change of that side and sent back over a newer one.
TEST(TwoWayBurstTest, NamesPassedAroundOnOneSideEndTheSameOnBoth) {
  TempDir dir;
  const fs::path left = dir.path() / "left";
  const fs::path right = dir.path() / "right";
  ASSERT_GE(AddTaskOver(L"names", left, right, Ways::kTwo), 20000);

  constexpr int kNames = 8;
  constexpr int kBatches = 40;
  constexpr int kBatch = 400;
  std::mt19937 random(7);
  Files written;
  auto name = [](int k) { return "tmp" + std::to_string(k); };
  auto holds = [&](const fs::path& side) {
    Files found;
    for (const auto& entry : fs::directory_iterator(side)) {
      found[entry.path().filename().string()] = testing_support::ReadFile(entry.path());
    }
    return found == written;
  };
  // Each batch is left to cross before the next, so the module's work on the
  // other side interleaves with the notifications of its own earlier writes.
  for (int change = 0; change < kBatches * kBatch; ++change) {
    const int k = static_cast<int>(random() % kNames);
    const int to = static_cast<int>(random() % kNames);
    // At a script's pace, not a tight loop's: the module keeps up in between.
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    if (written.count(name(k)) == 0) {
      // Contents of one length, so only the bytes tell two versions apart.
      char content[32];
      std::snprintf(content, sizeof content, "change %08d\n", change);
      Write(right / name(k), content);
      written[name(k)] = content;
    } else if (random() % 2 == 0 || written.count(name(to)) != 0) {
      ASSERT_EQ(::unlink((right / name(k)).c_str()), 0) << change;
      written.erase(name(k));
    } else {
      fs::rename(right / name(k), right / name(to));
      written[name(to)] = written[name(k)];
      written.erase(name(k));
    }
    if ((change + 1) % kBatch == 0) {
      ASSERT_TRUE(PollUntil([&] { return holds(left) && holds(right); }, std::chrono::seconds(30)))
          << "after change " << change;
    }
  }
  EXPECT_EQ(Rows("SELECT lAction, lChangedFile, lInfo FROM SyncLog WHERE lTaskName='names' "
                 "AND lSourceDirChanged=1"),
            std::vector<std::string>{});
  EXPECT_EQ(module_host::DeleteTask(L"names"), 0);
}

}  // namespace
