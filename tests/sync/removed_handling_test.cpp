// Removed items on real directories: each delete strategy on files and
// directories in both directions, the announcement in the delete map, and
// the failure rows (a delete refused through the platform layer's hook).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
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

class RemovedHandlingTest : public HandlerTest {
 protected:
  static ChangeRecord Removed(const std::wstring& name, bool source_side = true) {
    return Record(2, name, source_side);
  }
};

TEST_F(RemovedHandlingTest, StrategyDecidesWhetherTheCounterpartGoes) {
  struct Case {
    DelStrategy strategy;
    bool back;
    bool directory;
    bool removed;
  };
  const Case cases[] = {
      {DelPermanent, false, false, true},
      {DelPermanent, true, false, true},
      {DelPermanent, false, true, true},
      {DelPermanent, true, true, true},
      // No console user here: the file falls back to a delete for good; a
      // directory never goes to the bin.
      {DelToRecycleBin, false, false, true},
      {DelToRecycleBin, true, true, true},
      {DelIgnore, false, false, false},
      {DelIgnore, true, true, false},
      {static_cast<DelStrategy>(9), false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "strategy " << c.strategy << " back " << c.back
                                    << " directory " << c.directory);
    const fs::path target = (c.back ? src_ : dst_) / "gone";
    fs::remove_all(target);
    if (c.directory) {
      Write(target / "sub/deep.txt", "x");
      Write(target / "top.txt", "y");
    } else {
      Write(target, "data");
    }
    shared_.DeleteFilterMap.Clear();
    task_.enDelStrategy = c.strategy;

    EXPECT_TRUE(c.back ? handlers_->ApplyRemovedBack(task_, Removed(L"gone", false))
                       : handlers_->ApplyRemoved(task_, Removed(L"gone")));
    EXPECT_EQ(fs::exists(target), !c.removed);
    // Announced so that the watch thread drops the echo of the delete.
    EXPECT_EQ(shared_.DeleteFilterMap.Contains(W(target)), c.removed);
  }
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RemovedHandlingTest, CounterpartAlreadyGoneIsSuccessWithoutHistory) {
  EXPECT_TRUE(handlers_->ApplyRemoved(task_, Removed(L"never/was.txt")));
  EXPECT_TRUE(handlers_->ApplyRemovedBack(task_, Removed(L"never/was.txt", false)));
  EXPECT_THAT(History(), IsEmpty());
}

TEST_F(RemovedHandlingTest, LinkCounterpartIsRemovedWithoutTouchingWhatItPointsTo) {
  Write(tmp_.path() / "outside/keep.txt", "outside the tree");
  fs::create_directory_symlink(tmp_.path() / "outside", dst_ / "link");

  EXPECT_TRUE(handlers_->ApplyRemoved(task_, Removed(L"link")));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dst_ / "link")));
  EXPECT_EQ(ReadFile(tmp_.path() / "outside/keep.txt"), "outside the tree");
}

TEST_F(RemovedHandlingTest, RefusedDeletesAreRecordedAndWithdrawn) {
  struct Case {
    const char* name;
    DelStrategy strategy;
    bool back;
    bool directory;
    std::string row;
  };
  const Case cases[] = {
      {"R3", DelPermanent, false, false, "DeleteFile|5|1839|Delete file failed||/dst/gone"},
      {"R3 back", DelPermanent, true, false, "DeleteFile|5|3009|Cannot delete file|/src/gone|"},
      {"R2", DelPermanent, false, true, "DeleteFile|5|1821|Delete directory failed||/dst/gone"},
      {"R2 back", DelPermanent, true, true, "DeleteFile|5|2992|Cannot delete directory|/src/gone|"},
      {"R5", DelToRecycleBin, false, true, "DeleteFile|5|1874|Delete directory failed||/dst/gone"},
      {"R5 back", DelToRecycleBin, true, true,
       "DeleteFile|5|3043|Cannot delete directory|/src/gone|"},
      {"R6", DelToRecycleBin, false, false, "DeleteFile|5|1895| ||/dst/gone"},
      {"R6 back", DelToRecycleBin, true, false, "DeleteFile|5|3062|Cannot delete file|/src/gone|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path target = (c.back ? src_ : dst_) / "gone";
    fs::remove_all(target);
    // In a directory one locked file stays; everything else goes.
    const fs::path locked = c.directory ? target / "sub/locked.txt" : target;
    if (c.directory) Write(target / "free.txt", "free");
    Write(locked, "locked");
    FailOn("unlink", locked, EACCES);
    task_.enDelStrategy = c.strategy;
    const size_t before = History().size();

    const BOOL result = c.back ? handlers_->ApplyRemovedBack(task_, Removed(L"gone", false))
                               : handlers_->ApplyRemoved(task_, Removed(L"gone"));
    os::SetFileFaultForTest({});

    EXPECT_FALSE(result);
    EXPECT_EQ(ReadFile(locked), "locked");
    if (c.directory) {
      EXPECT_FALSE(fs::exists(target / "free.txt"));
    }
    // A withdrawn entry lets a later genuine removal through.
    EXPECT_FALSE(shared_.DeleteFilterMap.Contains(W(target)));
    EXPECT_FALSE(shared_.DeleteFilterMap.Contains(W(locked)));
    std::vector<std::string> rows = History();
    rows.erase(rows.begin(), rows.begin() + before);
    EXPECT_THAT(rows, ElementsAre(c.row));
  }
}

}  // namespace
