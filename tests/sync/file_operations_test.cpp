// The engine's file primitives: the copy's retry schedule, backup names, links, same-file rule.
#include "sync/file_operations.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
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

void Write(const fs::path& path, std::size_t bytes, char fill = 'x') {
  std::ofstream(path, std::ios::binary) << std::string(bytes, fill);
}

class FileOperationsTest : public ::testing::Test {
 protected:
  FileOperationsTest() : shared_(map_, nullptr), ops_(shared_, nullptr) {}
  void SetUp() override { os::SetClock(&clock_); }
  void TearDown() override { os::SetClock(nullptr); }
  std::wstring W(const char* name) { return os::FromUtf8((dir_.path() / name).string()); }

  // Runs SyncCopyFile on a thread; before each of its pauses ends, calls
  // before_pause_ends(n), then advances the clock by exactly that pause.
  struct CopyOutcome {
    BOOL result;
    DWORD error;
    std::size_t pauses;
  };
  CopyOutcome CopyWhile(const char* from, const char* to,
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
          }) ||
          done) {
        break;
      }
      before_pause_ends(n);
      ++outcome.pauses;
      clock_.Advance(std::chrono::milliseconds(schedule[n]) - std::chrono::nanoseconds(1));
      // Not due one nanosecond early: the pause is exactly as long as scheduled.
      EXPECT_EQ(clock_.TimedWaiters(), 1u);
      clock_.Advance(std::chrono::nanoseconds(1));
    }
    copier.join();
    return outcome;
  }

  testing_support::TempDir dir_;
  os::FakeClock clock_;
  WatchTaskMap map_;
  WatchShared shared_;
  SyncFileOperations ops_;
};

TEST_F(FileOperationsTest, ACopyKeepsTheTimeOfTheVersionItCopied) {
  // A write that lands just after the bytes were copied must not lend its
  // time to the old bytes: both sides would then look the same for good.
  const fs::path source = dir_.path() / "a";
  const fs::path target = dir_.path() / "a.copy";
  Write(source, 100, 'x');
  fs::last_write_time(source, fs::last_write_time(source) - std::chrono::hours(5));
  const auto copied_time = fs::last_write_time(source);
  os::SetFileFaultForTest([&](std::string_view operation, const std::string& path) {
    if (operation == "rename" && path == target.string()) Write(source, 100, 'y');
    return 0;
  });
  EXPECT_TRUE(ops_.SyncCopyFile(W("a"), W("a.copy"), FALSE, nullptr, L"t"));
  os::SetFileFaultForTest({});
  EXPECT_EQ(ReadFile(target), std::string(100, 'x'));
  EXPECT_EQ(fs::last_write_time(target), copied_time);
  EXPECT_NE(fs::last_write_time(source), copied_time);
}

TEST_F(FileOperationsTest, AMissingSourceIsNotFoundWhereverItWasAndLeavesNoTrace) {
  // Gone with its directory too: the copy's own lookup fails on the path,
  // yet the caller must learn that the file is not there.
  fs::create_directory(dir_.path() / "out");
  for (const char* source : {"gone", "no-dir/gone"}) {
    SCOPED_TRACE(source);
    DWORD error = ERROR_SUCCESS;
    EXPECT_FALSE(ops_.SyncCopyFile(W(source), W("out/copy"), FALSE, &error, L"t"));
    EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(shared_.AddFilterMap.Contains(W("out/copy")));
    EXPECT_TRUE(fs::is_empty(dir_.path() / "out"));
  }
}

TEST_F(FileOperationsTest, ACopyThatMustNotReplaceAcceptsOnlyItsOwnVersionInTheWay) {
  // A full sync and the change that made the file may both copy it: the one
  // that comes second finds the name taken by the very same version.
  const fs::path source = dir_.path() / "s";
  Write(source, 100, 'x');
  fs::last_write_time(source, fs::last_write_time(source) - std::chrono::hours(5));
  ASSERT_TRUE(os::CopyFile(W("s"), W("same"), TRUE));
  Write(dir_.path() / "other", 100, 'y');

  DWORD error = ERROR_GEN_FAILURE;
  EXPECT_TRUE(ops_.SyncCopyFile(W("s"), W("same"), TRUE, &error, L"t"));
  EXPECT_EQ(error, ERROR_SUCCESS);
  EXPECT_FALSE(ops_.SyncCopyFile(W("s"), W("other"), TRUE, &error, L"t"));
  EXPECT_EQ(error, ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(dir_.path() / "other"), std::string(100, 'y'));
}

TEST_F(FileOperationsTest, LockedSourceIsRetriedOnTheScheduleWhileThatCanStillHelp) {
  enum Meanwhile { kNothing, kRelease, kGrow, kRemove };
  struct Case {
    const char* name;
    std::size_t size;
    Meanwhile meanwhile;
    BOOL result;
    DWORD error;
    std::size_t pauses;
  };
  const Case cases[] = {
      // Let go before the second pause ends.
      {"released", 1500, kRelease, TRUE, ERROR_SUCCESS, 2},
      // 150 ms is more than a tenth of 1000 bytes.
      {"small", 1000, kNothing, FALSE, ERROR_SHARING_VIOLATION, 1},
      // Still being written: a later change brings the final contents.
      {"growing", 5000, kGrow, FALSE, ERROR_SHARING_VIOLATION, 1},
      {"huge", 10000001, kNothing, FALSE, ERROR_SHARING_VIOLATION, 1},
      {"vanishing", 100000, kRemove, FALSE, ERROR_FILE_NOT_FOUND, 1},
      {"held for good", 100000, kNothing, FALSE, ERROR_SHARING_VIOLATION, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path source = dir_.path() / c.name;
    const std::string target = std::string(c.name) + ".copy";
    Write(source, c.size);
    fs::last_write_time(source, fs::last_write_time(source) - std::chrono::hours(5));
    // An exclusive flock, as a program writing the file holds it: the copy's
    // own open is another open file description, so it stands in the way
    // exactly as a lock of another process would.
    const int lock = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    const CopyOutcome outcome = CopyWhile(c.name, target.c_str(), [&](int n) {
      if (c.meanwhile == kRelease && n == 1) ::flock(lock, LOCK_UN);
      if (c.meanwhile == kGrow) std::ofstream(source, std::ios::app) << "more";
      if (c.meanwhile == kRemove) fs::remove(source);
    });
    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.pauses, c.pauses);
    ::close(lock);
    EXPECT_EQ(fs::exists(dir_.path() / target), c.result == TRUE);
    // A copy after a pause carries the time too; the new target is announced.
    if (c.result) {
      EXPECT_EQ(fs::last_write_time(dir_.path() / target), fs::last_write_time(source));
      EXPECT_TRUE(shared_.AddFilterMap.Contains(W(target.c_str())));
    }
    // A failed retry announces the target as being modified.
    EXPECT_EQ(shared_.ModifyFilterMap.Contains(W(target.c_str())), c.error != ERROR_FILE_NOT_FOUND);
  }
}

TEST(SyncBakName, DotsOfTheNameOnly) {
  EXPECT_EQ(SyncBakName(L"a/b.tar.gz"), L"a/b_syncbak.tar.gz");
  EXPECT_EQ(SyncBakName(L"a.d/readme"), L"a.d/readme_syncbak");
  EXPECT_EQ(SyncBakName(L"x/.profile"), L"x/_syncbak.profile");
}

TEST_F(FileOperationsTest, DirectoryCopyTakesLinksAsLinksAndNeitherCopyNorDeleteTakesTheRoot) {
  fs::create_directories(dir_.path() / "from/sub");
  Write(dir_.path() / "from/sub/f", 7);
  const auto old = fs::last_write_time(dir_.path() / "from/sub/f") - std::chrono::hours(5);
  fs::last_write_time(dir_.path() / "from/sub/f", old);
  fs::create_directory_symlink("/", dir_.path() / "from/to-root");
  ChangeRecord record;
  record.strTaskName = L"t";
  EXPECT_TRUE(ops_.CopyDirectory(W("from"), W("to"), record));
  EXPECT_EQ(ReadFile(dir_.path() / "to/sub/f"), std::string(7, 'x'));
  EXPECT_EQ(fs::last_write_time(dir_.path() / "to/sub/f"), old);  // a copy carries the time
  EXPECT_TRUE(fs::is_symlink(dir_.path() / "to/to-root"));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W("to") + L"/"));
  EXPECT_FALSE(ops_.CopyDirectory(L"/", W("root"), record));
  EXPECT_FALSE(fs::exists(dir_.path() / "root"));
  EXPECT_FALSE(ops_.DeleteDirectory(L"/", record));
}

TEST_F(FileOperationsTest, SameFileNeedsEqualSizeAndTimesWithinTheStoredPrecision) {
  const auto set = [&](const char* name, int64_t sec, int64_t nsec) {
    ASSERT_TRUE(os::SetLastWriteTime(W(name), sec, nsec));
  };
  Write(dir_.path() / "a", 5);
  Write(dir_.path() / "b", 5);
  set("a", 1700000000, 100);
  set("b", 1700000000, 100);
  EXPECT_TRUE(ops_.IsSameFileTime(W("a"), W("b")));
  EXPECT_TRUE(ops_.IsSameWriteTime(W("a"), W("b")));
  // Saved twice within one second: different on a file system that keeps nanoseconds.
  set("b", 1700000000, 900000000);
  EXPECT_FALSE(ops_.IsSameFileTime(W("a"), W("b")));
  // Same time, other size.
  Write(dir_.path() / "b", 6);
  set("b", 1700000000, 100);
  EXPECT_FALSE(ops_.IsSameFileTime(W("a"), W("b")));
  EXPECT_FALSE(ops_.IsSameFileSize(W("a"), W("b")));
  // Written just now with the same size and the same (coarse) time stamp: the
  // bytes decide.
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  Write(dir_.path() / "a", 5, 'p');
  Write(dir_.path() / "b", 5, 'q');
  set("a", now, 0);
  set("b", now, 0);
  EXPECT_FALSE(ops_.IsSameFileTime(W("a"), W("b")));
  Write(dir_.path() / "b", 5, 'p');
  set("b", now, 0);
  EXPECT_TRUE(ops_.IsSameFileTime(W("a"), W("b")));
  // A file that cannot be read is never the same as anything.
  EXPECT_FALSE(ops_.IsSameFileSize(W("x"), W("y")));
}

}  // namespace
