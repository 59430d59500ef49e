// The engine's file primitives on real files: the copy's retry schedule on the
// fake clock against a real lock held by another process, backups' names, the
// partial directory delete, and the same-file rule.
#include "sync/file_operations.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "os/clock.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::PollUntil;
using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::TraceCapture;

void Write(const fs::path& path, std::size_t bytes, char fill = 'x') {
  std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
}

// Another process that holds an exclusive lock on path until told to let go:
// flock(1) keeps the lock while cat waits on its standard input. Started with
// posix_spawn, so no code of this multi-threaded test (nor a sanitizer's
// hooks) runs in a forked copy of it.
class LockHolder {
 public:
  explicit LockHolder(const fs::path& path) : path_(path) {
    if (pipe2(release_, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, release_[0], STDIN_FILENO);
    const std::string file = path_.string();
    char* const argv[] = {const_cast<char*>("flock"), const_cast<char*>("--exclusive"),
                          const_cast<char*>(file.c_str()), const_cast<char*>("cat"), nullptr};
    if (posix_spawn(&pid_, "/usr/bin/flock", &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(release_[0]);
    // Held once our own attempt is refused.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    PollUntil([&] {
      if (::flock(fd, LOCK_SH | LOCK_NB) != 0) return true;
      ::flock(fd, LOCK_UN);
      return false;
    });
    ::close(fd);
  }
  void Release() {
    if (pid_ <= 0) return;
    ::close(release_[1]);  // cat sees the end of its input and flock lets go
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  ~LockHolder() { Release(); }

 private:
  fs::path path_;
  pid_t pid_ = -1;
  int release_[2];
};

class FileOperationsTest : public ::testing::Test {
 protected:
  FileOperationsTest() : shared_(map_, nullptr), ops_(shared_, nullptr) {}
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  std::wstring W(const fs::path& p) { return os::FromUtf8(p.string()); }

  // Runs SyncCopyFile on a thread and answers each of its pauses with
  // on_pause(n, delay) then advances the clock by exactly that delay.
  struct CopyOutcome {
    BOOL result;
    DWORD error;
    std::vector<long> pauses;
  };
  CopyOutcome CopyWhile(const fs::path& from, const fs::path& to,
                        const std::function<void(int)>& before_pause_ends) {
    CopyOutcome outcome{};
    std::atomic<bool> done{false};
    // Counted before the copier starts: its first pause may begin at once.
    const std::size_t started = clock_.TimedWaitsStarted();
    std::thread copier([&] {
      outcome.result = ops_.SyncCopyFile(W(from), W(to), FALSE, &outcome.error, L"t");
      done = true;
    });
    const long schedule[] = {150, 225, 337, 505, 757, 1135, 1702, 2553, 3829, 5743};
    for (int n = 0; n < 10; ++n) {
      if (!PollUntil([&] {
            return done ||
                   (clock_.TimedWaitsStarted() == started + n + 1 && clock_.TimedWaiters() == 1);
          })) {
        break;
      }
      if (done) break;
      before_pause_ends(n);
      outcome.pauses.push_back(schedule[n]);
      clock_.Advance(std::chrono::milliseconds(schedule[n]) - std::chrono::nanoseconds(1));
      // Not due one nanosecond early: the pause is exactly as long as scheduled.
      EXPECT_EQ(clock_.TimedWaiters(), 1u);
      clock_.Advance(std::chrono::nanoseconds(1));
    }
    copier.join();
    return outcome;
  }

  TempDir dir_;
  os::FakeClock clock_;
  WatchTaskMap map_;
  WatchShared shared_;
  SyncFileOperations ops_;
};

TEST_F(FileOperationsTest, MissingSourceFailsAtOnceWithoutAnEntry) {
  DWORD error = 0;
  EXPECT_FALSE(
      ops_.SyncCopyFile(W(dir_.path() / "nope"), W(dir_.path() / "t"), FALSE, &error, L"t"));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(shared_.AddFilterMap.Size(), 0u);
}

TEST_F(FileOperationsTest, ANewTargetIsAnnouncedAndAFailedCopyWithdrawsIt) {
  Write(dir_.path() / "a", 10);
  DWORD error = 0;
  ASSERT_TRUE(ops_.SyncCopyFile(W(dir_.path() / "a"), W(dir_.path() / "b"), FALSE, &error, L"t"));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dir_.path() / "b")));
  EXPECT_EQ(ReadFile(dir_.path() / "b"), std::string(10, 'x'));
  // Access denied is not retried and is reported as a time-out with its code.
  TraceCapture trace;
  os::SetFileFaultForTest(
      [](std::string_view op, const std::string&) { return op == "copy-create" ? EACCES : 0; });
  const BOOL copied =
      ops_.SyncCopyFile(W(dir_.path() / "a"), W(dir_.path() / "c"), FALSE, &error, L"t");
  os::SetFileFaultForTest(nullptr);
  EXPECT_FALSE(copied);
  EXPECT_EQ(error, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(shared_.AddFilterMap.Contains(W(dir_.path() / "c")));
  EXPECT_TRUE(trace.Contains("fail, timeout, ErrCode:5"));
}

TEST_F(FileOperationsTest, ALockHeldBrieflyIsWaitedOutOnTheRetrySchedule) {
  Write(dir_.path() / "src", 1500);
  LockHolder lock(dir_.path() / "src");
  const auto outcome = CopyWhile(dir_.path() / "src", dir_.path() / "dst", [&](int n) {
    if (n == 1) lock.Release();  // gone before the second pause ends
  });
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.error, ERROR_SUCCESS);
  EXPECT_EQ(outcome.pauses, (std::vector<long>{150, 225}));
  EXPECT_EQ(ReadFile(dir_.path() / "dst").size(), 1500u);
}

TEST_F(FileOperationsTest, SmallGrowingOrHugeLockedSourcesGiveUpEarly) {
  {
    TraceCapture trace;
    Write(dir_.path() / "small", 1000);
    LockHolder lock(dir_.path() / "small");
    const auto outcome = CopyWhile(dir_.path() / "small", dir_.path() / "s2", [](int) {});
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, ERROR_SHARING_VIOLATION);
    EXPECT_EQ(outcome.pauses.size(), 1u);  // 150 ms is above a tenth of 1000 bytes
    EXPECT_TRUE(trace.Contains("fail, timeout, ErrCode:32"));
    // The failed retry announced the target as being modified.
    EXPECT_TRUE(shared_.ModifyFilterMap.Contains(W(dir_.path() / "s2")));
  }
  {
    TraceCapture trace;
    Write(dir_.path() / "growing", 5000);
    LockHolder lock(dir_.path() / "growing");
    const auto outcome = CopyWhile(dir_.path() / "growing", dir_.path() / "g2", [&](int) {
      std::ofstream(dir_.path() / "growing", std::ios::app) << "more";
    });
    EXPECT_FALSE(outcome.result);
    EXPECT_TRUE(trace.Contains("fail, unknow reason"));
  }
  {
    TraceCapture trace;
    Write(dir_.path() / "huge", 10000001);
    LockHolder lock(dir_.path() / "huge");
    const auto outcome = CopyWhile(dir_.path() / "huge", dir_.path() / "h2", [](int) {});
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.pauses.size(), 1u);
    EXPECT_TRUE(trace.Contains("fail, m_size:10000001"));
  }
  {
    TraceCapture trace;
    Write(dir_.path() / "vanishing", 100000);
    LockHolder lock(dir_.path() / "vanishing");
    const auto outcome = CopyWhile(dir_.path() / "vanishing", dir_.path() / "v2",
                                   [&](int) { fs::remove(dir_.path() / "vanishing"); });
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.error, ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(trace.Contains("is not exist"));
  }
}

TEST_F(FileOperationsTest, ALockHeldForGoodUsesTheWholeBudget) {
  Write(dir_.path() / "big", 100000);
  LockHolder lock(dir_.path() / "big");
  const auto outcome = CopyWhile(dir_.path() / "big", dir_.path() / "b2", [](int) {});
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.pauses,
            (std::vector<long>{150, 225, 337, 505, 757, 1135, 1702, 2553, 3829, 5743}));
  EXPECT_FALSE(fs::exists(dir_.path() / "b2"));
}

TEST(SyncBakName, DotsOfTheNameOnly) {
  EXPECT_EQ(SyncBakName(L"a/b.tar.gz"), L"a/b_syncbak.tar.gz");
  EXPECT_EQ(SyncBakName(L"a.d/readme"), L"a.d/readme_syncbak");
  EXPECT_EQ(SyncBakName(L"x/.profile"), L"x/_syncbak.profile");
  EXPECT_EQ(SyncBakName(L"/d/report.final.doc"), L"/d/report_syncbak.final.doc");
}

TEST_F(FileOperationsTest, DeleteDirectoryKeepsGoingPastAnUndeletableItem) {
  const fs::path root = dir_.path() / "tree";
  fs::create_directories(root / "keep" / "deeper");
  fs::create_directories(root / "other");
  Write(root / "keep" / "deeper" / "stuck.txt", 3);
  Write(root / "keep" / "deeper" / "free.txt", 3);
  Write(root / "other" / "x", 3);
  Write(root / "top.txt", 3);
  const std::string stuck = (root / "keep" / "deeper" / "stuck.txt").string();
  os::SetFileFaultForTest([&](std::string_view op, const std::string& path) {
    return op == "unlink" && path == stuck ? EPERM : 0;
  });
  ChangeRecord record;
  record.strTaskName = L"t";
  const BOOL deleted = ops_.DeleteDirectory(W(root), record);
  os::SetFileFaultForTest(nullptr);
  EXPECT_FALSE(deleted);
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(stuck));
  EXPECT_FALSE(fs::exists(root / "keep" / "deeper" / "free.txt"));
  EXPECT_FALSE(fs::exists(root / "other"));
  EXPECT_FALSE(fs::exists(root / "top.txt"));
  // The failed item's echo entry was withdrawn; the deleted ones await their echo.
  EXPECT_FALSE(shared_.DeleteFilterMap.Contains(W(fs::path(stuck))));
  EXPECT_TRUE(shared_.DeleteFilterMap.Contains(W(root / "top.txt")));
  EXPECT_FALSE(ops_.DeleteDirectory(L"/", record));  // never the root
}

TEST_F(FileOperationsTest, CopyDirectoryCopiesTheTreeAndLinksAsLinks) {
  const fs::path from = dir_.path() / "from";
  fs::create_directories(from / "sub");
  Write(from / "sub" / "f", 7);
  fs::create_directory_symlink("/", from / "to-root");
  ChangeRecord record;
  record.strTaskName = L"t";
  EXPECT_TRUE(ops_.CopyDirectory(W(from), W(dir_.path() / "to"), record));
  EXPECT_EQ(ReadFile(dir_.path() / "to" / "sub" / "f"), std::string(7, 'x'));
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "to" / "to-root"));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(dir_.path() / "to") + L"/"));
}

TEST_F(FileOperationsTest, SameFileNeedsEqualSizeAndTimesWithinTheStoredPrecision) {
  Write(dir_.path() / "a", 5);
  Write(dir_.path() / "b", 5);
  const auto set = [&](const char* name, int64_t sec, int64_t nsec) {
    ASSERT_TRUE(os::SetLastWriteTime(W(dir_.path() / name), sec, nsec));
  };
  set("a", 1700000000, 100);
  set("b", 1700000000, 100);
  EXPECT_TRUE(ops_.IsSameFileTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  EXPECT_TRUE(ops_.IsSameWriteTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  // Saved twice within one second: different on a file system that keeps nanoseconds.
  set("b", 1700000000, 900000000);
  EXPECT_FALSE(ops_.IsSameFileTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  // Same time, other size (edited in place would keep the time but not this).
  set("b", 1700000000, 100);
  Write(dir_.path() / "b", 6);
  set("b", 1700000000, 100);
  EXPECT_FALSE(ops_.IsSameFileTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  EXPECT_FALSE(ops_.IsSameFileSize(W(dir_.path() / "a"), W(dir_.path() / "b")));
  // Written just now with the same size and the same (coarse) time stamp: the
  // bytes decide.
  Write(dir_.path() / "a", 5, 'p');
  Write(dir_.path() / "b", 5, 'q');
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  set("a", now, 0);
  set("b", now, 0);
  EXPECT_FALSE(ops_.IsSameFileTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  Write(dir_.path() / "b", 5, 'p');
  set("b", now, 0);
  EXPECT_TRUE(ops_.IsSameFileTime(W(dir_.path() / "a"), W(dir_.path() / "b")));
  // A file that cannot be read is never the same as anything.
  EXPECT_FALSE(ops_.IsSameFileSize(W(dir_.path() / "x"), W(dir_.path() / "y")));
}

}  // namespace
