// Added items on real directories: the copy, the missing levels, the add
// strategies against an existing different target, and the history rows of
// each failure (faults injected through the platform layer's hook).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "handler_test_fixture.h"
#include "os/file_ops.h"
#include "sync/change_handlers.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::ReadFile;

class AddedHandlingTest : public HandlerTest {
 protected:
  static ChangeRecord Added(const std::wstring& name, bool source_side = true) {
    return Record(1, name, source_side);
  }
};

TEST_F(AddedHandlingTest, FileInMissingDirectoriesIsCopiedAfterTheLevelsAreAnnouncedAndMade) {
  Write(src_ / "x/y/a.txt", "alpha");

  EXPECT_TRUE(handlers_->ApplyAdded(task_, Added(L"x/y/a.txt")));

  EXPECT_EQ(ReadFile(dst_ / "x/y/a.txt"), "alpha");
  EXPECT_EQ(fs::last_write_time(dst_ / "x/y/a.txt"), fs::last_write_time(src_ / "x/y/a.txt"));
  // The watch thread drops the notifications of what the engine made.
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "x")));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "x/y")));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "x/y/a.txt")));
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(AddedHandlingTest, DirectoryIsCreatedWithItsContentsAndABadFileDoesNotFailTheRecord) {
  Write(src_ / "d/one.txt", "1");
  Write(src_ / "d/sub/two.txt", "2");
  Write(src_ / "d/bad.txt", "3");
  FailOn("copy-create", dst_ / "d/bad.txt", ENOSPC);

  EXPECT_TRUE(handlers_->ApplyAdded(task_, Added(L"d")));

  EXPECT_EQ(ReadFile(dst_ / "d/one.txt"), "1");
  EXPECT_EQ(ReadFile(dst_ / "d/sub/two.txt"), "2");
  EXPECT_FALSE(fs::exists(dst_ / "d/bad.txt"));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "d")));
}

TEST_F(AddedHandlingTest, StrategyDecidesWhetherAMissingTargetIsCreated) {
  struct Case {
    AddStrategy strategy;
    bool back;
    bool copied;
  };
  const Case cases[] = {
      {AddOverwrite, false, true},
      {AddKeepBackup, false, true},
      {AddIgnore, false, false},
      // A two-way task's new destination item always comes back.
      {AddIgnore, true, true},
      // Outside the known values: like overwrite while the target is missing.
      {static_cast<AddStrategy>(7), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "strategy " << c.strategy << " back " << c.back);
    const fs::path& from = c.back ? dst_ : src_;
    const fs::path& to = c.back ? src_ : dst_;
    fs::remove_all(to / "n.txt");
    Write(from / "n.txt", "new");
    task_.enAddStrategy = c.strategy;
    const BOOL result = c.back ? handlers_->ApplyAddedBack(task_, Added(L"n.txt", false))
                               : handlers_->ApplyAdded(task_, Added(L"n.txt"));
    EXPECT_TRUE(result);
    EXPECT_EQ(fs::exists(to / "n.txt"), c.copied);
    fs::remove(from / "n.txt");
  }
}

TEST_F(AddedHandlingTest, StrategyDecidesWhatHappensToADifferentExistingTarget) {
  struct Case {
    AddStrategy strategy;
    bool back;
    std::string target_after;
    std::string backup_after;  // empty: no backup file
  };
  const Case cases[] = {
      {AddOverwrite, false, "new contents", ""},
      {AddOverwrite, true, "new contents", ""},
      // The older backup goes, the current target becomes the backup.
      {AddKeepBackup, false, "new contents", "old"},
      {AddKeepBackup, true, "new contents", "old"},
      {AddIgnore, false, "old", "older backup"},
      {static_cast<AddStrategy>(7), false, "old", "older backup"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "strategy " << c.strategy << " back " << c.back);
    const fs::path& from = c.back ? dst_ : src_;
    const fs::path& to = c.back ? src_ : dst_;
    Write(from / "report.txt", "new contents");
    Write(to / "report.txt", "old");
    fs::remove(to / "report_syncbak.txt");
    if (c.strategy != AddOverwrite) Write(to / "report_syncbak.txt", "older backup");
    task_.enAddStrategy = c.strategy;

    const BOOL result = c.back ? handlers_->ApplyAddedBack(task_, Added(L"report.txt", false))
                               : handlers_->ApplyAdded(task_, Added(L"report.txt"));

    EXPECT_TRUE(result);
    EXPECT_EQ(ReadFile(to / "report.txt"), c.target_after);
    if (c.backup_after.empty()) {
      EXPECT_FALSE(fs::exists(to / "report_syncbak.txt"));
    } else {
      EXPECT_EQ(ReadFile(to / "report_syncbak.txt"), c.backup_after);
    }
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(AddedHandlingTest, SameFileTestChosenByTheFileSystemFlag) {
  struct Case {
    BOOL same_file_system;
    bool same_size;
    bool same_time;
    bool copied;
  };
  // Whichever test the flag picks, size and time must both agree: an edit
  // that keeps the size still travels.
  const Case cases[] = {
      {FALSE, true, true, false}, {FALSE, true, false, true}, {FALSE, false, true, true},
      {TRUE, true, true, false},  {TRUE, true, false, true},  {TRUE, false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.same_file_system << c.same_size << c.same_time);
    Write(src_ / "a.txt", "source");
    Write(dst_ / "a.txt", c.same_size ? "target" : "other target");
    // Times well in the past: a file written moments ago is compared by its bytes.
    const auto when = fs::last_write_time(src_ / "a.txt") - std::chrono::hours(1);
    fs::last_write_time(src_ / "a.txt", when);
    fs::last_write_time(dst_ / "a.txt", c.same_time ? when : when - std::chrono::seconds(5));
    ChangeRecord record = Added(L"a.txt");
    record.bSameFileSystem = c.same_file_system;

    EXPECT_TRUE(handlers_->ApplyAdded(task_, record));
    EXPECT_EQ(ReadFile(dst_ / "a.txt") == "source", c.copied);
  }
}

TEST_F(AddedHandlingTest, ExistingDirectoryTargetIsLeftAloneWhenOverwriting) {
  Write(src_ / "a.txt", "file");
  Write(dst_ / "a.txt/inside", "kept");

  EXPECT_TRUE(handlers_->ApplyAdded(task_, Added(L"a.txt")));
  EXPECT_EQ(ReadFile(dst_ / "a.txt/inside"), "kept");
}

struct FailureCase {
  const char* name;
  bool back;
  AddStrategy strategy;
  std::function<void(const fs::path& from, const fs::path& to)> arrange;
  std::vector<std::string> rows;
};

TEST_F(AddedHandlingTest, FailuresAreRecordedWithTheirRows) {
  const auto item_missing = [](const fs::path&, const fs::path&) {};
  const auto disk_full = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    FailOn("copy-create", to / "a.txt", ENOSPC);
  };
  const auto denied = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    FailOn("copy-create", to / "a.txt", EACCES);
  };
  const auto existing_disk_full = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    Write(to / "a.txt", "old contents");
    FailOn("copy-create", to / "a.txt", ENOSPC);
  };
  const std::vector<FailureCase> cases = {
      {"A1",
       false,
       AddOverwrite,
       item_missing,
       {"CopyData|2|1945|Cannot access source file|/src/a.txt|/dst/a.txt"}},
      {"B1",
       true,
       AddOverwrite,
       item_missing,
       {"CopyData|0|3239|Cannot access source file|/dst/a.txt|/src/a.txt"}},
      {"A2",
       false,
       AddOverwrite,
       disk_full,
       {"CopyData|112|1976|Copy file failed|/src/a.txt|/dst/a.txt"}},
      {"B2",
       true,
       AddOverwrite,
       disk_full,
       {"CopyData|112|3266|Cannot copy file|/dst/a.txt|/src/a.txt"}},
      {"A3", false, AddOverwrite, denied, {"CreateFile|5|2008|2009|/src/a.txt|/dst/a.txt"}},
      {"B3",
       true,
       AddOverwrite,
       denied,
       {"CopyData|5|3299|Cannot copy file|/dst/a.txt|/src/a.txt"}},
      {"E1",
       false,
       AddOverwrite,
       existing_disk_full,
       {"CopyData|112|5541| |/src/a.txt|/dst/a.txt"}},
      {"B5",
       true,
       AddOverwrite,
       existing_disk_full,
       {"CopyData|112|3130|Cannot copy file|/dst/a.txt|/src/a.txt"}},
      {"E5",
       false,
       AddKeepBackup,
       existing_disk_full,
       {"CopyData|112|5623|Copy file failed|/src/a.txt|/dst/a.txt"}},
      {"B9",
       true,
       AddKeepBackup,
       existing_disk_full,
       {"CopyData|112|3213|Cannot copy file|/dst/a.txt|/src/a.txt"}},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    fs::create_directories(src_);
    fs::create_directories(dst_);
    task_.enAddStrategy = c.strategy;
    c.arrange(c.back ? dst_ : src_, c.back ? src_ : dst_);
    const size_t before = History().size();

    const BOOL result = c.back ? handlers_->ApplyAddedBack(task_, Added(L"a.txt", false))
                               : handlers_->ApplyAdded(task_, Added(L"a.txt"));
    os::SetFileFaultForTest({});

    EXPECT_FALSE(result);
    std::vector<std::string> rows = History();
    rows.erase(rows.begin(), rows.begin() + before);
    EXPECT_EQ(rows, c.rows);
  }
}

TEST_F(AddedHandlingTest, KeepBackupNeverOverwritesWhenTheBackupCannotBeMade) {
  for (const bool back : {false, true}) {
    SCOPED_TRACE(back ? "back" : "to destination");
    const fs::path& from = back ? dst_ : src_;
    const fs::path& to = back ? src_ : dst_;
    Write(from / "r.txt", "new");
    Write(to / "r.txt", "only copy of the old");
    Write(to / "r_syncbak.txt", "older backup");
    task_.enAddStrategy = AddKeepBackup;
    FailOn("unlink", to / "r_syncbak.txt", EACCES);

    const BOOL result = back ? handlers_->ApplyAddedBack(task_, Added(L"r.txt", false))
                             : handlers_->ApplyAdded(task_, Added(L"r.txt"));
    os::SetFileFaultForTest({});

    EXPECT_FALSE(result);
    EXPECT_EQ(ReadFile(to / "r.txt"), "only copy of the old");
    EXPECT_EQ(ReadFile(to / "r_syncbak.txt"), "older backup");
    // The refused delete and rename are withdrawn from the echo maps.
    EXPECT_FALSE(shared_.DeleteFilterMap.Contains(W(to / "r_syncbak.txt")));
    EXPECT_FALSE(shared_.RenameMap.Contains(W(to / "r_syncbak.txt")));
  }
  EXPECT_THAT(History(),
              ElementsAre("DeleteFile|5|5589|Delete file failed|/dst/r.txt|/dst/r_syncbak.txt",
                          "RenameFile|183|5608| |/dst/r.txt|/dst/r_syncbak.txt",
                          "DeleteFile|5|3181|Cannot delete file|/src/r_syncbak.txt|/src/r.txt",
                          "RenameFile|183|3200|Cannot rename file|/src/r.txt|/src/r_syncbak.txt"));
}

TEST_F(AddedHandlingTest, KeepBackupAnnouncesTheBackupRenameAndFailedRenameKeepsTarget) {
  Write(src_ / "r.txt", "new");
  Write(dst_ / "r.txt", "the old one");
  task_.enAddStrategy = AddKeepBackup;

  EXPECT_TRUE(handlers_->ApplyAdded(task_, Added(L"r.txt")));
  EXPECT_TRUE(shared_.RenameMap.Consume(W(dst_ / "r_syncbak.txt"), {L"Docs", W(dst_ / "r.txt")}));

  Write(src_ / "r.txt", "newer contents");
  fs::remove(dst_ / "r_syncbak.txt");
  FailOn("rename", dst_ / "r.txt", EACCES);
  EXPECT_FALSE(handlers_->ApplyAdded(task_, Added(L"r.txt")));
  os::SetFileFaultForTest({});
  EXPECT_EQ(ReadFile(dst_ / "r.txt"), "new");
  EXPECT_THAT(History(), ElementsAre("RenameFile|5|5608| |/dst/r.txt|/dst/r_syncbak.txt"));
}

TEST_F(AddedHandlingTest, KeepBackupOfAVanishedTargetIsRecorded) {
  Write(src_ / "a.txt", "new");
  task_.enAddStrategy = AddKeepBackup;

  EXPECT_FALSE(handlers_->ApplyAddedExisting(task_, Added(L"a.txt")));
  EXPECT_THAT(History(), ElementsAre("RenameFile|2|5559|Cannot access destination path|"
                                     "/src/a.txt|/dst/a.txt"));
}

}  // namespace
