// Modified items: same-file checks, when a missing counterpart is made, each failure's row.
#include <gtest/gtest.h>

#include "handler_test_fixture.h"

namespace {

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
      // An up-to-date counterpart is not written: a write there would fail.
      {"up to date", kModified, 0, "a.txt", "src/a.txt=same dst/a.txt=same",
       "copy-create dst/a.txt ENOSPC", TRUE, "dst/a.txt=same", ""},
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

}  // namespace
