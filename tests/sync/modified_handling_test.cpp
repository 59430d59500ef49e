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

  // On a two-way task a missing counterpart is made too: an item on one side
  // only is never lost.
  task_.bBidirectional = TRUE;
  const HandlerCase two_way[] = {
      {"file", kModified, 0, "item", "src/item=data", "", TRUE, "dst/item=data", ""},
      {"file, back", kModifiedBack, 0, "item", "dst/item=data", "", TRUE, "src/item=data", ""},
      {"directory", kModified, 0, "item", "src/item/", "", TRUE, "dst/item/", ""},
      {"file in a directory missing there", kModified, 0, "x/y/item", "src/x/y/item=data", "", TRUE,
       "dst/x/y/item=data add:dst/x add:dst/x/y", ""},
      {"file, failed before", kModified, 0, "item", "src/item=data modify:dst/item", "", TRUE,
       "dst/item=data !modify:dst/item", ""},
  };
  for (const HandlerCase& c : two_way) Run(c);

  // Unless the other side's removal or rename of it, or of a directory above
  // it, is still queued: the item follows it there.
  struct Queued {
    const char* label;
    DWORD action;
    BOOL source_side;
    const char* name;
    On on;
    const char* change;
    BOOL result;
    const char* before;
    const char* after;
  };
  const Queued queued[] = {
      {"removed there", 2, FALSE, "item", kModified, "item", TRUE, "src/item=data", "dst/item!"},
      {"removed there, back", 2, TRUE, "item", kModifiedBack, "item", TRUE, "dst/item=data",
       "src/item!"},
      {"renamed there", 5, FALSE, "item", kModified, "item", TRUE, "src/item=data", "dst/item!"},
      {"its directory removed there", 2, FALSE, "d", kModified, "d/item", TRUE, "src/d/item=data",
       "dst/d!"},
      {"a directory removed there", 2, FALSE, "item", kModified, "item", FALSE, "src/item/",
       "dst/item!"},
      {"removed on its own side", 2, TRUE, "item", kModified, "item", TRUE, "src/item=data",
       "dst/item=data"},
      {"a longer name removed there", 2, FALSE, "item", kModified, "item2", TRUE, "src/item2=data",
       "dst/item2=data"},
  };
  for (const Queued& q : queued) {
    ChangeRecord removal;
    removal.dwAction = q.action;
    removal.strFileName = os::FromUtf8(q.name);
    removal.strTaskName = L"Docs";
    removal.bSourceSide = q.source_side;
    shared_.m_ChangeQueue.Append(removal);
    Run({q.label, q.on, 0, q.change, q.before, "", q.result, q.after, ""});
    while (auto taken = shared_.m_ChangeQueue.TakeFront()) shared_.m_ChangeQueue.Done(*taken);
  }
}

// A copy the handler makes back into the source is announced under the task's
// name: the watch of that side can only take it for the copy's own echo then.
TEST_F(ModifiedHandlingTest, ACopyBackIsAnnouncedAsTheTasksOwn) {
  task_.bBidirectional = 1;
  tasks_.Store(task_);
  Lay("dst/new=data dst/old=newer src/old=older");
  ASSERT_TRUE(Apply(kModifiedBack, "new"));
  EXPECT_TRUE(shared_.AddFilterMap.Consume(W(P("src/new")), L"Docs"));
  ASSERT_TRUE(Apply(kModifiedBack, "old"));
  EXPECT_TRUE(shared_.WrittenMap.Contains(W(P("src/old"))));
  EXPECT_EQ(testing_support::ReadFile(P("src/old")), "newer");
}

}  // namespace
