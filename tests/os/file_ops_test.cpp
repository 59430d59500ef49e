// File copies: all or nothing under injected faults, locked and special sources, links.
#include "os/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "os/last_error.h"
#include "os/linux/temp_files.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "os/linux/unique_fd.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 4096) % 251);
  return data;
}

std::wstring W(const std::string& path) { return os::FromUtf8(path); }

struct stat Lstat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

class FileOps : public ::testing::Test {
 protected:
  void TearDown() override {
    os::SetFileFaultForTest(nullptr);
    EXPECT_EQ(TempFiles(), 0) << "a temporary copy was left behind";
  }
  std::string P(const std::string& name) const { return dir_.str() + "/" + name; }
  int TempFiles() const {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      count += os::IsTempName(entry.path().filename().string());
    }
    return count;
  }
  testing_support::TempDir dir_;
};

TEST_F(FileOps, ASweepForStaleTemporariesLeavesTheOneOfACopyUnderWay) {
  using namespace std::chrono_literals;
  WriteFile(P("src"), Pattern(70000));
  ASSERT_EQ(::symlink("src", P("lnk").c_str()), 0);
  const os::UniqueFd dir(::open(dir_.str().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (const std::string source : {"src", "lnk"}) {
    // While the data is written, and when the temporary is named.
    std::vector<std::future<bool>> sweeps;
    os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
      if (op != "utimens" && op != "rename") return 0;
      for (const auto& entry : fs::directory_iterator(dir_.path())) {
        const std::string name = entry.path().filename().string();
        if (!os::IsTempName(name)) continue;
        // From another thread, as a watch would: it passes the temporary by,
        // or waits until the copy has given it its name.
        sweeps.push_back(std::async(std::launch::async, [&dir, name] {
          return os::RemoveStaleTemporary(dir.get(), name);
        }));
        sweeps.back().wait_for(100ms);
      }
      return 0;
    });
    EXPECT_TRUE(os::CopyFile(W(P(source)), W(P("copy-" + source)), FALSE)) << source;
    os::SetFileFaultForTest(nullptr);
    EXPECT_EQ(sweeps.size(), source == "src" ? 2u : 1u) << source;
    for (auto& swept : sweeps) EXPECT_FALSE(swept.get()) << source;
  }
  EXPECT_EQ(ReadFile(P("copy-src")), Pattern(70000));
  EXPECT_EQ(fs::read_symlink(P("copy-lnk")), "src");
}

TEST_F(FileOps, NoReplaceCopyNeverOverwritesEvenWhatAppearsMeanwhile) {
  WriteFile(P("src"), "mine");
  WriteFile(P("dst"), "old");
  ASSERT_EQ(::symlink("nowhere", P("dangling").c_str()), 0);
  ASSERT_EQ(::symlink("src", P("lnk").c_str()), 0);
  for (const char* target : {"dst", "dangling"}) {
    EXPECT_FALSE(os::CopyFile(W(P("src")), W(P(target)), TRUE)) << target;
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS) << target;
  }
  EXPECT_EQ(ReadFile(P("dst")), "old");
  // A target that turns up just before the copy takes its name, for a file and a link.
  for (const std::string source : {"src", "lnk"}) {
    const std::string target = P("late-" + source);
    os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
      if (op == "rename" || op == "link") WriteFile(target, "theirs");
      return 0;
    });
    EXPECT_FALSE(os::CopyFile(W(P(source)), W(target), TRUE)) << source;
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS) << source;
    EXPECT_EQ(ReadFile(target), "theirs") << source;
  }
  os::SetFileFaultForTest(nullptr);
  ASSERT_TRUE(os::CopyFile(W(P("src")), W(P("dst")), FALSE));
  EXPECT_EQ(ReadFile(P("dst")), "mine");
}

// Another writer at work on either side while a copy is made: a target written
// meanwhile keeps its newer version; a source written meanwhile is read again,
// and the copy announces the version it finally holds.
TEST_F(FileOps, ACopyReplacesOnlyTheTargetItBeganWithAndOnlyWithAWholeSource) {
  struct Case {
    const char* label;
    const char* writes;  // written by the other writer at the copy's first write
    BOOL result;
    const char* target_after;
  };
  const Case cases[] = {
      {"target rewritten", "dst", FALSE, "theirs, newer"},
      {"target made", "new", FALSE, "theirs, newer"},
      {"source rewritten", "src", TRUE, "mine, and more"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    WriteFile(P("src"), "mine");
    WriteFile(P("dst"), "old");
    fs::remove(P("new"));
    const std::string target = c.writes == std::string("new") ? P("new") : P("dst");
    bool once = true;
    os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
      if (op == "copy-write" && once) {
        once = false;
        if (c.writes == std::string("src")) {
          WriteFile(P("src"), "mine, and more");
        } else {
          WriteFile(target, "theirs, newer");
        }
      }
      return 0;
    });
    os::CopiedVersion announced;
    const BOOL copied = os::CopyFile(W(P("src")), W(target), FALSE,
                                     [&](const os::CopiedVersion& v) { announced = v; });
    os::SetFileFaultForTest(nullptr);
    EXPECT_EQ(copied, c.result);
    if (!c.result) {
      EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS);
    }
    EXPECT_EQ(ReadFile(target), c.target_after);
    if (c.result) {
      const struct stat st = Lstat(target);
      EXPECT_EQ(announced, (os::CopiedVersion{static_cast<uint64_t>(st.st_size),
                                              st.st_mtim.tv_sec, st.st_mtim.tv_nsec}));
    }
  }
}

// Each failure point of a copy: the old target stays byte for byte, a new one
// never appears, and no temporary file is left behind. Without a fault the
// copy keeps the mode, less the set-id bits, and both times to the nanosecond.
TEST_F(FileOps, CopyIsAllOrNothingAtEveryFaultPointAndKeepsModeAndTimes) {
  const std::string old_data = Pattern(5000);
  const std::string data = Pattern(20 << 20);  // more than one in-kernel chunk
  WriteFile(P("src"), data);
  ASSERT_EQ(::chmod(P("src").c_str(), 04640), 0);
  struct Case {
    const char* operation;
    int err;
    int after_calls;  // calls let through before the fault
    DWORD expected;
  };
  const Case cases[] = {
      {"open-source", ENOENT, 0, ERROR_FILE_NOT_FOUND},  // gone since the first look
      {"copy-create", EACCES, 0, ERROR_ACCESS_DENIED},
      {"copy-write", ENOSPC, 0, ERROR_DISK_FULL},
      {"copy-write", ENOSPC, 2, ERROR_DISK_FULL},  // after the first chunk: a half-written temp
      {"chmod", EPERM, 0, ERROR_ACCESS_DENIED},
      {"utimens", EPERM, 0, ERROR_ACCESS_DENIED},
      {"fsync", EIO, 0, ERROR_GEN_FAILURE},
      {"rename", EACCES, 0, ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    for (const BOOL fail_if_exists : {FALSE, TRUE}) {
      // Only a copy that replaces a target flushes: a new one has nothing to lose.
      if (std::string_view(c.operation) == "fsync" && fail_if_exists) continue;
      const std::string target = fail_if_exists ? P("fresh") : P("dst");
      if (!fail_if_exists) WriteFile(target, old_data);
      int calls = 0;
      os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
        return op == c.operation && calls++ >= c.after_calls ? c.err : 0;
      });
      const std::string label = std::string(c.operation) + " " + std::to_string(c.after_calls) +
                                (fail_if_exists ? " no-replace" : " replace");
      EXPECT_FALSE(os::CopyFile(W(P("src")), W(target), fail_if_exists)) << label;
      EXPECT_EQ(os::GetLastError(), c.expected) << label;
      EXPECT_GT(calls, c.after_calls) << label << ": the fault point was never reached";
      if (fail_if_exists) {
        EXPECT_FALSE(fs::exists(target)) << label;
      } else {
        EXPECT_EQ(ReadFile(target), old_data) << label;
      }
      EXPECT_EQ(TempFiles(), 0) << label;
      os::SetFileFaultForTest(nullptr);
    }
  }

  const struct timespec times[2] = {{1600000000, 111222333}, {1500000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("src").c_str(), times, 0), 0);
  const std::string longest(255, 'n');  // no room for a suffix: the temporary is named apart
  ASSERT_TRUE(os::CopyFile(W(P("src")), W(P(longest)), TRUE)) << os::GetLastError();
  const struct stat st = Lstat(P(longest));  // before reading moves the access time
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(std::pair(st.st_mtim.tv_sec, st.st_mtim.tv_nsec), std::pair(1500000000L, 987654321L));
  EXPECT_EQ(std::pair(st.st_atim.tv_sec, st.st_atim.tv_nsec), std::pair(1600000000L, 111222333L));
  EXPECT_EQ(ReadFile(P(longest)), data);
}

TEST_F(FileOps, RefusalsNameTheirCauseAndSpecialFilesNeverBlock) {
  WriteFile(P("src"), "x");
  WriteFile(P("swapped"), "x");
  ASSERT_EQ(::mkdir(P("sub").c_str(), 0755), 0);
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0644), 0);
  // Copies on another thread, so that a copy stuck opening a FIFO shows up as a failure.
  auto copy = [&](const std::string& from, const std::string& to, BOOL fail_if_exists) {
    auto result = std::async(std::launch::async, [&] {
      return os::CopyFile(W(P(from)), W(P(to)), fail_if_exists) ? ERROR_SUCCESS
                                                                : os::GetLastError();
    });
    if (result.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
      ADD_FAILURE() << "copying " << from << " blocked";
      ::close(::open(P(from).c_str(), O_WRONLY | O_NONBLOCK));  // let it go
    }
    return result.get();
  };
  EXPECT_EQ(copy("absent", "t", FALSE), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(copy("src", "no/such", FALSE), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(copy("sub", "t", FALSE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(copy("src", "sub", FALSE), ERROR_ACCESS_DENIED);
  EXPECT_EQ(copy("src", "sub", TRUE), ERROR_FILE_EXISTS);
  EXPECT_EQ(copy("fifo", "t", FALSE), ERROR_NOT_SUPPORTED);
  // A FIFO that takes a regular file's place between the first look and the open.
  os::SetFileFaultForTest([](std::string_view op, const std::string& path) {
    if (op == "open-source") {
      ::unlink(path.c_str());
      ::mkfifo(path.c_str(), 0644);
    }
    return 0;
  });
  EXPECT_EQ(copy("swapped", "t", FALSE), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(fs::is_directory(P("sub")));
  EXPECT_FALSE(fs::exists(P("t")));
}

TEST_F(FileOps, SourceLockedForWritingByAnotherProcessIsASharingViolation) {
  WriteFile(P("db"), Pattern(8192));
  struct Lock {
    bool flock;
    short type;  // LOCK_* for flock, F_*LCK for a POSIX lock
    bool blocks_copy;
  };
  for (const Lock lock : {Lock{true, LOCK_EX, true}, Lock{false, F_WRLCK, true},
                          Lock{true, LOCK_SH, false}, Lock{false, F_RDLCK, false}}) {
    SCOPED_TRACE(std::string(lock.flock ? "flock " : "fcntl ") + std::to_string(lock.type));
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t holder = ::fork();
    if (holder == 0) {
      ::close(release[1]);
      const int fd = ::open(P("db").c_str(), O_RDWR);
      // The POSIX lock is on one byte far beyond the end, as SQLite places its locks.
      struct flock range = {
          .l_type = lock.type, .l_whence = SEEK_SET, .l_start = 1 << 30, .l_len = 1, .l_pid = 0};
      const char locked = (lock.flock ? ::flock(fd, lock.type) : ::fcntl(fd, F_SETLK, &range)) == 0;
      (void)!::write(ready[1], &locked, 1);
      (void)!::read(release[0], &range, 1);
      ::_exit(0);
    }
    ::close(release[0]);
    char locked = 0;
    ASSERT_EQ(::read(ready[0], &locked, 1), 1);
    ASSERT_TRUE(locked);
    const BOOL copied = os::CopyFile(W(P("db")), W(P("copy")), FALSE);
    const DWORD error = os::GetLastError();
    ::close(release[1]);
    ::waitpid(holder, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    if (lock.blocks_copy) {
      EXPECT_FALSE(copied);
      EXPECT_EQ(error, ERROR_SHARING_VIOLATION);
      EXPECT_FALSE(fs::exists(P("copy")));
      EXPECT_TRUE(os::CopyFile(W(P("db")), W(P("copy")), FALSE)) << "once released";
    } else {
      EXPECT_TRUE(copied) << error;
    }
    fs::remove(P("copy"));
  }
}

TEST_F(FileOps, LinksAreCopiedTimedAndAttributedAsThemselves) {
  WriteFile(P("real"), "real contents");
  ASSERT_EQ(::chmod(P("real").c_str(), 0444), 0);
  ASSERT_EQ(::symlink("real", P("rel").c_str()), 0);
  const struct timespec times[2] = {{1400000000, 5}, {1300000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("rel").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  os::FileStatus status;
  ASSERT_TRUE(os::GetFileStatus(W(P("rel")), &status));
  EXPECT_TRUE(status.is_symlink && !status.is_regular);
  ASSERT_TRUE(os::CopyFile(W(P("rel")), W(P("rel-copy")), TRUE)) << os::GetLastError();
  ASSERT_TRUE(fs::is_symlink(P("rel-copy")));
  EXPECT_EQ(fs::read_symlink(P("rel-copy")), "real");
  EXPECT_EQ(Lstat(P("rel-copy")).st_mtim.tv_nsec, 123456789);

  // Neither attributes nor times, nor a file copied over the link, reach through it.
  const struct stat before = Lstat(P("real"));
  ASSERT_TRUE(os::SetPlainAttributes(W(P("rel"))));
  ASSERT_TRUE(os::SetLastWriteTime(W(P("rel")), 1234567890, 999999999));
  EXPECT_EQ(Lstat(P("rel")).st_mtim.tv_nsec, 999999999);
  WriteFile(P("other"), "other contents");
  ASSERT_TRUE(os::CopyFile(W(P("other")), W(P("rel")), FALSE));
  EXPECT_FALSE(fs::is_symlink(P("rel")));
  const struct stat after = Lstat(P("real"));
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(ReadFile(P("real")), "real contents");
  ASSERT_TRUE(os::SetPlainAttributes(W(P("real"))));
  EXPECT_EQ(Lstat(P("real")).st_mode & 07777, 0644u);
}

}  // namespace
