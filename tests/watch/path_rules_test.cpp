#include "watch/path_rules.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "os/volumes.h"
#include "test_support.h"

namespace {

constexpr DWORD kNoIndex = static_cast<DWORD>(-1);

WatchTask Task(DWORD index, const std::wstring& source, const std::wstring& dest,
               bool two_way = false) {
  WatchTask task;
  task.dwTaskIndex = index;
  task.strWatchTaskName = L"task" + std::to_wstring(index);
  task.strSourceDir = source;
  task.strDestDir = dest;
  task.bBidirectional = two_way ? 1 : 0;
  return task;
}

BOOL Legal(const std::wstring& source, const std::wstring& dest,
           const std::vector<WatchTask>& tasks = {}, DWORD excluded_index = kNoIndex,
           int excluded_pos = -1) {
  return IsLegalSyncPath(source, dest, tasks, excluded_index, excluded_pos);
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

TEST(IsLegalSyncPath, OneWayChainBackIntoTheSourceIsRefused) {
  const std::vector<WatchTask> tasks = {Task(1, L"/d/X", L"/d/A")};
  EXPECT_FALSE(Legal(L"/d/A/In", L"/d/X/Sub", tasks));
  // Only a task's source carries files onward.
  EXPECT_TRUE(Legal(L"/d/X/In", L"/d/A/Sub", tasks));
  // /d/A/in -> /d/X -> /d/Y -> /d/A, listed in an order the walk meets late.
  const std::vector<WatchTask> chain = {Task(1, L"/d/Y", L"/d/A"), Task(2, L"/d/X", L"/d/Y")};
  EXPECT_FALSE(Legal(L"/d/A/in", L"/d/X", chain));
  EXPECT_TRUE(Legal(L"/d/B/in", L"/d/X", chain));
}

TEST(IsLegalSyncPath, TwoWayTasksCarryBothWays) {
  const std::vector<WatchTask> two_way = {Task(1, L"/d/P", L"/d/Q", true)};
  EXPECT_FALSE(Legal(L"/d/Q/1", L"/d/P/2", two_way));
  EXPECT_FALSE(Legal(L"/d/P/1", L"/d/Q/2", two_way));
  const std::vector<WatchTask> one_way = {Task(1, L"/d/Q", L"/d/P")};
  EXPECT_TRUE(Legal(L"/d/Q/1", L"/d/P/2", one_way));
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

TEST(IsLegalSyncPath, TracesEachCallAndTheFinalDestination) {
  testing_support::TraceCapture trace;
  const std::vector<WatchTask> tasks = {Task(1, L"/d/X", L"/d/A")};
  ASSERT_FALSE(Legal(L"/d/A/In", L"/d/X/Sub", tasks));
  const std::vector<std::string> expected = {
      "[Strandel]IsLegalSyncPath(/d/A/In /d/X/Sub) In\n",
      "[Strandel]IsLegalSyncPath(/d/A/In /d/A) In\n",
      "[Strandel]IsLegalSyncPath(/d/A/In /d/A) OUT bRet=0\n",
  };
  EXPECT_EQ(trace.Lines(), expected);
}

TEST(SplitFilterString, FirstEmptyPieceEndsTheList) {
  std::vector<std::wstring> list;
  EXPECT_EQ(SplitFilterString(&list, L"*.bmp;*.bat", L';', FALSE), 2);
  EXPECT_EQ(list, (std::vector<std::wstring>{L"*.bmp", L"*.bat"}));
  EXPECT_EQ(SplitFilterString(&list, L"*.bmp;", L';', FALSE), 1);
  EXPECT_EQ(SplitFilterString(&list, L"*.txt;;*.doc", L';', FALSE), 1);
  EXPECT_EQ(list, std::vector<std::wstring>{L"*.txt"});
  EXPECT_EQ(SplitFilterString(&list, L";*.txt", L';', FALSE), 0);
  EXPECT_EQ(SplitFilterString(&list, L" a ; b", L';', FALSE), 2);
  EXPECT_EQ(list, (std::vector<std::wstring>{L" a ", L" b"}));  // blanks kept
  EXPECT_EQ(SplitFilterString(&list, L"*.a|*.b", L'|', TRUE), 4);
  EXPECT_EQ(SplitFilterString(&list, L"", L';', FALSE), 0);
}

TEST(MatchFilters, IncludeAndExclude) {
  EXPECT_TRUE(MatchIncludeFilter(L"anything", {}));
  // "*.*" first accepts even names without a dot, unlike "*.*" elsewhere.
  EXPECT_TRUE(MatchIncludeFilter(L"README", {L"*.*", L"*.never"}));
  EXPECT_FALSE(MatchIncludeFilter(L"README", {L"*.txt", L"*.*"}));
  EXPECT_TRUE(MatchIncludeFilter(L"notes.md", {L"*.txt", L"*.*"}));
  EXPECT_TRUE(MatchIncludeFilter(L"B.TXT", {L"*.doc", L"*.txt"}));

  EXPECT_FALSE(MatchExcludeFilter(L"a.txt", {}));
  EXPECT_TRUE(MatchExcludeFilter(L"a.txt", {L"a*"}));
  EXPECT_FALSE(MatchExcludeFilter(L"b.txt", {L"a*"}));
  EXPECT_TRUE(MatchExcludeFilter(L"b.tmp", {L"a*", L"*.tmp"}));
}

class VolumeRulesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto mountinfo = dir_.path() / "mountinfo";
    std::ofstream(mountinfo) << "22 1 259:2 / / rw shared:1 - ext4 /dev/nvme0n1p2 rw\n"
                                "40 22 8:33 / /media/bob/WIN rw shared:2 - ntfs /dev/sdc1 rw\n"
                                "41 22 8:17 / /mnt/stick rw shared:3 - vfat /dev/sdb1 rw\n"
                                "42 22 8:49 / /mnt/floppy rw - msdos /dev/sdd1 rw\n";
    os::SetVolumeSourcesForTest(mountinfo.string(), dir_.str());
  }
  void TearDown() override { os::SetVolumeSourcesForTest("", ""); }

  testing_support::TempDir dir_;
};

TEST_F(VolumeRulesTest, FileSystemNamesAndTheUnknownFallback) {
  EXPECT_EQ(GetFileSystem(L"/media/bob/WIN/docs"), L"NTFS");
  EXPECT_EQ(GetFileSystem(L"/mnt/stick"), L"FAT32");
  EXPECT_EQ(GetFileSystem(L"/mnt/floppy/a"), L"FAT");

  testing_support::TraceCapture trace;
  EXPECT_EQ(GetFileSystem(L"/home/u"), L"UNKNOW/");
  EXPECT_EQ(GetFileSystem(L""), L"UNKNOW");
  ASSERT_EQ(trace.Lines().size(), 2u);
  EXPECT_EQ(trace.Lines()[0],
            "[Strandel]1419: GetFileSystem failed , unknow filesystem! "
            "szFileSystemNameBuffer=ext4 strDirPathName=/home/u strVolume=/\n");
}

TEST_F(VolumeRulesTest, DrivePresence) {
  EXPECT_NE(IsDriveLetterPresent(L"/home/u"), 0u);
  EXPECT_NE(IsDriveLetterPresent(L"/media/bob/WIN/docs"), 0u);
  EXPECT_EQ(IsDriveLetterPresent(L"/mnt/unplugged"), 0u);
  EXPECT_EQ(IsDriveLetterPresent(L"relative/path"), 0u);
}

}  // namespace
