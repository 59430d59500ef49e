// Renames: the four states at the target, the rename strategies, and each failure's row.
#include <gtest/gtest.h>

#include <filesystem>

#include "handler_test_fixture.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using RenameHandlingTest = HandlerTest;

TEST_F(RenameHandlingTest, DecisionTable) {
  const int kInPlace = RenameInPlace;
  const int kBackup = RenameKeepBackup;
  const HandlerCase cases[] = {
      // The new name is free: the counterpart is moved, then mended.
      {"free", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=source dst/a.txt=stale", "", TRUE,
       "dst/a.txt! dst/b.txt=source rename:dst/b.txt", ""},
      {"free, a directory", kRenamed, kInPlace, "old>new", "src/new/ dst/old/deep/file.txt=kept",
       "", TRUE, "dst/old! dst/new/deep/file.txt=kept", ""},
      {"free, into levels not yet there", kRenamed, kInPlace, "a.txt>later/made/a.txt",
       "src/later/made/a.txt=data dst/a.txt=data", "", TRUE,
       "dst/a.txt! dst/later/made/a.txt=data add:dst/later", ""},

      // Both names taken. The older backup goes; the displaced b.txt becomes the backup.
      {"both, in place", kRenamed, kInPlace, "a.txt>b.txt",
       "src/b.txt=moved dst/a.txt=moved dst/b.txt=other", "", TRUE,
       "dst/a.txt! dst/b.txt=moved dst/b_syncbak.txt!", ""},
      {"both, keep backup", kRenamed, kBackup, "a.txt>b.txt",
       "src/b.txt=moved dst/a.txt=moved dst/b.txt=other dst/b_syncbak.txt=older", "", TRUE,
       "dst/a.txt! dst/b.txt=moved dst/b_syncbak.txt=other", ""},
      {"both, ignore", kRenamed, RenameIgnore, "a.txt>b.txt",
       "src/b.txt=moved dst/a.txt=moved dst/b.txt=other", "", TRUE,
       "dst/a.txt=moved dst/b.txt=other", ""},
      {"both, unknown strategy", kRenamed, 5, "a.txt>b.txt",
       "src/b.txt=moved dst/a.txt=moved dst/b.txt=other dst/b_syncbak.txt=older", "", TRUE,
       "dst/a.txt=moved dst/b.txt=other dst/b_syncbak.txt=older", ""},

      // Only the new name taken: replaced, or kept as the backup. A renamed
      // directory brings its contents along.
      {"new taken, in place", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=new dst/b.txt=old", "",
       TRUE, "dst/b.txt=new dst/b_syncbak.txt! !rename:dst/b.txt", ""},
      {"new taken, unknown strategy", kRenamed, 5, "a.txt>b.txt", "src/b.txt=new dst/b.txt=old", "",
       TRUE, "dst/b.txt=old", ""},
      {"new taken, directory in place", kRenamed, kInPlace, "a>b", "src/b/in.txt=new dst/b=old", "",
       TRUE, "dst/b/in.txt=new", ""},
      {"new taken, directory keep backup", kRenamed, kBackup, "a>b", "src/b/in.txt=new dst/b=old",
       "", TRUE, "dst/b/in.txt=new dst/b_syncbak=old", ""},

      // Neither name there: the item comes over like an added one.
      {"neither", kRenamed, kInPlace, "a.txt>p/q/b.txt", "src/p/q/b.txt=file", "", TRUE,
       "dst/p/q/b.txt=file add:dst/p/q", ""},
      {"neither, a directory", kRenamed, kInPlace, "old>dir", "src/dir/sub/in.txt=in", "", TRUE,
       "dst/dir/sub/in.txt=in", ""},

      {"F1", kRenamed, kInPlace, "a.txt>b.txt", "dst/a.txt=moved", "", FALSE, "dst/b.txt=moved",
       "CopyData|2|1067|Cannot access source file|/src/b.txt|/dst/b.txt"},
      {"F2", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=longer dst/a.txt=moved",
       "copy-create dst/b.txt ENOSPC", FALSE, "dst/b.txt=moved",
       "CopyData|112|1087|/dst/b.txt|/src/b.txt|/dst/b.txt"},
      {"F3", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=x dst/a.txt=x",
       "rename dst/a.txt EACCES", FALSE, "dst/a.txt=x dst/b.txt! !rename:dst/b.txt",
       "RenameFile|5|1104| |/dst/a.txt|/dst/b.txt"},
      {"F3 back", kRenamedBack, kInPlace, "a.txt>b.txt", "dst/b.txt=x src/a.txt=x",
       "rename src/a.txt EACCES", FALSE, "src/a.txt=x src/b.txt! !rename:src/b.txt",
       "RenameFile|5|2278| |/src/a.txt|/src/b.txt"},
      {"B3", kRenamed, kInPlace, "a.txt>b.txt", "dst/a.txt=moved dst/b.txt=other", "", FALSE,
       "dst/b.txt=moved", "CopyData|2|1174|Cannot access source file|/src/b.txt|/dst/b.txt"},
      {"B4", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=longer dst/a.txt=moved dst/b.txt=other",
       "copy-create dst/b.txt ENOSPC", FALSE, "dst/b.txt=moved",
       "CopyData|112|1195| |/src/b.txt|/dst/b.txt"},
      {"B5", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=x dst/a.txt=x dst/b.txt=other",
       "rename dst/a.txt EACCES", FALSE, "dst/a.txt=x dst/b.txt! !rename:dst/b.txt",
       "RenameFile|5|1206|/dst/b.txt|/dst/a.txt|/dst/b.txt"},
      {"B2 then B5", kRenamed, kInPlace, "a.txt>b.txt",
       "src/b.txt=x dst/a.txt=x dst/b.txt/free.txt=free dst/b.txt/locked.txt=locked",
       "unlink dst/b.txt/locked.txt EACCES", FALSE,
       "dst/a.txt=x dst/b.txt/locked.txt=locked dst/b.txt/free.txt!",
       "DeleteFile|5|1144|Cannot delete directory:/dst/b.txt|/src/b.txt|/dst/b.txt\n"
       "RenameFile|183|1206|/dst/b.txt|/dst/a.txt|/dst/b.txt"},
      // The backup cannot be made: the displaced b.txt must not be lost.
      {"B6 then B8", kRenamed, kBackup, "a.txt>b.txt", "src/b.txt=x dst/a.txt=x dst/b.txt=other",
       "rename dst/b.txt EACCES", FALSE, "dst/a.txt=x dst/b.txt=other !rename:dst/b_syncbak.txt",
       "RenameFile|5|1250| |/dst/b.txt|/dst/b_syncbak.txt\n"
       "RenameFile|183|1298| |/dst/a.txt|/dst/b.txt"},
      {"B7", kRenamed, kBackup, "a.txt>b.txt", "src/b.txt=longer dst/a.txt=moved dst/b.txt=other",
       "copy-create dst/b.txt ENOSPC", FALSE, "dst/b.txt=moved dst/b_syncbak.txt=other",
       "CopyData|112|1287|Copy file failed|/src/b.txt|/dst/b.txt"},
      // The copy meant to replace b.txt fails: the old b.txt stays whole.
      {"O4", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=new dst/b.txt=old",
       "copy-create dst/b.txt ENOSPC", FALSE, "dst/b.txt=old",
       "CopyData|112|1382|Copy file failed|/src/b.txt|/dst/b.txt"},
      {"O2 then O4", kRenamed, kInPlace, "a.txt>b.txt",
       "src/b.txt=new dst/b.txt/free.txt=free dst/b.txt/locked.txt=locked",
       "unlink dst/b.txt/locked.txt EACCES", FALSE, "dst/b.txt/locked.txt=locked",
       "DeleteFile|5|1345|/dst/b.txt|/src/b.txt|/dst/b.txt\n"
       "CopyData|5|1382|Copy file failed|/src/b.txt|/dst/b.txt"},
      {"O5 then O7", kRenamed, kBackup, "a.txt>b.txt",
       "src/b.txt=new dst/b.txt=old dst/b_syncbak.txt=older", "unlink dst/b_syncbak.txt EACCES",
       FALSE, "dst/b.txt=old dst/b_syncbak.txt=older !rename:dst/b_syncbak.txt",
       "DeleteFile|5|1413|/dst/b_syncbak.txt|/src/b.txt|/dst/b_syncbak.txt\n"
       "RenameFile|183|1452| |/dst/b.txt|/dst/b_syncbak.txt"},
      {"O8", kRenamed, kBackup, "a.txt>b.txt", "src/b.txt=new dst/b.txt=old",
       "copy-create dst/b.txt ENOSPC", FALSE, "dst/b.txt! dst/b_syncbak.txt=old",
       "CopyData|112|1471| |/src/b.txt|/dst/b.txt"},
      {"N1", kRenamed, kInPlace, "a.txt>b.txt", "", "", FALSE, "dst/b.txt!",
       "CopyData|2|1498|Cannot access source file|/src/b.txt|/dst/b.txt"},
      {"N2", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=new", "copy-create dst/b.txt ENOSPC",
       FALSE, "dst/b.txt!", "CopyData|112|1520| |/src/b.txt|/dst/b.txt"},
      {"N4", kRenamed, kInPlace, "a.txt>b.txt", "src/b.txt=new", "copy-create dst/b.txt EACCES",
       FALSE, "dst/b.txt!", "CopyData|5|1587| |/src/b.txt|/dst/b.txt"},
  };
  for (const HandlerCase& c : cases) Run(c);
}

TEST_F(RenameHandlingTest, UpToDateCounterpartIsMovedNotCopied) {
  Write(P("src/b.txt"), "same");
  Write(P("dst/a.txt"), "same");
  fs::last_write_time(P("dst/a.txt"), fs::last_write_time(P("src/b.txt")));
  fs::create_hard_link(P("dst/a.txt"), P("the file itself"));
  EXPECT_TRUE(Apply(kRenamed, "a.txt>b.txt"));
  EXPECT_TRUE(fs::equivalent(P("dst/b.txt"), P("the file itself")));
}

TEST_F(RenameHandlingTest, OneFileUnderBothNamesIsRenamedWithNothingDeletedOrBackedUp) {
  // A letter-case rename on a case-insensitive target finds the old and the
  // new name to be one file; a second link to one inode is the same to the
  // engine.
  for (const RenameStrategy strategy : {RenameInPlace, RenameKeepBackup}) {
    SCOPED_TRACE(testing::Message() << "strategy " << strategy);
    Lay("src/A.txt=only dst/a.txt=only");
    fs::create_hard_link(P("dst/a.txt"), P("dst/A.txt"));
    task_.enRenameStrategy = strategy;
    EXPECT_TRUE(Apply(kRenamed, "a.txt>A.txt"));
    EXPECT_EQ(testing_support::ReadFile(P("dst/A.txt")), "only");
    EXPECT_FALSE(fs::exists(P("dst/A_syncbak.txt")));
    EXPECT_EQ(shared_.DeleteFilterMap.Size(), 0u);
  }
  EXPECT_EQ(NewRows(), "");
}

}  // namespace
