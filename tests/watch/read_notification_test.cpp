// Decoding hand-built notification buffers: echoes, collapsing, rename
// pairing and the task filters.
#include "watch/read_notification.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "os/directory_watch.h"
#include "test_support.h"

namespace {

// Lays records out as a completed read does: 4-byte aligned, each pointing to
// the next, the last with offset 0.
class Buffer {
 public:
  Buffer& Add(DWORD action, const std::wstring& name) {
    const std::size_t head = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    const std::size_t length = (head + name.size() * sizeof(wchar_t) + 3) & ~std::size_t{3};
    if (last_ != kNone) {
      reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes_.data() + last_)->NextEntryOffset =
          static_cast<DWORD>(bytes_.size() - last_);
    }
    last_ = bytes_.size();
    bytes_.resize(bytes_.size() + length, 0);
    auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes_.data() + last_);
    record->Action = action;
    record->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(record->FileName, name.data(), name.size() * sizeof(wchar_t));
    return *this;
  }
  const char* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  alignas(8) std::vector<char> bytes_;
  std::size_t last_ = kNone;
};

class DecodeTest : public ::testing::Test {
 protected:
  DecodeTest() : shared_(map_, [this] { ++wakes_; }) {
    task_.strWatchTaskName = L"docs";
    task_.strSrcWatchPath = L"/home/u/docs";
    task_.strDestWatchPath = L"/backup/docs";
    task_.bSyncNow = TRUE;
    task_.bBidirectional = TRUE;
    task_.strSrcFileSystem = L"UNKNOW/";
    task_.strDestFileSystem = L"unknow/";
  }
  std::vector<ChangeRecord> Queued() {
    std::vector<ChangeRecord> out;
    while (auto r = shared_.m_ChangeQueue.TakeFront()) out.push_back(*r);
    return out;
  }
  void Decode(const Buffer& b, BOOL source = TRUE) {
    DecodeNotifications(b.data(), b.size(), task_, source, shared_);
  }
  static std::vector<std::wstring> Names(const std::vector<ChangeRecord>& records) {
    std::vector<std::wstring> names;
    for (const auto& r : records) names.push_back(r.strFileName);
    return names;
  }

  WatchTaskMap map_;
  int wakes_ = 0;
  WatchShared shared_;
  WatchTask task_;
};

TEST_F(DecodeTest, OwnCopyIsDroppedOnceAndOnlyForItsTask) {
  shared_.AddFilterMap.Insert(L"/backup/docs/a.txt", L"docs");
  shared_.AddFilterMap.Insert(L"/backup/docs/b.txt", L"other");
  Decode(Buffer().Add(1, L"a.txt").Add(1, L"b.txt"), FALSE);
  Decode(Buffer().Add(1, L"a.txt"), FALSE);
  const auto records = Queued();
  EXPECT_EQ(Names(records), (std::vector<std::wstring>{L"b.txt", L"a.txt"}));
  EXPECT_EQ(shared_.AddFilterMap.Size(), 1u);  // the other task's entry stays
  EXPECT_EQ(records[0].bSourceSide, FALSE);
  EXPECT_EQ(records[0].bSameFileSystem, TRUE);  // names compared ignoring case
  EXPECT_EQ(wakes_, 1);  // woken once, when the first record found the queue empty
}

TEST_F(DecodeTest, RemovalAndRenameEchoesAreConsumed) {
  shared_.DeleteFilterMap.Insert(L"/home/u/docs/gone", L"docs");
  shared_.RenameMap.Insert(L"/home/u/docs/new", {L"docs", L"/home/u/docs/old"});
  shared_.RenameMap.Insert(L"/home/u/docs/n2", {L"docs", L"/home/u/docs/not-o2"});
  Decode(Buffer().Add(2, L"gone").Add(4, L"old").Add(5, L"new").Add(4, L"o2").Add(5, L"n2"));
  const auto records = Queued();
  ASSERT_EQ(records.size(), 1u);  // only the rename whose old path differs
  EXPECT_EQ(records[0].dwAction, 5u);
  EXPECT_EQ(records[0].strFileName, L"o2");
  EXPECT_EQ(records[0].strNewFileName, L"n2");
  EXPECT_EQ(shared_.DeleteFilterMap.Size(), 0u);
  EXPECT_EQ(shared_.RenameMap.Size(), 1u);
}

TEST_F(DecodeTest, RepeatedModificationsOfOneFileCollapseButOtherFilesAreKept) {
  // Each file of a run of modifications is a change of its own: none may be lost.
  Decode(Buffer().Add(3, L"a").Add(3, L"b").Add(3, L"c"));
  EXPECT_EQ(Names(Queued()), (std::vector<std::wstring>{L"a", L"b", L"c"}));
  Decode(Buffer().Add(3, L"a").Add(3, L"a").Add(3, L"a").Add(3, L"b").Add(3, L"b").Add(1, L"z"));
  EXPECT_EQ(Names(Queued()), (std::vector<std::wstring>{L"a", L"b", L"z"}));
}

TEST_F(DecodeTest, RenameHalvesPairAndALoneOldNameIsKept) {
  Decode(Buffer().Add(4, L"x/old.txt").Add(5, L"y/new.txt").Add(4, L"last"));
  const auto records = Queued();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].dwAction, 5u);
  EXPECT_EQ(records[0].strFileName, L"x/old.txt");
  EXPECT_EQ(records[0].strNewFileName, L"y/new.txt");
  EXPECT_EQ(records[1].dwAction, 4u);
  EXPECT_EQ(records[1].strNewFileName, L"");
}

TEST_F(DecodeTest, TopLevelOnlyAndOneWayFilters) {
  task_.bNotWatchSubDir = TRUE;
  Decode(Buffer().Add(1, L"sub/f.txt").Add(1, L"g.txt"));
  EXPECT_EQ(Names(Queued()), (std::vector<std::wstring>{L"g.txt"}));

  task_.bNotWatchSubDir = FALSE;
  task_.bBidirectional = FALSE;
  shared_.AddFilterMap.Insert(L"/backup/docs/copy", L"docs");
  Decode(Buffer().Add(1, L"copy").Add(1, L"mine"), FALSE);
  EXPECT_TRUE(Queued().empty());
  // The destination's echo still consumed its entry.
  EXPECT_EQ(shared_.AddFilterMap.Size(), 0u);
}

TEST_F(DecodeTest, ABufferOfTheTaskInFullSyncIsDiscarded) {
  shared_.SetFullSync(L"DOCS");
  Decode(Buffer().Add(1, L"a").Add(2, L"b"));
  EXPECT_TRUE(Queued().empty());
  shared_.SetFullSync(L"other");
  Decode(Buffer().Add(1, L"a"));
  EXPECT_EQ(Queued().size(), 1u);
}

TEST_F(DecodeTest, VolumeRootDropsSystemFoldersAndVanishedItems) {
  testing_support::TempDir root;
  std::filesystem::create_directory(root.path() / "lost+found");
  std::filesystem::create_directory(root.path() / "photos");
  std::ofstream(root.path() / "kept.txt") << "x";
  task_.strSrcWatchPath = root.wstr();
  task_.bSrcIsDrive = TRUE;
  // lost+found counts as a system folder only at a volume root; a temporary
  // directory usually is not one, so only the vanished item is certain here.
  Decode(Buffer()
             .Add(1, L"photos/a.jpg")
             .Add(1, L"vanished.txt")
             .Add(2, L"top-level-removal.txt")
             .Add(3, L"kept.txt"));
  EXPECT_EQ(Names(Queued()),
            (std::vector<std::wstring>{L"photos/a.jpg", L"top-level-removal.txt", L"kept.txt"}));
}

TEST_F(DecodeTest, TruncatedOrMisalignedRecordsEndTheWalk) {
  Buffer b;
  b.Add(1, L"whole.txt");
  // A size that cuts the record's name short must not read past it.
  DecodeNotifications(b.data(), b.size() - 8, task_, TRUE, shared_);
  EXPECT_TRUE(Queued().empty());
  DecodeNotifications(b.data(), b.size(), task_, TRUE, shared_);
  EXPECT_EQ(Queued().size(), 1u);
}

}  // namespace
