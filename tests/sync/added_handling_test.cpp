// Added items: the add strategies, missing levels, backups, and each failure's history row.
#include <gtest/gtest.h>

#include "handler_test_fixture.h"

namespace {

using AddedHandlingTest = HandlerTest;

TEST_F(AddedHandlingTest, DecisionTable) {
  const HandlerCase cases[] = {
      // A missing target: the levels above it are announced and made first.
      {"overwrite, new levels", kAdded, AddOverwrite, "x/y/a.txt", "src/x/y/a.txt=alpha", "", TRUE,
       "dst/x/y/a.txt=alpha add:dst/x add:dst/x/y add:dst/x/y/a.txt", ""},
      {"ignore", kAdded, AddIgnore, "n.txt", "src/n.txt=new", "", TRUE, "dst/n.txt!", ""},
      // A two-way task's new destination item always comes back.
      {"ignore, back", kAddedBack, AddIgnore, "n.txt", "dst/n.txt=new", "", TRUE, "src/n.txt=new",
       ""},
      {"unknown strategy, missing target", kAdded, 7, "n.txt", "src/n.txt=new", "", TRUE,
       "dst/n.txt=new", ""},
      // A directory comes with its contents; a file that fails does not fail the record.
      {"directory", kAdded, AddOverwrite, "d",
       "src/d/one.txt=1 src/d/sub/two.txt=2 src/d/bad.txt=3", "copy-create dst/d/bad.txt ENOSPC",
       TRUE, "dst/d/one.txt=1 dst/d/sub/two.txt=2 dst/d/bad.txt! add:dst/d",
       "CopyData|112|212|Cannot copy file|/src/d/bad.txt|/dst/d/bad.txt"},

      // An up-to-date counterpart is left as it is, without even a backup.
      {"up to date", kAdded, AddKeepBackup, "r.txt", "src/r.txt=same dst/r.txt=same", "", TRUE,
       "dst/r.txt=same dst/r_syncbak.txt!", ""},
      // A different item at the target: the strategy decides.
      {"overwrite", kAdded, AddOverwrite, "r.txt", "src/r.txt=newer dst/r.txt=old", "", TRUE,
       "dst/r.txt=newer dst/r_syncbak.txt!", ""},
      // The older backup goes; the current target becomes the backup.
      {"keep backup", kAdded, AddKeepBackup, "r.txt",
       "src/r.txt=newer dst/r.txt=old dst/r_syncbak.txt=older", "", TRUE,
       "dst/r.txt=newer dst/r_syncbak.txt=old delete:dst/r_syncbak.txt rename:dst/r_syncbak.txt",
       ""},
      {"keep backup, back", kAddedBack, AddKeepBackup, "r.txt", "dst/r.txt=newer src/r.txt=old", "",
       TRUE, "src/r.txt=newer src/r_syncbak.txt=old", ""},
      {"ignore, existing", kAdded, AddIgnore, "r.txt", "src/r.txt=newer dst/r.txt=old", "", TRUE,
       "dst/r.txt=old dst/r_syncbak.txt!", ""},
      {"directory in the way", kAdded, AddOverwrite, "a.txt",
       "src/a.txt=file dst/a.txt/inside=kept", "", TRUE, "dst/a.txt/inside=kept", ""},

      // Failures, each with its row.
      {"A1", kAdded, AddOverwrite, "a.txt", "", "", FALSE, "",
       "CopyData|2|1945|Cannot access source file|/src/a.txt|/dst/a.txt"},
      {"B1", kAddedBack, AddOverwrite, "a.txt", "", "", FALSE, "",
       "CopyData|0|3239|Cannot access source file|/dst/a.txt|/src/a.txt"},
      {"A2", kAdded, AddOverwrite, "a.txt", "src/a.txt=new", "copy-create dst/a.txt ENOSPC", FALSE,
       "dst/a.txt! !add:dst/a.txt", "CopyData|112|1976|Copy file failed|/src/a.txt|/dst/a.txt"},
      {"A3", kAdded, AddOverwrite, "a.txt", "src/a.txt=new", "copy-create dst/a.txt EACCES", FALSE,
       "dst/a.txt!", "CreateFile|5|2008|2009|/src/a.txt|/dst/a.txt"},
      {"E1", kAdded, AddOverwrite, "a.txt", "src/a.txt=new dst/a.txt=old",
       "copy-create dst/a.txt ENOSPC", FALSE, "dst/a.txt=old",
       "CopyData|112|5541| |/src/a.txt|/dst/a.txt"},
      {"E2", &ChangeHandlers::ApplyAddedExisting, AddKeepBackup, "a.txt", "src/a.txt=new", "",
       FALSE, "", "RenameFile|2|5559|Cannot access destination path|/src/a.txt|/dst/a.txt"},
      // When the copy fails the old version is safe in the backup.
      {"E5", kAdded, AddKeepBackup, "a.txt", "src/a.txt=new dst/a.txt=old",
       "copy-create dst/a.txt ENOSPC", FALSE, "dst/a.txt! dst/a_syncbak.txt=old",
       "CopyData|112|5623|Copy file failed|/src/a.txt|/dst/a.txt"},
      // No backup, no copy: the target is the only copy of the old version.
      {"E3 then E4", kAdded, AddKeepBackup, "r.txt",
       "src/r.txt=new dst/r.txt=old dst/r_syncbak.txt=older", "unlink dst/r_syncbak.txt EACCES",
       FALSE, "dst/r.txt=old dst/r_syncbak.txt=older !delete:dst/r_syncbak.txt",
       "DeleteFile|5|5589|Delete file failed|/dst/r.txt|/dst/r_syncbak.txt\n"
       "RenameFile|183|5608| |/dst/r.txt|/dst/r_syncbak.txt"},
      {"B7 then B8", kAddedBack, AddKeepBackup, "r.txt",
       "dst/r.txt=new src/r.txt=old src/r_syncbak.txt=older", "unlink src/r_syncbak.txt EACCES",
       FALSE, "src/r.txt=old src/r_syncbak.txt=older !delete:src/r_syncbak.txt",
       "DeleteFile|5|3181|Cannot delete file|/src/r_syncbak.txt|/src/r.txt\n"
       "RenameFile|183|3200|Cannot rename file|/src/r.txt|/src/r_syncbak.txt"},
      {"E4", kAdded, AddKeepBackup, "r.txt", "src/r.txt=new dst/r.txt=old",
       "rename dst/r.txt EACCES", FALSE, "dst/r.txt=old !rename:dst/r_syncbak.txt",
       "RenameFile|5|5608| |/dst/r.txt|/dst/r_syncbak.txt"},
  };
  for (const HandlerCase& c : cases) Run(c);
}

}  // namespace
