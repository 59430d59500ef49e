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

using RealtimeTest = module_host::HostTest;

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
  const LONG index = AddTaskOver(L"busy", src, dst, Ways::kOne);
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
