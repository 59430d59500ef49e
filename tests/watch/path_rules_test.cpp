// The loop guard that refuses tasks whose directories would feed into each other.
#include "watch/path_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace {

constexpr DWORD kNoIndex = static_cast<DWORD>(-1);

WatchTask Task(DWORD index, const std::wstring& source, const std::wstring& dest,
               bool two_way = false) {
  WatchTask task;
  task.dwTaskIndex = index;
  task.strWatchTaskName = L"task" + std::to_wstring(index);
  task.strSourceDir = testing_support::NativePath(source);
  task.strDestDir = testing_support::NativePath(dest);
  task.bBidirectional = two_way ? 1 : 0;
  return task;
}

BOOL Legal(const std::wstring& source, const std::wstring& dest,
           const std::vector<WatchTask>& tasks = {}, DWORD excluded_index = kNoIndex,
           int excluded_pos = -1) {
  return IsLegalSyncPath(testing_support::NativePath(source), testing_support::NativePath(dest),
                         tasks, excluded_index, excluded_pos);
}

TEST(IsLegalSyncPath, NestedOrEqualDirectoriesAreRefused) {
  EXPECT_FALSE(Legal(L"/d/A", L"/d/A/B"));
  EXPECT_FALSE(Legal(L"/d/A/B", L"/d/A"));
  EXPECT_FALSE(Legal(L"/d/A", L"/d/A"));
  EXPECT_FALSE(Legal(L"/d/a", L"/d/A"));  // case folded: safe on FAT and SMB targets
  EXPECT_TRUE(Legal(L"/d/A", L"/d/AB"));
  EXPECT_TRUE(Legal(L"/d/AB", L"/d/A"));
  // A trailing separator names the same directory, and the root holds
  // everything: each of these would copy a tree into itself.
  EXPECT_FALSE(Legal(L"/d/A/", L"/d/A/B"));
  EXPECT_FALSE(Legal(L"/d/A//", L"/d/A"));
  EXPECT_FALSE(Legal(L"/", L"/d"));
  EXPECT_FALSE(Legal(L"/d", L"/"));
}

TEST(IsLegalSyncPath, ChainsThroughOtherTasksThatLeadBackAreRefused) {
  const std::vector<WatchTask> x_to_a = {Task(1, L"/d/X", L"/d/A")};
  EXPECT_FALSE(Legal(L"/d/A/In", L"/d/X/Sub", x_to_a));
  EXPECT_TRUE(Legal(L"/d/X/In", L"/d/A/Sub", x_to_a));  // only a source carries files onward
  // /d/A/in -> /d/X -> /d/Y -> /d/A, listed in an order the walk meets late.
  const std::vector<WatchTask> chain = {Task(1, L"/d/Y", L"/d/A"), Task(2, L"/d/X", L"/d/Y")};
  EXPECT_FALSE(Legal(L"/d/A/in", L"/d/X", chain));
  EXPECT_TRUE(Legal(L"/d/B/in", L"/d/X", chain));
  // A two-way task carries both ways, a one-way task forward only.
  const std::vector<WatchTask> two_way = {Task(1, L"/d/P", L"/d/Q", true)};
  EXPECT_FALSE(Legal(L"/d/Q/1", L"/d/P/2", two_way));
  EXPECT_FALSE(Legal(L"/d/P/1", L"/d/Q/2", two_way));
  EXPECT_TRUE(Legal(L"/d/Q/1", L"/d/P/2", {Task(1, L"/d/Q", L"/d/P")}));
}

TEST(IsLegalSyncPath, TheTaskBeingResetIsLeftOut) {
  const std::vector<WatchTask> tasks = {Task(7, L"/d/X", L"/d/A"), Task(8, L"/d/M", L"/d/N")};
  EXPECT_FALSE(Legal(L"/d/A/In", L"/d/X/Sub", tasks, kNoIndex, -1));
  EXPECT_TRUE(Legal(L"/d/A/In", L"/d/X/Sub", tasks, 7, -1));
  EXPECT_TRUE(Legal(L"/d/A/In", L"/d/X/Sub", tasks, kNoIndex, 0));
  EXPECT_FALSE(Legal(L"/d/A/In", L"/d/X/Sub", tasks, 8, 1));
}

TEST(IsLegalSyncPath, TasksThatMapADirectoryBackAndForthDoNotRecurseForever) {
  // X -> Y beside X <-> Y is accepted when added in this order; the walk from
  // X then alternates X, Y, X ... between the two tasks.
  std::vector<WatchTask> tasks = {Task(1, L"/d/X", L"/d/Y")};
  ASSERT_TRUE(Legal(L"/d/X", L"/d/Y", tasks));
  tasks.push_back(Task(2, L"/d/X", L"/d/Y", true));
  EXPECT_TRUE(Legal(L"/d/Z", L"/d/X", tasks));
  EXPECT_FALSE(Legal(L"/d/Y/in", L"/d/X", tasks));
}

// A chain /d/0 -> /d/1 -> ... listed in its own order reaches each directory
// along many paths (through every subset of the later tasks); the walk must
// take each step once, not once per path, or a few dozen tasks never answer.
TEST(IsLegalSyncPath, AChainOfTasksIsWalkedOnceNotOncePerPath) {
  std::vector<WatchTask> chain;
  for (DWORD i = 0; i < 16; ++i) {
    chain.push_back(Task(i, L"/d/" + std::to_wstring(i), L"/d/" + std::to_wstring(i + 1)));
  }
  testing_support::TraceCapture trace;
  EXPECT_TRUE(Legal(L"/d/x", L"/d/0", chain));
  std::size_t steps = 0;
  for (const std::string& line : trace.Lines()) {
    if (line.find(") In") != std::string::npos) ++steps;
  }
  EXPECT_LE(steps, chain.size() + 1);
  EXPECT_FALSE(Legal(L"/d/16/in", L"/d/0", chain));
}

}  // namespace
