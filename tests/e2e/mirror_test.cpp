// The mirror as any host sees it, on Linux and on Windows alike: one-way and
// two-way tasks over real directories, driven through the monitor's method
// table from C, with the results checked in the trees and in Strandel.db.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "c_host.h"
#include "module_host.h"
#include "store/cppsqlite3.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::AddTaskOver;
using module_host::g_module;
using module_host::HasContent;
using module_host::Rows;
using module_host::SyncFinishRows;
using module_host::TaskInfo;
using module_host::Ways;
using module_host::Write;

// Waits for what a change should bring about. The deadline is generous: a
// file met while its writer still holds it is retried later, and under Wine
// on a busy machine every file operation is slow; the tests are about what
// arrives, not how fast.
bool Arrives(const std::function<bool()>& condition) {
  return testing_support::PollUntil(condition, std::chrono::seconds(30));
}

// Linux reports a new file once its writer has closed it, and a rewrite once;
// Windows reports the creation and each write apart, and each is a copy.
#ifdef _WIN32
constexpr bool kOneChangePerWrite = false;
#else
constexpr bool kOneChangePerWrite = true;
#endif

// An editor's save: its temporary renamed over the file. Windows refuses to
// replace a file that another program has open at that moment (the module
// may be copying it), and editors there try again; so does this one.
void SaveOver(const fs::path& temporary, const fs::path& file) {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    std::error_code error;
    fs::rename(temporary, file, error);
    if (!error || std::chrono::steady_clock::now() >= give_up) {
      ASSERT_FALSE(error) << error.message();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// Whether the task's history names the item in any change.
bool HeardOf(const std::string& task, const std::string& item) {
  return !Rows("SELECT 1 FROM SyncLog WHERE lTaskName='" + task + "' AND (lChangedFile='" + item +
               "' OR lNewFile='" + item + "')")
              .empty();
}

// The task's count of finished changes after a quiet second, which a
// further second must leave as it is: nothing bounces meanwhile.
int RowsOnceQuiet(const std::string& task) {
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int settled = SyncFinishRows(task);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(SyncFinishRows(task), settled);
  return settled;
}

class MirrorTest : public module_host::HostTest {
 protected:
  void ExpectEditorSavesFromEitherSideArrive(const std::wstring& name, bool temporaries_excluded);
};

TEST_F(MirrorTest, OneWayTaskMirrorsEveryKindOfChange) {
  const fs::path src = dir_.path() / "src";
  const fs::path dst = dir_.path() / "dst";
  const LONG index = AddTaskOver(L"one-way", src, dst, Ways::kOne);
  ASSERT_GE(index, 20000);

  Write(src / "a.txt", "first");
  ASSERT_TRUE(Arrives([&] { return HasContent(dst / "a.txt", "first"); }));
  // Two saves within a second, the second keeping the size: the last one wins.
  Write(src / "a.txt", "again");
  Write(src / "a.txt", "final");
  ASSERT_TRUE(Arrives([&] { return HasContent(dst / "a.txt", "final"); }));
  fs::rename(src / "a.txt", src / "b.txt");
  ASSERT_TRUE(
      Arrives([&] { return HasContent(dst / "b.txt", "final") && !fs::exists(dst / "a.txt"); }));
  fs::create_directory(src / "sub");
  fs::rename(src / "b.txt", src / "sub" / "b.txt");
  ASSERT_TRUE(Arrives(
      [&] { return HasContent(dst / "sub" / "b.txt", "final") && !fs::exists(dst / "b.txt"); }));
  fs::remove(src / "sub" / "b.txt");
  const bool removed = Arrives([&] { return !fs::exists(dst / "sub" / "b.txt"); });
  if (!removed && testing_support::RunningUnderWine() && !HeardOf("one-way", "sub\\b.txt")) {
    // Measured: in a Wine server that earlier watches have used, a new
    // directory is sometimes never watched (seen where it took the inode
    // number of a directory an earlier watch had seen). The move into it then
    // came as a removal, the copy of the new directory brought the file, and
    // the module heard of nothing done inside it.
    std::cout << "Wine's limit: nothing done inside the new directory was reported; the task's "
                 "history:\n";
    for (const std::string& row : Rows("SELECT lAction, lChangedFile, lNewFile FROM SyncLog WHERE "
                                       "lTaskName='one-way' AND lOperation='SyncFinish'")) {
      std::cout << "  " << row << "\n";
    }
    RecordProperty("wine_limit", "a new directory that Wine does not watch");
  } else {
    ASSERT_TRUE(removed);
  }

  // A tree copied in arrives whole.
  const fs::path outside = dir_.path() / "tree";
  for (int d = 0; d < 3; ++d) {
    fs::create_directories(outside / ("d" + std::to_string(d)) / "deep");
    for (int f = 0; f < 20; ++f) {
      Write(outside / ("d" + std::to_string(d)) / "deep" / ("f" + std::to_string(f)),
            std::to_string(f));
    }
  }
  fs::copy(outside, src / "tree", fs::copy_options::recursive);
  ASSERT_TRUE(Arrives([&] {
    for (int d = 0; d < 3; ++d) {
      for (int f = 0; f < 20; ++f) {
        if (!HasContent(
                dst / "tree" / ("d" + std::to_string(d)) / "deep" / ("f" + std::to_string(f)),
                std::to_string(f))) {
          return false;
        }
      }
    }
    return true;
  }));

  // Nothing flows back from a one-way destination.
  Write(dst / "stray.txt", "x");
  Write(src / "marker.txt", "m");
  ASSERT_TRUE(Arrives([&] { return fs::exists(dst / "marker.txt"); }));
  EXPECT_FALSE(fs::exists(src / "stray.txt"));

  // The task is stored, and the history says what happened.
  EXPECT_EQ(
      Rows("SELECT WATCHTASKNAME, TASKINDEX FROM WATCH_TASK_LIST WHERE WATCHTASKNAME='one-way'"),
      std::vector<std::string>{"one-way|" + std::to_string(index)});
  EXPECT_TRUE(Arrives([] { return SyncFinishRows("one-way") >= 5; }));
  EXPECT_EQ(module_host::DeleteTask(L"one-way"), 0);
}

TEST_F(MirrorTest, TwoWayChangesArriveOnceAndNeverBounce) {
  const fs::path left = dir_.path() / "left";
  const fs::path right = dir_.path() / "right";
  ASSERT_GE(AddTaskOver(L"two-way", left, right, Ways::kTwo), 20000);
  // A copy that came back would be a change of the other side.
  auto bounced = [] {
    return Rows("SELECT lChangedFile, lSourceDirChanged FROM SyncLog WHERE lTaskName='two-way' "
                "AND lOperation='SyncFinish' AND lAction>=0 AND "
                "(lChangedFile='from-left.txt') <> (lSourceDirChanged=1)");
  };
  Write(left / "from-left.txt", "L");
  Write(right / "from-right.txt", "R");
  ASSERT_TRUE(Arrives([&] {
    return HasContent(right / "from-left.txt", "L") && HasContent(left / "from-right.txt", "R");
  }));
  // A quiet second: no change may bounce back and forth meanwhile.
  ASSERT_TRUE(Arrives([] { return SyncFinishRows("two-way") >= 2; }));
  const int settled = RowsOnceQuiet("two-way");
  if (kOneChangePerWrite) {
    EXPECT_EQ(settled, 2);
  }

  // An edit on one side is one change: the copy it makes on the other side
  // is the module's own and never comes back.
  Write(left / "from-left.txt", "L2");
  ASSERT_TRUE(Arrives([&] { return HasContent(right / "from-left.txt", "L2"); }));
  Write(right / "from-right.txt", "R2");
  ASSERT_TRUE(Arrives([&] { return HasContent(left / "from-right.txt", "R2"); }));
  ASSERT_TRUE(Arrives([&] { return SyncFinishRows("two-way") >= settled + 2; }));
  const int edited = RowsOnceQuiet("two-way");
  if (kOneChangePerWrite) {
    EXPECT_EQ(edited, 4);
  }
  EXPECT_EQ(bounced(), std::vector<std::string>{});
  EXPECT_EQ(module_host::DeleteTask(L"two-way"), 0);
}

// An editor saves by writing a temporary and renaming it over the file. A
// save on either side reaches the other, the next save there included, and
// the history tells each direction what came across, without a failure.
// With the temporaries excluded the other side never has one, so each save
// arrives as the overwrite of the file by its renamed temporary.
void MirrorTest::ExpectEditorSavesFromEitherSideArrive(const std::wstring& name,
                                                         bool temporaries_excluded) {
  const fs::path left = dir_.path() / (fs::path(name) += "-left");
  const fs::path right = dir_.path() / (fs::path(name) += "-right");
  fs::create_directories(left);
  fs::create_directories(right);
  TaskInfo info(name, left, right);
  info->bBidirectional = TRUE;
  if (temporaries_excluded) {
    info->bSetExclude = TRUE;
    info->strExcludeFilter = info.Keep(L"*.tmp");
  }
  ASSERT_GE(Add(info), 20000);
  const std::string task = fs::path(name).string();
  // "action|name|new name" of each SyncFinish row of one direction; none
  // while the history is still being made.
  auto rows = [&](const std::string& direction) {
    try {
      return Rows("SELECT lAction, lChangedFile, lNewFile FROM SyncLog WHERE lTaskName='" + task +
                  "' AND lOperation='SyncFinish' AND lInfo='Sync " + direction +
                  " SUCCESS' ORDER BY SN");
    } catch (const CppSQLite3Exception&) {
      return std::vector<std::string>{};
    }
  };
  const std::string kToRight = "source to destination";
  const std::string kToLeft = "destination to source";
  const std::string kRenamed = "5|doc.txt.tmp|doc.txt";
  auto renames = [&](const std::string& direction) {
    return std::ranges::count(rows(direction), kRenamed);
  };

  Write(left / "doc.txt", "v1");
  ASSERT_TRUE(Arrives([&] { return HasContent(right / "doc.txt", "v1"); }));
  ASSERT_TRUE(Arrives([&] { return rows(kToRight).size() == 1; }));
  const struct {
    const fs::path& at;
    const fs::path& other;
    const std::string& direction;
    std::string text;
  } saves[] = {{left, right, kToRight, "v2 saved in left"},
               {right, left, kToLeft, "v3 saved in right"},
               {left, right, kToRight, "v4 saved in left"},
               {right, left, kToLeft, "v5 saved in right"}};
  for (const auto& save : saves) {
    const auto before = renames(save.direction);
    Write(save.at / "doc.txt.tmp", save.text);
    SaveOver(save.at / "doc.txt.tmp", save.at / "doc.txt");
    ASSERT_TRUE(Arrives([&] { return HasContent(save.other / "doc.txt", save.text); }))
        << save.text;
    ASSERT_TRUE(Arrives([&] { return renames(save.direction) == before + 1; })) << save.text;
  }
  // No temporary is left behind and nothing more comes across. Each save is
  // its rename, after the copy of the temporary when the worker met it before
  // the rename, and a change of the file when the save replaced the module's
  // copy before the watch had read that copy's notification: a modification,
  // or an addition when the watch listed the directory only after the copy
  // was renamed into place (it cannot tell then that the name was there).
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const auto settled = rows(kToRight).size() + rows(kToLeft).size();
  EXPECT_TRUE(HasContent(left / "doc.txt", "v5 saved in right"));
  EXPECT_TRUE(HasContent(right / "doc.txt", "v5 saved in right"));
  EXPECT_FALSE(fs::exists(left / "doc.txt.tmp"));
  EXPECT_FALSE(fs::exists(right / "doc.txt.tmp"));
  const std::string copied_temporary = temporaries_excluded ? "" : "1|doc.txt.tmp|";
  for (const std::string& direction : {kToRight, kToLeft}) {
    std::vector<std::string> seen = rows(direction);
    if (direction == kToRight) {
      ASSERT_FALSE(seen.empty());
      EXPECT_EQ(seen.front(), "1|doc.txt|");
      seen.erase(seen.begin());
    }
    EXPECT_EQ(std::ranges::count(seen, kRenamed), 2) << direction;
    for (const std::string extra : {"1|doc.txt.tmp|", "3|doc.txt|", "1|doc.txt|"}) {
      EXPECT_LE(std::ranges::count(seen, extra), 2) << direction << ": " << extra;
    }
    for (const std::string& row : seen) {
      EXPECT_TRUE(row == kRenamed || row == copied_temporary || row == "3|doc.txt|" ||
                  row == "1|doc.txt|")
          << direction << ": " << row;
    }
  }
  EXPECT_EQ(Rows("SELECT lAction, lOperation, lChangedFile, lLineNO, lInfo FROM SyncLog WHERE "
                 "lTaskName='" +
                 task + "' AND lErrorNO<>0"),
            std::vector<std::string>{});
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(rows(kToRight).size() + rows(kToLeft).size(), settled);
  EXPECT_EQ(module_host::DeleteTask(name), 0);
}

TEST_F(MirrorTest, TwoWayEditorSavesFromEitherSideArrive) {
  ExpectEditorSavesFromEitherSideArrive(L"editor", false);
}

TEST_F(MirrorTest, TwoWayEditorSavesArriveWithTheirTemporariesExcluded) {
  ExpectEditorSavesFromEitherSideArrive(L"editor-excluded", true);
}

// A rename that changes only the case of a name renames the very file at the
// other side, never leaving the old name or a second copy behind.
TEST_F(MirrorTest, ACaseOnlyRenameRenamesTheFileAtTheOtherSide) {
  const fs::path left = dir_.path() / "case-left";
  const fs::path right = dir_.path() / "case-right";
  ASSERT_GE(AddTaskOver(L"case", left, right, Ways::kTwo), 20000);
  Write(left / "notes.txt", "my notes");
  ASSERT_TRUE(Arrives([&] { return HasContent(right / "notes.txt", "my notes"); }));
  fs::rename(left / "notes.txt", left / "Notes.txt");
  if (testing_support::RunningUnderWine() &&
      fs::directory_iterator(left)->path().filename() == "notes.txt") {
    GTEST_SKIP() << "Wine's limit: a rename that changes only the case succeeds and keeps the "
                    "old name";
  }
  ASSERT_TRUE(Arrives([&] {
    return HasContent(right / "Notes.txt", "my notes") && !fs::exists(right / "notes.txt");
  }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  for (const fs::path& side : {left, right}) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(side)) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"Notes.txt"}) << side;
  }
  EXPECT_EQ(
      Rows("SELECT lSourceDirChanged, lAction, lChangedFile, lNewFile, lInfo FROM SyncLog "
           "WHERE lTaskName='case' AND lOperation='SyncFinish' AND lAction>=0 ORDER BY SN"),
      (std::vector<std::string>{"1|1|notes.txt||Sync source to destination SUCCESS",
                                "1|5|notes.txt|Notes.txt|Sync source to destination SUCCESS"}));
  EXPECT_EQ(module_host::DeleteTask(L"case"), 0);
}

TEST_F(MirrorTest, RefusalsCarryTheirCodesAndStoreNothing) {
  const fs::path src = dir_.path() / "src";
  fs::create_directories(src);
  LONG before = 0;
  ASSERT_EQ(CHostCountTasks(monitor(), &before), S_OK);

  TaskInfo inside(L"inside", src, src / "sub");
  EXPECT_EQ(Add(inside), -2);
  TaskInfo same(L"same", src, src);
  EXPECT_EQ(Add(same), -2);
  TaskInfo relative(L"relative", "relative/dir", dir_.path() / "d");
  EXPECT_EQ(Add(relative), 1);
  TaskInfo unnamed(L"", src, dir_.path() / "d");
  EXPECT_EQ(Add(unnamed), 1);
  WatchTaskInfo nulls{};
  EXPECT_EQ(CHostAddTask(monitor(), &nulls), 1);

  TaskInfo first(L"dup", src, dir_.path() / "d1");
  const LONG index = Add(first);
  ASSERT_GE(index, 20000);
  TaskInfo again(L"dup", src, dir_.path() / "d2");
  EXPECT_EQ(Add(again), -3);
  // A chain that leads back: d1 -> src would feed the task above.
  TaskInfo loop(L"loop", dir_.path() / "d1", src / "x");
  EXPECT_EQ(Add(loop), -2);

  LONG after = 0;
  ASSERT_EQ(CHostCountTasks(monitor(), &after), S_OK);
  EXPECT_EQ(after, before + 1);
  EXPECT_EQ(CHostCountTasks(monitor(), nullptr), E_POINTER);
  WatchTaskInfo out{};
  EXPECT_EQ(CHostQueryTask(monitor(), after, &out), 1);
  EXPECT_EQ(CHostQueryTask(monitor(), -1, &out), 1);
  EXPECT_EQ(CHostResetTask(monitor(), 12345, first.get()), 1);
  EXPECT_EQ(CHostDeleteTask(monitor(), g_module.AllocString(L"no-such-task")), 1);
  EXPECT_EQ(module_host::DeleteTask(L"dup"), 0);
}

}  // namespace
