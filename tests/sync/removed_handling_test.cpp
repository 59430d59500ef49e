// Removed items: the delete strategies, announcements, links, and each refused delete's row.
#include <gtest/gtest.h>

#include <filesystem>

#include "handler_test_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using RemovedHandlingTest = HandlerTest;

TEST_F(RemovedHandlingTest, DecisionTable) {
  const char* file = "dst/gone=data";
  const char* tree = "dst/gone/sub/deep.txt=x dst/gone/top.txt=y";
  const HandlerCase cases[] = {
      {"permanent", kRemoved, DelPermanent, "gone", file, "", TRUE, "dst/gone! delete:dst/gone",
       ""},
      {"permanent, directory", kRemoved, DelPermanent, "gone", tree, "", TRUE,
       "dst/gone! delete:dst/gone delete:dst/gone/sub/deep.txt", ""},
      // No console user here: the file falls back to a delete for good.
      {"bin", kRemoved, DelToRecycleBin, "gone", file, "", TRUE, "dst/gone! delete:dst/gone", ""},
      {"ignore", kRemoved, DelIgnore, "gone", file, "", TRUE, "dst/gone=data !delete:dst/gone", ""},

      // One locked file stays; everything else goes, and the announcements of
      // what stays are withdrawn so that a later genuine removal gets through.
      {"R3", kRemoved, DelPermanent, "gone", file, "unlink dst/gone EACCES", FALSE,
       "dst/gone=data !delete:dst/gone", "DeleteFile|5|1839|Delete file failed||/dst/gone"},
      {"R3 back", kRemovedBack, DelPermanent, "gone", "src/gone=data", "unlink src/gone EACCES",
       FALSE, "src/gone=data !delete:src/gone", "DeleteFile|5|3009|Cannot delete file|/src/gone|"},
      {"R2", kRemoved, DelPermanent, "gone", tree, "unlink dst/gone/sub/deep.txt EACCES", FALSE,
       "dst/gone/sub/deep.txt=x dst/gone/top.txt! !delete:dst/gone !delete:dst/gone/sub/deep.txt",
       "DeleteFile|5|1821|Delete directory failed||/dst/gone"},
      // A directory never goes to the bin.
      {"R5", kRemoved, DelToRecycleBin, "gone", tree, "unlink dst/gone/sub/deep.txt EACCES", FALSE,
       "dst/gone/sub/deep.txt=x !delete:dst/gone",
       "DeleteFile|5|1874|Delete directory failed||/dst/gone"},
      {"R6", kRemoved, DelToRecycleBin, "gone", file, "unlink dst/gone EACCES", FALSE,
       "dst/gone=data !delete:dst/gone", "DeleteFile|5|1895| ||/dst/gone"},
  };
  for (const HandlerCase& c : cases) Run(c);
}

TEST_F(RemovedHandlingTest, LinkCounterpartIsRemovedWithoutTouchingWhatItPointsTo) {
  Write(P("outside/keep.txt"), "outside the tree");
  fs::create_directory_symlink(P("outside"), P("dst/link"));
  EXPECT_TRUE(Apply(kRemoved, "link"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("dst/link"))));
  EXPECT_EQ(testing_support::ReadFile(P("outside/keep.txt")), "outside the tree");
}

}  // namespace
