// Decoding hand-built notification buffers: echoes, collapsing, rename
// pairing and the task filters.
#include "watch/read_notification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "os/clock.h"
#include "os/directory_watch.h"
#include "test_support.h"

namespace {

// Actions: 1 added, 2 removed, 3 modified, 4 and 5 a rename's old and new name.
using Records = std::initializer_list<std::pair<DWORD, std::wstring>>;

// Lays records out as a completed read does: 4-byte aligned, each pointing to
// the next, the last with offset 0.
std::vector<char> Lay(Records records) {
  constexpr std::size_t kHead = offsetof(FILE_NOTIFY_INFORMATION, FileName);
  std::vector<char> bytes;
  std::size_t last = 0;
  for (const auto& [action, name] : records) {
    const std::size_t at = bytes.size();
    const auto length = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    if (at != 0) {
      reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&bytes[last])->NextEntryOffset =
          static_cast<DWORD>(at - last);
    }
    bytes.resize(at + ((kHead + length + 3) & ~std::size_t{3}), 0);
    auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&bytes[at]);
    record->Action = action;
    record->FileNameLength = length;
    std::memcpy(record->FileName, name.data(), length);
    last = at;
  }
  return bytes;
}

class DecodeTest : public ::testing::Test {
 protected:
  DecodeTest() : shared_(map_, [this] { ++wakes_; }) {
    task_.strWatchTaskName = L"docs";
    task_.strSrcWatchPath = L"/home/u/docs";
    task_.strDestWatchPath = L"/backup/docs";
    task_.bSyncNow = TRUE;
    task_.bBidirectional = TRUE;
  }
  void Decode(Records records, BOOL source = TRUE) {
    const std::vector<char> bytes = Lay(records);
    DecodeNotifications(bytes.data(), bytes.size(), task_, source, shared_);
  }
  // What was queued, as "action:name" or "5:old>new" for a paired rename.
  std::vector<std::wstring> Queued() {
    std::vector<std::wstring> out;
    while (auto r = shared_.m_ChangeQueue.TakeFront()) {
      out.push_back(std::to_wstring(r->dwAction) + L":" + r->strFileName +
                    (r->dwAction == 5 ? L">" + r->strNewFileName : L""));
      shared_.m_ChangeQueue.Done(*r);
    }
    return out;
  }

  WatchTaskMap map_;
  int wakes_ = 0;
  WatchShared shared_;
  WatchTask task_;
};

TEST_F(DecodeTest, OwnChangesAreDroppedOnceAndOnlyForTheirTask) {
  shared_.AddFilterMap.Announce(L"/backup/docs/a.txt", L"docs");
  shared_.AddFilterMap.Announce(L"/backup/docs/b.txt", L"other");
  Decode({{1, L"a.txt"}, {1, L"b.txt"}, {1, L"a.txt"}}, FALSE);
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"1:b.txt", L"1:a.txt"}));
  EXPECT_EQ(shared_.AddFilterMap.Size(), 1u);  // the other task's entry stays
  EXPECT_EQ(wakes_, 1);  // woken once, when the first record found the queue empty

  shared_.DeleteFilterMap.Announce(L"/home/u/docs/gone", L"docs");
  shared_.RenameMap.Announce(L"/home/u/docs/new", {L"docs", L"/home/u/docs/old"});
  shared_.RenameMap.Announce(L"/home/u/docs/n2", {L"docs", L"/home/u/docs/not-o2"});
  Decode({{2, L"gone"}, {4, L"old"}, {5, L"new"}, {4, L"o2"}, {5, L"n2"}, {4, L"moved-out"}});
  // Only the rename whose old path differs from its echo's is kept; an old
  // name without its new half (moved out of the tree) stays on its own.
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"5:o2>n2", L"4:moved-out"}));
  EXPECT_EQ(shared_.DeleteFilterMap.Size(), 0u);
  EXPECT_EQ(shared_.RenameMap.Size(), 1u);
}

// A program on the other side may change one name many times before the
// watch reads the notification of the first copy or removal made for it: each
// write of the engine drops exactly one notification, whatever was written
// since, and a version none of its copies left is a change of its own.
TEST_F(DecodeTest, EveryOwnWriteOfANameIsDroppedHoweverManyAreReadTogether) {
  shared_.DeleteFilterMap.Announce(L"/home/u/docs/lock", L"docs");
  shared_.DeleteFilterMap.Announce(L"/home/u/docs/lock", L"docs");
  shared_.DeleteFilterMap.Announce(L"/home/u/docs/lock", L"docs");
  shared_.DeleteFilterMap.Withdraw(L"/home/u/docs/lock", L"docs");  // that one failed
  Decode({{2, L"lock"}, {2, L"lock"}, {2, L"lock"}});
  EXPECT_EQ(Queued(), std::vector<std::wstring>{L"2:lock"});

  testing_support::TempDir dest;
  task_.strDestWatchPath = dest.wstr();
  const std::filesystem::path file = dest.path() / "state.txt";
  const std::wstring path = JoinWatchPath(dest.wstr(), L"state.txt");
  auto version = [&] {
    os::FileStatus status{};
    EXPECT_TRUE(os::GetFileStatus(path, &status));
    return WrittenEcho{L"docs", {status.size, status.mtime_sec, status.mtime_nsec}};
  };
  std::ofstream(file) << "first copy";
  shared_.WrittenMap.Announce(path, version());
  std::ofstream(file) << "second copy, longer";
  const WrittenEcho second = version();
  shared_.WrittenMap.Announce(path, second);
  // The third copy is announced and not yet in place: the file is still the second's.
  shared_.WrittenMap.Announce(path, {L"docs", {1, 2, 3}});
  Decode({{3, L"state.txt"}, {3, L"other.txt"}, {3, L"state.txt"}}, FALSE);
  EXPECT_EQ(Queued(), std::vector<std::wstring>{L"3:other.txt"});
  // Another writer's version: the change is brought across, the last note is spent.
  std::ofstream(file) << "the user's own";
  Decode({{3, L"state.txt"}}, FALSE);
  EXPECT_EQ(Queued(), std::vector<std::wstring>{L"3:state.txt"});
  EXPECT_EQ(shared_.WrittenMap.Size(), 0u);
}

// The engine copies a name and then renames another file onto it before the
// watch reads the copy's notification: the file is no longer the copy's
// version, yet nobody but the engine touched it. Taken for a user's change,
// the older file would be sent back over the other side's newer one.
TEST_F(DecodeTest, ACopyOverwrittenByTheEnginesOwnRenameIsStillItsOwn) {
  testing_support::TempDir dest;
  task_.strDestWatchPath = dest.wstr();
  const std::wstring path = JoinWatchPath(dest.wstr(), L"tmp2");
  const std::wstring from = JoinWatchPath(dest.wstr(), L"tmp5");
  std::ofstream(dest.path() / "tmp2") << "the copy";
  os::FileStatus copied{};
  ASSERT_TRUE(os::GetFileStatus(path, &copied));
  shared_.WrittenMap.Announce(path, {L"docs", {copied.size, copied.mtime_sec, copied.mtime_nsec}});
  std::ofstream(dest.path() / "tmp5") << "renamed onto it, longer";
  shared_.RenameMap.Announce(path, {L"docs", from});
  std::filesystem::rename(dest.path() / "tmp5", dest.path() / "tmp2");

  Decode({{1, L"tmp2"}, {4, L"tmp5"}, {5, L"tmp2"}}, FALSE);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(shared_.WrittenMap.Size(), 0u);
  EXPECT_EQ(shared_.RenameMap.Size(), 0u);
  // With nothing of the engine's pending, another version is a user's change.
  shared_.WrittenMap.Announce(path, {L"docs", {1, 2, 3}});
  Decode({{1, L"tmp2"}}, FALSE);
  EXPECT_EQ(Queued(), std::vector<std::wstring>{L"1:tmp2"});
}

// An editor's save in the destination renames doc.txt.tmp over doc.txt, the
// very names of a rename the engine may have announced there before. Only
// the one notification of the engine's own rename is dropped, and only while
// it is fresh; an announcement nothing matched never takes a later rename.
TEST_F(DecodeTest, RenameAnnouncementsAreUsedOnceAndLapse) {
  os::FakeClock clock;
  os::SetClock(&clock);
  const std::wstring to = L"/backup/docs/doc.txt";
  const std::pair<std::wstring, std::wstring> from{L"docs", L"/backup/docs/doc.txt.tmp"};
  const std::vector<std::wstring> genuine{L"5:doc.txt.tmp>doc.txt"};

  shared_.RenameMap.Announce(to, from);
  Decode({{4, L"doc.txt.tmp"}, {5, L"doc.txt"}}, FALSE);
  EXPECT_EQ(Queued(), std::vector<std::wstring>{});
  Decode({{4, L"doc.txt.tmp"}, {5, L"doc.txt"}}, FALSE);
  EXPECT_EQ(Queued(), genuine);

  shared_.RenameMap.Announce(to, from);
  clock.Advance(kEchoLifetime - std::chrono::milliseconds(1));
  EXPECT_TRUE(shared_.RenameMap.Contains(to));
  clock.Advance(std::chrono::milliseconds(1));
  EXPECT_FALSE(shared_.RenameMap.Contains(to));
  Decode({{4, L"doc.txt.tmp"}, {5, L"doc.txt"}}, FALSE);
  EXPECT_EQ(Queued(), genuine);
  EXPECT_EQ(shared_.RenameMap.Size(), 0u);

  // Lapsed entries whose names never come again do not pile up.
  shared_.RenameMap.Announce(L"/backup/docs/never", from);
  clock.Advance(kEchoLifetime);
  shared_.RenameMap.Announce(to, from);
  EXPECT_EQ(shared_.RenameMap.Size(), 1u);
  os::SetClock(nullptr);
}

TEST_F(DecodeTest, RepeatedModificationsOfOneFileCollapseButOtherFilesAreKept) {
  // Each file of a run of modifications is a change of its own: none may be lost.
  Decode({{3, L"a"}, {3, L"b"}, {3, L"c"}});
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"3:a", L"3:b", L"3:c"}));
  Decode({{3, L"a"}, {3, L"a"}, {3, L"a"}, {3, L"b"}, {3, L"b"}, {1, L"z"}});
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"3:a", L"3:b", L"1:z"}));
}

TEST_F(DecodeTest, TheTasksOwnFiltersDropChanges) {
  task_.bNotWatchSubDir = TRUE;
  Decode({{1, L"sub/f.txt"}, {1, L"g.txt"}});
  EXPECT_EQ(Queued(), std::vector<std::wstring>{L"1:g.txt"});

  task_.bNotWatchSubDir = FALSE;
  task_.bBidirectional = FALSE;
  shared_.AddFilterMap.Announce(L"/backup/docs/copy", L"docs");
  Decode({{1, L"copy"}, {1, L"mine"}}, FALSE);
  EXPECT_TRUE(Queued().empty());
  // A one-way destination's echo still consumes its entry.
  EXPECT_EQ(shared_.AddFilterMap.Size(), 0u);

  // During the task's full sync an addition or modification is left to
  // another full sync after it (the running one may have listed the name
  // already); the sync's own writes are echoes and ask for nothing. A removal
  // or rename is held until the sync ends, and counts as queued meanwhile.
  shared_.SetFullSync(L"DOCS");
  shared_.AddFilterMap.Announce(L"/backup/docs/synced", L"docs");
  Decode({{1, L"synced"}}, FALSE);
  EXPECT_FALSE(shared_.NeedsFullSync(L"docs"));
  EXPECT_EQ(shared_.AddFilterMap.Size(), 0u);
  Decode({{2, L"b"}});
  EXPECT_FALSE(shared_.NeedsFullSync(L"docs"));
  Decode({{1, L"a"}, {4, L"c"}, {5, L"d"}});
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(shared_.m_ChangeQueue.DepartureQueued(L"docs", TRUE, L"b"));
  EXPECT_TRUE(shared_.m_ChangeQueue.RenameOntoQueued(L"docs", TRUE, L"d/inside"));
  EXPECT_FALSE(shared_.m_ChangeQueue.RenameOntoQueued(L"docs", FALSE, L"d"));
  EXPECT_TRUE(shared_.NeedsFullSync(L"docs"));
  const int wakes = wakes_;
  shared_.ClearFullSync();
  EXPECT_EQ(wakes_, wakes + 1);
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"2:b", L"5:c>d"}));
  EXPECT_FALSE(shared_.m_ChangeQueue.DepartureQueued(L"docs", TRUE, L"b"));
  EXPECT_FALSE(shared_.m_ChangeQueue.RenameOntoQueued(L"docs", TRUE, L"d"));
  shared_.TakeNeedsFullSync();
  shared_.SetFullSync(L"other");
  Decode({{1, L"a"}});
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_FALSE(shared_.NeedsFullSync(L"docs"));

  // At a volume root, changes whose top-level item has vanished are dropped,
  // but not top-level removals. (lost+found counts as a system folder only at
  // a real volume root, which a temporary directory usually is not.)
  testing_support::TempDir root;
  std::filesystem::create_directory(root.path() / "photos");
  task_.strSrcWatchPath = root.wstr();
  task_.bSrcIsDrive = TRUE;
  Decode({{1, L"photos/a.jpg"}, {1, L"vanished.txt"}, {2, L"top-level-removal.txt"}});
  EXPECT_EQ(Queued(), (std::vector<std::wstring>{L"1:photos/a.jpg", L"2:top-level-removal.txt"}));
}

TEST_F(DecodeTest, TruncatedRecordsEndTheWalk) {
  const std::vector<char> bytes = Lay({{1, L"whole.txt"}});
  // A size that cuts the record's name short must not read past it.
  DecodeNotifications(bytes.data(), bytes.size() - 8, task_, TRUE, shared_);
  EXPECT_TRUE(Queued().empty());
  DecodeNotifications(bytes.data(), bytes.size(), task_, TRUE, shared_);
  EXPECT_EQ(Queued().size(), 1u);
}

}  // namespace
