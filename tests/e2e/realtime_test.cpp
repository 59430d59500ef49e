// The library as a host uses it: loaded with dlopen, started through its
// exports, driven through the monitor's method table from C, on real
// directories, with the results checked in the trees and in Strandel.db.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "c_host.h"
#include "module_host.h"
#include "os/text.h"
#include "store/cppsqlite3.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::AddTaskOver;
using module_host::g_data;
using module_host::g_module;
using module_host::HasContent;
using module_host::Rows;
using module_host::SyncFinishRows;
using module_host::TaskInfo;
using module_host::Ways;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::ReadFile;
using testing_support::TempDir;

class RealtimeTest : public ::testing::Test {
 protected:
  IWatcherMonitor* monitor() { return g_module.Monitor(); }
  LONG Add(TaskInfo& info) { return CHostAddTask(monitor(), info.get()); }
  void ExpectEditorSavesFromEitherSideArrive(const std::wstring& name, bool temporaries_excluded);
  TempDir dir_;
};

TEST_F(RealtimeTest, OneWayTaskMirrorsEveryKindOfChange) {
  const fs::path src = dir_.path() / "src";
  const fs::path dst = dir_.path() / "dst";
  fs::create_directories(src);
  fs::create_directories(dst);
  TaskInfo info(L"one-way", src, dst);
  const LONG index = Add(info);
  ASSERT_GE(index, 20000);

  Write(src / "a.txt", "first");
  ASSERT_TRUE(PollUntil([&] { return HasContent(dst / "a.txt", "first"); }));
  // Two saves within a second, the second keeping the size: the last one wins.
  Write(src / "a.txt", "again");
  Write(src / "a.txt", "final");
  ASSERT_TRUE(PollUntil([&] { return HasContent(dst / "a.txt", "final"); }));
  fs::rename(src / "a.txt", src / "b.txt");
  ASSERT_TRUE(
      PollUntil([&] { return HasContent(dst / "b.txt", "final") && !fs::exists(dst / "a.txt"); }));
  fs::create_directory(src / "sub");
  fs::rename(src / "b.txt", src / "sub" / "b.txt");
  ASSERT_TRUE(PollUntil(
      [&] { return HasContent(dst / "sub" / "b.txt", "final") && !fs::exists(dst / "b.txt"); }));
  fs::remove(src / "sub" / "b.txt");
  ASSERT_TRUE(PollUntil([&] { return !fs::exists(dst / "sub" / "b.txt"); }));

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
  ASSERT_TRUE(PollUntil([&] {
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
  ASSERT_TRUE(PollUntil([&] { return fs::exists(dst / "marker.txt"); }));
  EXPECT_FALSE(fs::exists(src / "stray.txt"));

  // The task is stored, and the history says what happened.
  EXPECT_EQ(
      Rows("SELECT WATCHTASKNAME, TASKINDEX FROM WATCH_TASK_LIST WHERE WATCHTASKNAME='one-way'"),
      std::vector<std::string>{"one-way|" + std::to_string(index)});
  EXPECT_TRUE(PollUntil([] { return SyncFinishRows("one-way") >= 5; }));
  EXPECT_EQ(module_host::DeleteTask(L"one-way"), 0);
}

TEST_F(RealtimeTest, TwoWayChangesArriveOnceAndNeverBounce) {
  const fs::path left = dir_.path() / "left";
  const fs::path right = dir_.path() / "right";
  ASSERT_GE(AddTaskOver(L"two-way", left, right, Ways::kTwo), 20000);
  Write(left / "from-left.txt", "L");
  Write(right / "from-right.txt", "R");
  ASSERT_TRUE(PollUntil([&] {
    return HasContent(right / "from-left.txt", "L") && HasContent(left / "from-right.txt", "R");
  }));
  // A quiet second: no change may bounce back and forth meanwhile.
  ASSERT_TRUE(PollUntil([] { return SyncFinishRows("two-way") >= 2; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int settled = SyncFinishRows("two-way");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(SyncFinishRows("two-way"), settled);
  EXPECT_EQ(settled, 2);

  // An edit on one side is one change: the copy it makes on the other side
  // is the module's own and never comes back.
  Write(left / "from-left.txt", "L2");
  ASSERT_TRUE(PollUntil([&] { return HasContent(right / "from-left.txt", "L2"); }));
  Write(right / "from-right.txt", "R2");
  ASSERT_TRUE(PollUntil([&] { return HasContent(left / "from-right.txt", "R2"); }));
  ASSERT_TRUE(PollUntil([] { return SyncFinishRows("two-way") >= 4; }));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(SyncFinishRows("two-way"), 4);
  EXPECT_EQ(module_host::DeleteTask(L"two-way"), 0);
}

// An editor saves by writing a temporary and renaming it over the file. A
// save on either side reaches the other, the next save there included, and
// the history tells each direction what came across, without a failure.
// With the temporaries excluded the other side never has one, so each save
// arrives as the overwrite of the file by its renamed temporary.
void RealtimeTest::ExpectEditorSavesFromEitherSideArrive(const std::wstring& name,
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
  ASSERT_TRUE(PollUntil([&] { return HasContent(right / "doc.txt", "v1"); }));
  ASSERT_TRUE(PollUntil([&] { return rows(kToRight).size() == 1; }));
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
    fs::rename(save.at / "doc.txt.tmp", save.at / "doc.txt");
    ASSERT_TRUE(PollUntil([&] { return HasContent(save.other / "doc.txt", save.text); }))
        << save.text;
    ASSERT_TRUE(PollUntil([&] { return renames(save.direction) == before + 1; })) << save.text;
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

TEST_F(RealtimeTest, TwoWayEditorSavesFromEitherSideArrive) {
  ExpectEditorSavesFromEitherSideArrive(L"editor", false);
}

TEST_F(RealtimeTest, TwoWayEditorSavesArriveWithTheirTemporariesExcluded) {
  ExpectEditorSavesFromEitherSideArrive(L"editor-excluded", true);
}

// A rename that changes only the case of a name renames the very file at the
// other side, never leaving the old name or a second copy behind.
TEST_F(RealtimeTest, ACaseOnlyRenameRenamesTheFileAtTheOtherSide) {
  const fs::path left = dir_.path() / "case-left";
  const fs::path right = dir_.path() / "case-right";
  ASSERT_GE(AddTaskOver(L"case", left, right, Ways::kTwo), 20000);
  Write(left / "notes.txt", "my notes");
  ASSERT_TRUE(PollUntil([&] { return HasContent(right / "notes.txt", "my notes"); }));
  fs::rename(left / "notes.txt", left / "Notes.txt");
  ASSERT_TRUE(PollUntil([&] {
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

// A program that keeps its log open and appends to it all the time, as
// loggers do: every line it wrote ends up on both sides, because no copy of
// the module ever comes back to replace the file under its writer.
TEST_F(RealtimeTest, TwoWayFileHeldOpenByItsWriterLosesNoLine) {
  const fs::path left = dir_.path() / "log-left";
  const fs::path right = dir_.path() / "log-right";
  ASSERT_GE(AddTaskOver(L"log", left, right, Ways::kTwo), 20000);

  const int fd =
      ::open((left / "app.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  std::string written;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(6);
  for (int line = 0; std::chrono::steady_clock::now() < end; ++line) {
    const std::string text = "line " + std::to_string(line) + "\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    written += text;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ::close(fd);
  EXPECT_TRUE(
      PollUntil([&] { return HasContent(right / "app.log", written); }, std::chrono::seconds(30)));
  EXPECT_EQ(ReadFile(left / "app.log"), written);
  EXPECT_EQ(module_host::DeleteTask(L"log"), 0);
}

TEST_F(RealtimeTest, RefusalsCarryTheirCodesAndStoreNothing) {
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

// A change of mode alone reaches the destination, also when it follows the
// write at once, as cp -a does (it writes at 0600 and sets the mode after).
TEST_F(RealtimeTest, ModeChangesAloneReachTheDestination) {
  const fs::path src = dir_.path() / "src";
  const fs::path dst = dir_.path() / "dst";
  ASSERT_GE(AddTaskOver(L"modes", src, dst, Ways::kOne), 20000);
  auto mode_of = [](const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
  };
  Write(src / "settled", "s");
  ASSERT_TRUE(PollUntil([&] { return HasContent(dst / "settled", "s"); }));
  ASSERT_EQ(::chmod((src / "settled").c_str(), 0600), 0);
  EXPECT_TRUE(PollUntil([&] { return mode_of(dst / "settled") == 0600; }));
  for (int i = 0; i < 20; ++i) {
    const fs::path file = src / ("copied-" + std::to_string(i));
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "c", 1), 1);
    ::close(fd);
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
  }
  EXPECT_TRUE(PollUntil([&] {
    for (int i = 0; i < 20; ++i) {
      if (mode_of(dst / ("copied-" + std::to_string(i))) != 0644) return false;
    }
    return true;
  }));
  EXPECT_EQ(module_host::DeleteTask(L"modes"), 0);
}

TEST_F(RealtimeTest, TasksChangedOrDeletedWhileTheirChangesFlowLeaveTheSourceWhole) {
  const fs::path src = dir_.path() / "busy-src";
  const fs::path dst = dir_.path() / "busy-dst";
  fs::create_directories(src);
  fs::create_directories(dst);
  TaskInfo info(L"busy", src, dst);
  const LONG index = Add(info);
  ASSERT_GE(index, 20000);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing || i < 400; ++i) {
      Write(src / ("f" + std::to_string(i % 200)), std::to_string(i));
    }
  });
  // Reset it (new destination) and then remove it while the writer goes on;
  // the destination vanishing under the worker must not stop anything.
  TaskInfo moved(L"busy", src, dir_.path() / "busy-dst2");
  moved->dwTaskIndex = static_cast<DWORD>(index);
  EXPECT_EQ(CHostResetTask(monitor(), index, moved.get()), 0);
  // The worker may still be writing into it: whatever it adds meanwhile may stay.
  std::error_code racing;
  fs::remove_all(dst, racing);
  EXPECT_EQ(module_host::DeleteTask(L"busy"), 0);
  writing = false;
  writer.join();
  // Every source file is still there, and the module still answers.
  int files = 0;
  for (const auto& entry : fs::directory_iterator(src)) files += entry.is_regular_file();
  EXPECT_EQ(files, 200);
  LONG count = -1;
  EXPECT_EQ(CHostCountTasks(monitor(), &count), S_OK);
}

// What rsync, git and editors do: write a temporary and rename it into place,
// or make a lock file and delete it. Behind a big copy, the worker meets each
// temporary after it went: every file arrives and no failure is recorded.
TEST_F(RealtimeTest, TemporariesGoneBeforeTheirCopyLeaveNoFailureRow) {
  const fs::path src = dir_.path() / "tmp-src";
  const fs::path dst = dir_.path() / "tmp-dst";
  ASSERT_GE(AddTaskOver(L"temporaries", src, dst, Ways::kOne), 20000);

  Write(src / "big.bin", std::string(std::size_t{256} << 20, 'b'));
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) {
    const std::string name = "f" + std::to_string(i);
    Write(src / ("." + name + ".XXXX"), name);
    fs::rename(src / ("." + name + ".XXXX"), src / name);
    Write(src / (name + ".lock"), "");
    fs::remove(src / (name + ".lock"));
  }
  ASSERT_TRUE(PollUntil(
      [&] {
        for (int i = 0; i < kFiles; ++i) {
          if (!HasContent(dst / ("f" + std::to_string(i)), "f" + std::to_string(i))) return false;
        }
        return fs::exists(dst / "big.bin") && fs::file_size(dst / "big.bin") == (256u << 20);
      },
      std::chrono::seconds(60)));
  EXPECT_TRUE(PollUntil([] { return SyncFinishRows("temporaries") >= kFiles; }));
  EXPECT_EQ(Rows("SELECT lOperation, lChangedFile, lInfo FROM SyncLog WHERE "
                 "lTaskName='temporaries' AND lErrorNO<>0"),
            std::vector<std::string>{});
  for (const auto& entry : fs::directory_iterator(dst)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name[0] != '.' && !name.ends_with(".lock")) << name;
  }
  EXPECT_EQ(module_host::DeleteTask(L"temporaries"), 0);
}

TEST_F(RealtimeTest, SpecialFilesOddNamesAndSizesDoNotStopTheWorker) {
  const fs::path src = dir_.path() / "odd-src";
  const fs::path dst = dir_.path() / "odd-dst";
  fs::create_directories(src);
  TaskInfo info(L"odd", src, dst);
  ASSERT_GE(Add(info), 20000);

  ASSERT_EQ(::mkfifo((src / "fifo").c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sock_path = (src / "sock").string();
  ASSERT_LT(sock_path.size(), sizeof address.sun_path);
  std::memcpy(address.sun_path, sock_path.c_str(), sock_path.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  fs::create_symlink("target-elsewhere", src / "link");
  const std::string bad_name = "bad-\xff\xfe.txt";  // not UTF-8
  Write(src / bad_name, "odd name");
  Write(src / "empty", "");
  // 1 GiB, sparse, with a marker at its end.
  constexpr off_t kBig = off_t{1} << 30;
  const int big = ::open((src / "big").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(big, 0);
  ASSERT_EQ(::pwrite(big, "tail", 4, kBig - 4), 4);
  ::close(big);
  Write(src / "after.txt", "after");

  ASSERT_TRUE(PollUntil(
      [&] {
        std::error_code ec;
        return HasContent(dst / "after.txt", "after") && fs::file_size(dst / "big", ec) == kBig &&
               fs::is_symlink(dst / "link") && fs::exists(dst / "empty");
      },
      std::chrono::seconds(60)));
  EXPECT_EQ(fs::read_symlink(dst / "link"), "target-elsewhere");
  EXPECT_EQ(ReadFile(dst / bad_name), "odd name");
  EXPECT_EQ(fs::file_size(dst / "empty"), 0u);
  char tail[4] = {};
  const int copy = ::open((dst / "big").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(copy, 0);
  EXPECT_EQ(::pread(copy, tail, 4, kBig - 4), 4);
  ::close(copy);
  EXPECT_EQ(std::string(tail, 4), "tail");
  EXPECT_FALSE(fs::exists(dst / "fifo"));
  EXPECT_FALSE(fs::exists(dst / "sock"));
  ::close(sock);
  fs::remove(dst / "big");
  EXPECT_EQ(module_host::DeleteTask(L"odd"), 0);
}

// A destination file system that fills up. The test runs again in a child
// inside its own user and mount namespaces, where a small tmpfs can be mounted
// without privileges; the inner half does the work.
TEST(FullDestination, FailsTheCopyAndGoesOn) {
  TempDir dir;
  const fs::path dst = dir.path() / "small-fs";
  fs::create_directories(dst);
  const auto run = testing_support::RunTestsInMountNamespace(
      "FullDestination.DISABLED_InsideANamespace", {"STRANDEL_SMALL_FS=" + dst.string()});
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

TEST(FullDestination, DISABLED_InsideANamespace) {
  const char* small_fs = std::getenv("STRANDEL_SMALL_FS");
  ASSERT_NE(small_fs, nullptr);
  ASSERT_TRUE(testing_support::MountTmpfs(small_fs, "size=256k"));
  TempDir dir;
  const fs::path src = dir.path() / "src";
  const fs::path dst = small_fs;
  fs::create_directories(src);
  TaskInfo info(L"full", src, dst);
  ASSERT_GE(CHostAddTask(g_module.Monitor(), info.get()), 20000);

  const std::string big(1 << 20, 'b');
  Write(src / "big.bin", big);
  Write(src / "after.txt", "after");
  ASSERT_TRUE(PollUntil([&] { return HasContent(dst / "after.txt", "after"); }));
  ASSERT_TRUE(PollUntil([] {
    try {
      return !Rows(
                  "SELECT lErrorNO, lLineNO, lInfo FROM SyncLog WHERE lTaskName='full' AND "
                  "lOperation='CopyData' AND lErrorNO=112")
                  .empty();
    } catch (const CppSQLite3Exception&) {
      return false;
    }
  }));
  EXPECT_FALSE(fs::exists(dst / "big.bin"));
  for (const auto& entry : fs::directory_iterator(dst)) {
    EXPECT_EQ(entry.path().filename().string().rfind(".strandel-part-", 0), std::string::npos)
        << "left behind: " << entry.path();
  }
  EXPECT_EQ(ReadFile(src / "big.bin"), big);
  EXPECT_EQ(module_host::DeleteTask(L"full"), 0);
}

}  // namespace
