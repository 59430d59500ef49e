// Modified items on real directories: which same-file test applies in each
// direction, when a missing counterpart may be created (one-way task, or a
// path announced after an earlier failed write), and the failure rows.
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

class ModifiedHandlingTest : public HandlerTest {
 protected:
  static ChangeRecord Modified(const std::wstring& name, bool source_side = true) {
    return Record(3, name, source_side);
  }
};

TEST_F(ModifiedHandlingTest, ChangedFileOverwritesItsCounterpartAndClearsTheFailedWriteMark) {
  Write(src_ / "a.txt", "edited text");
  Write(dst_ / "a.txt", "text");
  shared_.ModifyFilterMap.Assign(W(dst_ / "a.txt"), L"Docs");

  EXPECT_TRUE(handlers_->ApplyModified(task_, Modified(L"a.txt")));
  EXPECT_EQ(ReadFile(dst_ / "a.txt"), "edited text");
  EXPECT_FALSE(shared_.ModifyFilterMap.Contains(W(dst_ / "a.txt")));
}

TEST_F(ModifiedHandlingTest, SameFileTestDependsOnDirectionAndFileSystem) {
  struct Case {
    bool back;
    BOOL same_file_system;
    const char* target;  // same size as "source" when 6 letters
    std::chrono::nanoseconds skew;
    bool copied;
  };
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  const Case cases[] = {
      // Across file systems too, size and time must both agree.
      {false, FALSE, "target", seconds(30), true},
      {false, FALSE, "longer target", seconds(0), true},
      {true, FALSE, "target", seconds(0), false},
      // On one file system the time must agree as finely as it is stored:
      // a save one second or one millisecond later is a change.
      {false, TRUE, "target", seconds(0), false},
      {false, TRUE, "target", seconds(1), true},
      {true, TRUE, "target", milliseconds(1), true},
      {true, TRUE, "target", seconds(0), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "back " << c.back << " same fs " << c.same_file_system
                                    << " skew " << c.skew.count());
    const fs::path& from = c.back ? dst_ : src_;
    const fs::path& to = c.back ? src_ : dst_;
    Write(from / "a.txt", "source");
    Write(to / "a.txt", c.target);
    // Times well in the past: a file written moments ago is compared by its bytes.
    const auto when = fs::last_write_time(from / "a.txt") - std::chrono::hours(1);
    fs::last_write_time(from / "a.txt", when);
    fs::last_write_time(to / "a.txt", when + c.skew);
    ChangeRecord record = Modified(L"a.txt", !c.back);
    record.bSameFileSystem = c.same_file_system;

    EXPECT_TRUE(c.back ? handlers_->ApplyModifiedBack(task_, record)
                       : handlers_->ApplyModified(task_, record));
    EXPECT_EQ(ReadFile(to / "a.txt") == "source", c.copied);
  }
}

TEST_F(ModifiedHandlingTest, OneWayTaskCreatesTheMissingFileAndItsDirectories) {
  Write(src_ / "x/y/a.txt", "alpha");

  EXPECT_TRUE(handlers_->ApplyModified(task_, Modified(L"x/y/a.txt")));
  EXPECT_EQ(ReadFile(dst_ / "x/y/a.txt"), "alpha");
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "x")));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dst_ / "x/y")));
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(ModifiedHandlingTest, MissingCounterpartOnATwoWayTaskIsMadeOnlyWhereAWriteHadFailed) {
  struct Case {
    bool directory;
    bool announced;
    BOOL result;
  };
  const Case cases[] = {
      // Elsewhere the other side removed it: a file is dropped quietly, a
      // directory ends as a failure.
      {false, false, TRUE},
      {true, false, FALSE},
      {false, true, TRUE},
      {true, true, TRUE},
  };
  task_.bBidirectional = TRUE;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "directory " << c.directory << " announced " << c.announced);
    fs::remove_all(dst_ / "item");
    fs::remove_all(src_ / "item");
    if (c.directory) {
      fs::create_directories(src_ / "item");
    } else {
      Write(src_ / "item", "data");
    }
    if (c.announced) shared_.ModifyFilterMap.Assign(W(dst_ / "item"), L"Docs");

    EXPECT_EQ(handlers_->ApplyModified(task_, Modified(L"item")), c.result);
    EXPECT_EQ(fs::exists(dst_ / "item"), c.announced);
    EXPECT_EQ(fs::is_directory(dst_ / "item"), c.announced && c.directory);
    EXPECT_FALSE(shared_.ModifyFilterMap.Contains(W(dst_ / "item")));
  }
}

TEST_F(ModifiedHandlingTest, DirectoryItemsNeverTouchAnExistingCounterpart) {
  fs::create_directories(src_ / "d");
  Write(dst_ / "d/inside", "kept");
  EXPECT_TRUE(handlers_->ApplyModified(task_, Modified(L"d")));
  EXPECT_EQ(ReadFile(dst_ / "d/inside"), "kept");

  // A one-way task: the missing directory and its parents are made.
  fs::create_directories(src_ / "p/q/r");
  EXPECT_TRUE(handlers_->ApplyModified(task_, Modified(L"p/q/r")));
  EXPECT_TRUE(fs::is_directory(dst_ / "p/q/r"));

  // A file whose counterpart is a directory: left alone one way, a failed
  // copy the other.
  Write(src_ / "f", "file");
  Write(dst_ / "f/inside", "kept");
  EXPECT_TRUE(handlers_->ApplyModified(task_, Modified(L"f")));
  Write(dst_ / "g", "file");
  Write(src_ / "g/inside", "kept");
  EXPECT_FALSE(handlers_->ApplyModifiedBack(task_, Modified(L"g", false)));
  EXPECT_EQ(ReadFile(dst_ / "f/inside"), "kept");
  EXPECT_EQ(ReadFile(src_ / "g/inside"), "kept");
  EXPECT_THAT(History(), ElementsAre("CopyData|0|2942|Copy file failed|/dst/g|/src/g"));
}

TEST_F(ModifiedHandlingTest, FailuresAreRecordedWithTheirRows) {
  struct Case {
    const char* name;
    bool back;
    std::function<void(const fs::path& from, const fs::path& to)> arrange;
    std::vector<std::string> rows;
  };
  const auto item_missing = [](const fs::path&, const fs::path&) {};
  const auto new_file_disk_full = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    FailOn("copy-create", to / "a.txt", ENOSPC);
  };
  const auto new_file_denied = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    FailOn("copy-create", to / "a.txt", EACCES);
  };
  const auto overwrite_disk_full = [](const fs::path& from, const fs::path& to) {
    Write(from / "a.txt", "new");
    Write(to / "a.txt", "old contents");
    FailOn("copy-create", to / "a.txt", ENOSPC);
  };
  const std::vector<Case> cases = {
      {"M1",
       false,
       item_missing,
       {"CopyData|2|1613|Cannot access source file|/src/a.txt|/dst/a.txt"}},
      {"N1",
       true,
       item_missing,
       {"CopyData|2|2781|Cannot access source file|/dst/a.txt|/src/a.txt"}},
      {"M2", false, new_file_disk_full, {"CopyData|112|1685| |/src/a.txt|/dst/a.txt"}},
      {"N4",
       true,
       new_file_disk_full,
       {"CopyData|112|2873|Copy file failed|/dst/a.txt|/src/a.txt"}},
      {"M3", false, new_file_denied, {"CopyData|5|1720| |/src/a.txt|/dst/a.txt"}},
      {"N5", true, new_file_denied, {"CopyData|5|2908|Copy file failed|/dst/a.txt|/src/a.txt"}},
      {"M4", false, overwrite_disk_full, {"CopyData|112|1766| |/src/a.txt|/dst/a.txt"}},
      {"N6", true, overwrite_disk_full, {"CopyData|0|2942|Copy file failed|/dst/a.txt|/src/a.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(src_);
    fs::remove_all(dst_);
    fs::create_directories(src_);
    fs::create_directories(dst_);
    c.arrange(c.back ? dst_ : src_, c.back ? src_ : dst_);
    const size_t before = History().size();

    const BOOL result = c.back ? handlers_->ApplyModifiedBack(task_, Modified(L"a.txt", false))
                               : handlers_->ApplyModified(task_, Modified(L"a.txt"));
    os::SetFileFaultForTest({});

    EXPECT_FALSE(result);
    std::vector<std::string> rows = History();
    rows.erase(rows.begin(), rows.begin() + before);
    EXPECT_EQ(rows, c.rows);
  }
}

}  // namespace
