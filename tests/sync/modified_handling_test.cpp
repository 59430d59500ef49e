// Modified items: same-file checks, when a missing counterpart is made, each failure's row.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "handler_test_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using ModifiedHandlingTest = HandlerTest;

TEST_F(ModifiedHandlingTest, DecisionTable) {
  const HandlerCase cases[] = {
      {"overwrite clears the failed-write mark", kModified, 0, "a.txt",
       "src/a.txt=edited dst/a.txt=text modify:dst/a.txt", "", TRUE,
       "dst/a.txt=edited !modify:dst/a.txt", ""},
      // A one-way task makes a missing counterpart, with the levels above it.
      {"one-way, missing file", kModified, 0, "x/y/a.txt", "src/x/y/a.txt=alpha", "", TRUE,
       "dst/x/y/a.txt=alpha add:dst/x add:dst/x/y", ""},
      {"one-way, missing directory", kModified, 0, "p/q/r", "src/p/q/r/", "", TRUE, "dst/p/q/r/",
       ""},
      {"existing directory", kModified, 0, "d", "src/d/ dst/d/inside=kept", "", TRUE,
       "dst/d/inside=kept", ""},
      {"file over a directory", kModified, 0, "f", "src/f=file dst/f/inside=kept", "", TRUE,
       "dst/f/inside=kept", ""},

      {"M1", kModified, 0, "a.txt", "", "", FALSE, "",
       "CopyData|2|1613|Cannot access source file|/src/a.txt|/dst/a.txt"},
      {"M2", kModified, 0, "a.txt", "src/a.txt=new", "copy-create dst/a.txt ENOSPC", FALSE,
       "dst/a.txt!", "CopyData|112|1685| |/src/a.txt|/dst/a.txt"},
      {"M3", kModified, 0, "a.txt", "src/a.txt=new", "copy-create dst/a.txt EACCES", FALSE, "",
       "CopyData|5|1720| |/src/a.txt|/dst/a.txt"},
      {"N5", kModifiedBack, 0, "a.txt", "dst/a.txt=new", "copy-create src/a.txt EACCES", FALSE, "",
       "CopyData|5|2908|Copy file failed|/dst/a.txt|/src/a.txt"},
      {"M4", kModified, 0, "a.txt", "src/a.txt=new dst/a.txt=old", "copy-create dst/a.txt ENOSPC",
       FALSE, "dst/a.txt=old", "CopyData|112|1766| |/src/a.txt|/dst/a.txt"},
      {"N6", kModifiedBack, 0, "a.txt", "dst/a.txt=new src/a.txt=old",
       "copy-create src/a.txt ENOSPC", FALSE, "src/a.txt=old",
       "CopyData|0|2942|Copy file failed|/dst/a.txt|/src/a.txt"},
      {"N6, a directory in the way", kModifiedBack, 0, "g", "dst/g=file src/g/inside=kept", "",
       FALSE, "src/g/inside=kept", "CopyData|0|2942|Copy file failed|/dst/g|/src/g"},
  };
  for (const HandlerCase& c : cases) Run(c);

  // On a two-way task a missing counterpart means the other side removed it,
  // unless an earlier write of the engine failed there.
  task_.bBidirectional = TRUE;
  const HandlerCase two_way[] = {
      {"file", kModified, 0, "item", "src/item=data", "", TRUE, "dst/item!", ""},
      {"directory", kModified, 0, "item", "src/item/", "", FALSE, "dst/item!", ""},
      {"file, failed before", kModified, 0, "item", "src/item=data modify:dst/item", "", TRUE,
       "dst/item=data !modify:dst/item", ""},
      {"directory, failed before", kModified, 0, "item", "src/item/ modify:dst/item", "", TRUE,
       "dst/item/ !modify:dst/item", ""},
  };
  for (const HandlerCase& c : two_way) Run(c);
}

// Added and modified items alike: a counterpart counts as up to date only
// when size and time both agree, the time as finely as the file system keeps it.
TEST_F(ModifiedHandlingTest, UpToDateCounterpartIsLeftAsItIs) {
  using std::chrono::milliseconds;
  using std::chrono::seconds;
  struct Case {
    On on;
    BOOL same_file_system;
    const char* target;  // the same size as "source" when 6 letters long
    std::chrono::nanoseconds skew;
    bool copied;
  };
  const Case cases[] = {
      {kModified, FALSE, "target", seconds(30), true},
      {kModified, TRUE, "longer target", seconds(0), true},
      {kModifiedBack, FALSE, "target", seconds(0), false},
      {kModifiedBack, TRUE, "target", milliseconds(1), true},
      // Not even a backup is made of an added item's up-to-date counterpart.
      {kAdded, TRUE, "target", seconds(0), false},
      {kAddedBack, FALSE, "target", milliseconds(1), true},
  };
  task_.enAddStrategy = AddKeepBackup;
  for (const Case& c : cases) {
    const bool back = c.on == kModifiedBack || c.on == kAddedBack;
    SCOPED_TRACE(testing::Message() << "back " << back << " same fs " << c.same_file_system
                                    << " skew " << c.skew.count());
    const fs::path from = P(back ? "dst/a.txt" : "src/a.txt");
    const fs::path to = P(back ? "src/a.txt" : "dst/a.txt");
    Lay("");
    Write(from, "source");
    Write(to, c.target);
    // Times well in the past: a file written moments ago is compared by its bytes.
    const auto when = fs::last_write_time(from) - std::chrono::hours(1);
    fs::last_write_time(from, when);
    fs::last_write_time(to, when + c.skew);

    EXPECT_TRUE(Apply(c.on, "a.txt", c.same_file_system));
    EXPECT_EQ(testing_support::ReadFile(to) == "source", c.copied);
    if (!c.copied) {
      EXPECT_FALSE(fs::exists(to.parent_path() / "a_syncbak.txt"));
    }
  }
}

}  // namespace
