// Renames on real directories: the four situations at the target (new name
// free, both names taken, only the new name taken, neither), each rename
// strategy, a letter-case rename that finds one file under both names, and
// the failure rows (faults injected through the platform layer's hook).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "handler_test_fixture.h"
#include "os/file_ops.h"
#include "os/text.h"
#include "sync/change_handlers.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::ReadFile;

ino_t Inode(const fs::path& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

class RenameHandlingTest : public HandlerTest {
 protected:
  static ChangeRecord Renamed(const std::wstring& name, const std::wstring& new_name,
                              bool source_side = true) {
    return Record(5, name, source_side, new_name);
  }
};

TEST_F(RenameHandlingTest, FreeNewNameTakesTheCounterpartAndMendsItsContents) {
  for (const bool back : {false, true}) {
    for (const bool current : {true, false}) {
      SCOPED_TRACE(testing::Message() << "back " << back << " already current " << current);
      const fs::path& from = back ? dst_ : src_;
      const fs::path& to = back ? src_ : dst_;
      fs::remove_all(to / "b.txt");
      Write(from / "b.txt", "source");
      // Same size either way: only an up-to-date counterpart is kept as it is.
      Write(to / "a.txt", current ? "source" : "target");
      fs::last_write_time(to / "a.txt", fs::last_write_time(from / "b.txt"));
      const ino_t moved = Inode(to / "a.txt");

      EXPECT_TRUE(back ? handlers_->ApplyRenamedBack(task_, Renamed(L"a.txt", L"b.txt", false))
                       : handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"b.txt")));

      EXPECT_FALSE(fs::exists(to / "a.txt"));
      EXPECT_EQ(ReadFile(to / "b.txt"), "source");
      if (current) {
        EXPECT_EQ(Inode(to / "b.txt"), moved);
      }
      EXPECT_TRUE(shared_.RenameMap.Consume(W(to / "b.txt"), {L"Docs", W(to / "a.txt")}));
    }
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, RenamedDirectoryMovesTheWholeCounterpartTree) {
  fs::create_directories(src_ / "new name");
  Write(dst_ / "old/deep/file.txt", "kept in place");
  const ino_t tree = Inode(dst_ / "old");

  EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"old", L"new name")));
  EXPECT_EQ(Inode(dst_ / "new name"), tree);
  EXPECT_EQ(ReadFile(dst_ / "new name/deep/file.txt"), "kept in place");
  EXPECT_FALSE(fs::exists(dst_ / "old"));
}

TEST_F(RenameHandlingTest, MoveIntoADirectoryNotYetAtTheTargetStillMoves) {
  Write(src_ / "later/made/a.txt", "payload");
  Write(dst_ / "a.txt", "payload");
  // Up to date: same bytes and time, so the move alone brings it in step.
  fs::last_write_time(dst_ / "a.txt", fs::last_write_time(src_ / "later/made/a.txt"));
  const ino_t moved = Inode(dst_ / "a.txt");

  EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"later/made/a.txt")));
  EXPECT_EQ(Inode(dst_ / "later/made/a.txt"), moved);
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "later")));
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, BothNamesTakenFollowTheStrategy) {
  struct Case {
    RenameStrategy strategy;
    bool a_left;
    std::string b_after;
    std::string backup_after;  // empty: none
  };
  const Case cases[] = {
      {RenameInPlace, false, "counterpart", ""},
      // The older backup goes first; the displaced b.txt becomes the backup.
      {RenameKeepBackup, false, "counterpart", "other b"},
      {RenameIgnore, true, "other b", "older backup"},
      {static_cast<RenameStrategy>(5), true, "other b", "older backup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "strategy " << c.strategy);
    fs::remove_all(dst_);
    fs::create_directories(dst_);
    Write(src_ / "b.txt", "counterpart");
    Write(dst_ / "a.txt", "counterpart");
    Write(dst_ / "b.txt", "other b");
    if (c.strategy != RenameInPlace) Write(dst_ / "b_syncbak.txt", "older backup");
    task_.enRenameStrategy = c.strategy;

    EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"b.txt")));
    EXPECT_EQ(fs::exists(dst_ / "a.txt"), c.a_left);
    EXPECT_EQ(ReadFile(dst_ / "b.txt"), c.b_after);
    if (c.backup_after.empty()) {
      EXPECT_FALSE(fs::exists(dst_ / "b_syncbak.txt"));
    } else {
      EXPECT_EQ(ReadFile(dst_ / "b_syncbak.txt"), c.backup_after);
    }
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, OneFileUnderBothNamesIsRenamedWithNothingDeletedOrBackedUp) {
  // A letter-case rename on a case-insensitive target finds the old and the
  // new name to be one file; a second link to one inode is the same to the
  // engine.
  for (const RenameStrategy strategy : {RenameInPlace, RenameKeepBackup}) {
    SCOPED_TRACE(testing::Message() << "strategy " << strategy);
    fs::remove_all(dst_);
    fs::create_directories(dst_);
    Write(src_ / "A.txt", "the only copy");
    Write(dst_ / "a.txt", "the only copy");
    fs::create_hard_link(dst_ / "a.txt", dst_ / "A.txt");
    shared_.DeleteFilterMap.Clear();
    task_.enRenameStrategy = strategy;

    EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"A.txt")));
    EXPECT_EQ(ReadFile(dst_ / "A.txt"), "the only copy");
    EXPECT_FALSE(fs::exists(dst_ / "A_syncbak.txt"));
    EXPECT_EQ(shared_.DeleteFilterMap.Size(), 0u);
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, OnlyNewNameTakenIsReplacedOrBackedUp) {
  struct Case {
    RenameStrategy strategy;
    bool directory_item;
    std::string backup_after;  // empty: none
    bool replaced;
  };
  const Case cases[] = {
      {RenameInPlace, false, "", true},
      {RenameKeepBackup, false, "old b", true},
      {static_cast<RenameStrategy>(5), false, "", false},
      // A renamed directory brings its contents along.
      {RenameInPlace, true, "", true},
      {RenameKeepBackup, true, "old b", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "strategy " << c.strategy << " directory " << c.directory_item);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    if (c.directory_item) {
      Write(src_ / "b.txt/inside.txt", "new");
    } else {
      Write(src_ / "b.txt", "new");
    }
    Write(dst_ / "b.txt", "old b");
    task_.enRenameStrategy = c.strategy;

    EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"b.txt")));
    const fs::path content = c.directory_item ? dst_ / "b.txt/inside.txt" : dst_ / "b.txt";
    if (c.replaced) {
      EXPECT_EQ(ReadFile(content), "new");
    } else {
      EXPECT_EQ(ReadFile(dst_ / "b.txt"), "old b");
    }
    if (c.backup_after.empty()) {
      EXPECT_FALSE(fs::exists(dst_ / "b_syncbak.txt"));
    } else {
      EXPECT_EQ(ReadFile(dst_ / "b_syncbak.txt"), c.backup_after);
    }
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, NeitherNameAtTheTargetBringsTheItemOverWithItsContents) {
  Write(src_ / "p/q/b.txt", "file");
  Write(src_ / "dir/sub/inside.txt", "inside");

  EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"p/q/b.txt")));
  EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"old dir", L"dir")));

  EXPECT_EQ(ReadFile(dst_ / "p/q/b.txt"), "file");
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "p/q")));
  EXPECT_EQ(ReadFile(dst_ / "dir/sub/inside.txt"), "inside");
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RenameHandlingTest, IgnoreLeavesEverythingAsItIs) {
  Write(src_ / "b.txt", "source");
  Write(dst_ / "a.txt", "a");
  task_.enRenameStrategy = RenameIgnore;

  EXPECT_TRUE(handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"b.txt")));
  EXPECT_TRUE(handlers_->ApplyRenamedBack(task_, Renamed(L"b.txt", L"a.txt", false)));
  EXPECT_EQ(ReadFile(dst_ / "a.txt"), "a");
  EXPECT_FALSE(fs::exists(dst_ / "b.txt"));
  EXPECT_FALSE(fs::exists(src_ / "a.txt"));
}

TEST_F(RenameHandlingTest, FailuresAreRecordedWithTheirRows) {
  struct Case {
    const char* name;
    bool back;
    RenameStrategy strategy;
    std::function<void(const fs::path& from, const fs::path& to)> arrange;
    std::vector<std::string> rows;
    std::string b_after;  // the new target's contents afterwards; "-" when gone
  };
  const auto locked_dir_at_b = [](const fs::path& to) {
    Write(to / "b.txt/free.txt", "free");
    Write(to / "b.txt/locked.txt", "locked");
    FailOn("unlink", to / "b.txt/locked.txt", EACCES);
  };
  const std::vector<Case> cases = {
      {"F1",
       false,
       RenameInPlace,
       [](const fs::path&, const fs::path& to) { Write(to / "a.txt", "moved"); },
       {"CopyData|2|1067|Cannot access source file|/src/b.txt|/dst/b.txt"},
       "moved"},
      {"F2",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "longer contents");
         Write(to / "a.txt", "moved");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1087|/dst/b.txt|/src/b.txt|/dst/b.txt"},
       "moved"},
      {"F3",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "x");
         Write(to / "a.txt", "x");
         FailOn("rename", to / "a.txt", EACCES);
       },
       {"RenameFile|5|1104| |/dst/a.txt|/dst/b.txt"},
       "-"},
      {"F3 back",
       true,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "x");
         Write(to / "a.txt", "x");
         FailOn("rename", to / "a.txt", EACCES);
       },
       {"RenameFile|5|2278| |/src/a.txt|/src/b.txt"},
       "-"},
      {"B3",
       false,
       RenameInPlace,
       [](const fs::path&, const fs::path& to) {
         Write(to / "a.txt", "moved");
         Write(to / "b.txt", "other");
       },
       {"CopyData|2|1174|Cannot access source file|/src/b.txt|/dst/b.txt"},
       "moved"},
      {"B4",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "longer contents");
         Write(to / "a.txt", "moved");
         Write(to / "b.txt", "other");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1195| |/src/b.txt|/dst/b.txt"},
       "moved"},
      {"B5",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "x");
         Write(to / "a.txt", "x");
         Write(to / "b.txt", "other");
         FailOn("rename", to / "a.txt", EACCES);
       },
       {"RenameFile|5|1206|/dst/b.txt|/dst/a.txt|/dst/b.txt"},
       "-"},
      {"B2 then B5",
       false,
       RenameInPlace,
       [&](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "x");
         Write(to / "a.txt", "x");
         locked_dir_at_b(to);
       },
       {"DeleteFile|5|1144|Cannot delete directory:/dst/b.txt|/src/b.txt|/dst/b.txt",
        "RenameFile|183|1206|/dst/b.txt|/dst/a.txt|/dst/b.txt"},
       "-"},
      // The backup cannot be made: the displaced b.txt must not be lost.
      {"B6 then B8",
       false,
       RenameKeepBackup,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "x");
         Write(to / "a.txt", "x");
         Write(to / "b.txt", "other");
         FailOn("rename", to / "b.txt", EACCES);
       },
       {"RenameFile|5|1250| |/dst/b.txt|/dst/b_syncbak.txt",
        "RenameFile|183|1298| |/dst/a.txt|/dst/b.txt"},
       "other"},
      {"B7",
       false,
       RenameKeepBackup,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "longer contents");
         Write(to / "a.txt", "moved");
         Write(to / "b.txt", "other");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1287|Copy file failed|/src/b.txt|/dst/b.txt"},
       "moved"},
      // The copy meant to replace b.txt fails: the old b.txt stays whole.
      {"O4",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         Write(to / "b.txt", "old target");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1382|Copy file failed|/src/b.txt|/dst/b.txt"},
       "old target"},
      {"O4 back",
       true,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         Write(to / "b.txt", "old target");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|2559|Copy file failed|/dst/b.txt|/src/b.txt"},
       "old target"},
      {"O2 then O4",
       false,
       RenameInPlace,
       [&](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         locked_dir_at_b(to);
       },
       {"DeleteFile|5|1345|/dst/b.txt|/src/b.txt|/dst/b.txt",
        "CopyData|5|1382|Copy file failed|/src/b.txt|/dst/b.txt"},
       "-"},
      {"O5 then O7",
       false,
       RenameKeepBackup,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         Write(to / "b.txt", "old target");
         Write(to / "b_syncbak.txt", "older backup");
         FailOn("unlink", to / "b_syncbak.txt", EACCES);
       },
       {"DeleteFile|5|1413|/dst/b_syncbak.txt|/src/b.txt|/dst/b_syncbak.txt",
        "RenameFile|183|1452| |/dst/b.txt|/dst/b_syncbak.txt"},
       "old target"},
      {"O8",
       false,
       RenameKeepBackup,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         Write(to / "b.txt", "old target");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1471| |/src/b.txt|/dst/b.txt"},
       "-"},
      {"N1",
       false,
       RenameInPlace,
       [](const fs::path&, const fs::path&) {},
       {"CopyData|2|1498|Cannot access source file|/src/b.txt|/dst/b.txt"},
       "-"},
      {"N1 back",
       true,
       RenameInPlace,
       [](const fs::path&, const fs::path&) {},
       {"CopyData|2|2674|Cannot access source file|/dst/b.txt|/src/b.txt"},
       "-"},
      {"N2",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         FailOn("copy-create", to / "b.txt", ENOSPC);
       },
       {"CopyData|112|1520| |/src/b.txt|/dst/b.txt"},
       "-"},
      {"N4",
       false,
       RenameInPlace,
       [](const fs::path& from, const fs::path& to) {
         Write(from / "b.txt", "new");
         FailOn("copy-create", to / "b.txt", EACCES);
       },
       {"CopyData|5|1587| |/src/b.txt|/dst/b.txt"},
       "-"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    fs::create_directories(src_);
    fs::create_directories(dst_);
    task_.enRenameStrategy = c.strategy;
    shared_.RenameMap.Clear();
    const fs::path& to = c.back ? src_ : dst_;
    c.arrange(c.back ? dst_ : src_, to);
    const size_t before = History().size();

    const BOOL result = c.back
                            ? handlers_->ApplyRenamedBack(task_, Renamed(L"a.txt", L"b.txt", false))
                            : handlers_->ApplyRenamed(task_, Renamed(L"a.txt", L"b.txt"));
    os::SetFileFaultForTest({});

    EXPECT_FALSE(result);
    if (c.b_after == "-") {
      EXPECT_FALSE(fs::is_regular_file(to / "b.txt"));
    } else {
      EXPECT_EQ(ReadFile(to / "b.txt"), c.b_after);
    }
    // A refused rename is withdrawn at once.
    if (c.rows.back().rfind("RenameFile", 0) == 0) {
      const std::string renamed_to = c.rows.back().substr(c.rows.back().rfind('|') + 1);
      EXPECT_FALSE(shared_.RenameMap.Contains(os::FromUtf8(tmp_.str() + renamed_to)));
    }
    std::vector<std::string> rows = History();
    rows.erase(rows.begin(), rows.begin() + before);
    EXPECT_EQ(rows, c.rows);
  }
}

}  // namespace
