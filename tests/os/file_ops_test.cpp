#include "os/file_ops.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "os/directory_ops.h"
#include "os/directory_watch.h"
#include "os/file_attributes.h"
#include "os/last_error.h"
#include "os/text.h"
#include "os/volumes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 4096) % 251);
  return data;
}

std::wstring W(const std::string& path) { return os::FromUtf8(path); }

int TempFilesIn(const std::string& dir) {
  const std::string prefix = os::ToUtf8(os::kTempCopyPrefix);
  int count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) ++count;
  }
  return count;
}

struct stat Lstat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

class FileOps : public ::testing::Test {
 protected:
  void TearDown() override { os::SetFileFaultForTest(nullptr); }
  std::string P(const std::string& name) const { return dir_.str() + "/" + name; }
  TempDir dir_;
};

// A child process that takes a lock on path and holds it until released.
class LockHolder {
 public:
  enum class Kind { kFlockExclusive, kFlockShared, kFcntlWrite, kFcntlRead };

  LockHolder(const std::string& path, Kind kind) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      const int fd = ::open(path.c_str(), O_RDWR);
      int rc = -1;
      if (kind == Kind::kFlockExclusive || kind == Kind::kFlockShared) {
        rc = ::flock(fd, kind == Kind::kFlockExclusive ? LOCK_EX : LOCK_SH);
      } else {
        // One byte far beyond the end, where SQLite puts its lock bytes.
        struct flock fl = {};
        fl.l_type = kind == Kind::kFcntlWrite ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 0x40000000;
        fl.l_len = 1;
        rc = ::fcntl(fd, F_SETLK, &fl);
      }
      const char status = rc == 0 ? 'y' : 'n';
      if (::write(ready[1], &status, 1) != 1) ::_exit(2);
      char unused;
      (void)!::read(release[0], &unused, 1);
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    release_fd_ = release[1];
    char status = 'n';
    locked_ = ::read(ready[0], &status, 1) == 1 && status == 'y';
    ::close(ready[0]);
  }
  ~LockHolder() { Release(); }

  bool locked() const { return locked_; }
  void Release() {
    if (pid_ <= 0) return;
    ::close(release_fd_);
    int status;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int release_fd_ = -1;
  bool locked_ = false;
};

TEST_F(FileOps, CopyKeepsContentModeAndNanosecondTimes) {
  const std::string data = Pattern(3 * 1024 * 1024 + 17);
  WriteFile(P("a"), data);
  ASSERT_EQ(::chmod(P("a").c_str(), 0640), 0);
  const struct timespec times[2] = {{1600000000, 111222333}, {1500000000, 987654321}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("a").c_str(), times, 0), 0);

  ASSERT_TRUE(os::CopyFile(W(P("a")), W(P("b")), TRUE)) << os::GetLastError();
  const struct stat st = Lstat(P("b"));  // before reading it moves the access time
  EXPECT_EQ(ReadFile(P("b")), data);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1500000000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 987654321);
  EXPECT_EQ(st.st_atim.tv_sec, 1600000000);
  EXPECT_EQ(st.st_atim.tv_nsec, 111222333);
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);

  // Empty files and set-id bits.
  WriteFile(P("empty"), "");
  ASSERT_EQ(::chmod(P("empty").c_str(), 04755), 0);
  ASSERT_TRUE(os::CopyFile(W(P("empty")), W(P("empty2")), FALSE));
  EXPECT_EQ(Lstat(P("empty2")).st_size, 0);
  EXPECT_EQ(Lstat(P("empty2")).st_mode & 07777, 0755u) << "a set-uid copy made by root";
}

TEST_F(FileOps, CopyReplacesOnlyWhenAllowed) {
  WriteFile(P("src"), "new contents");
  WriteFile(P("dst"), "old");
  ASSERT_FALSE(os::CopyFile(W(P("src")), W(P("dst")), TRUE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_EQ(ReadFile(P("dst")), "old");

  // A dangling link is something at the target too.
  ASSERT_EQ(::symlink("nowhere", P("dangling").c_str()), 0);
  ASSERT_FALSE(os::CopyFile(W(P("src")), W(P("dangling")), TRUE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS);

  ASSERT_TRUE(os::CopyFile(W(P("src")), W(P("dst")), FALSE));
  EXPECT_EQ(ReadFile(P("dst")), "new contents");
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);
}

TEST_F(FileOps, CopyNeverReplacesAFileThatAppearsMeanwhile) {
  WriteFile(P("src"), "mine");
  WriteFile(P("link-src"), "x");
  ASSERT_EQ(::symlink("link-src", P("lnk").c_str()), 0);
  for (const std::string source : {"src", "lnk"}) {
    const std::string target = P("late-" + source);
    os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
      if (op == "rename" || op == "link") WriteFile(target, "theirs");
      return 0;
    });
    EXPECT_FALSE(os::CopyFile(W(P(source)), W(target), TRUE)) << source;
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS) << source;
    EXPECT_EQ(ReadFile(target), "theirs") << source;
    EXPECT_EQ(TempFilesIn(dir_.str()), 0) << source;
  }
}

TEST_F(FileOps, ReaderNeverSeesAPartialTarget) {
  const std::string old_data = "old target";
  const std::string new_data = Pattern(96 * 1024 * 1024);
  WriteFile(P("src"), new_data);
  WriteFile(P("dst"), old_data);

  std::atomic<bool> done{false};
  std::atomic<int> seen_old{0};
  std::atomic<int> seen_new{0};
  std::atomic<int> partial{0};
  std::thread reader([&] {
    std::vector<char> tail(4096);
    while (!done.load()) {
      const int fd = ::open(P("dst").c_str(), O_RDONLY);
      if (fd < 0) {
        ++partial;  // the target must never be missing either
        continue;
      }
      struct stat st;
      ::fstat(fd, &st);
      if (static_cast<size_t>(st.st_size) == old_data.size()) {
        ++seen_old;
      } else if (static_cast<size_t>(st.st_size) == new_data.size() &&
                 ::pread(fd, tail.data(), tail.size(), st.st_size - 4096) == 4096 &&
                 std::equal(tail.begin(), tail.end(), new_data.end() - 4096)) {
        ++seen_new;
      } else {
        ++partial;
      }
      ::close(fd);
    }
  });
  const bool copied = os::CopyFile(W(P("src")), W(P("dst")), FALSE);
  // Let the reader see the finished file at least once.
  testing_support::PollUntil([&] { return seen_new.load() > 0; });
  done = true;
  reader.join();
  ASSERT_TRUE(copied) << os::GetLastError();
  EXPECT_EQ(partial.load(), 0);
  EXPECT_GT(seen_old.load(), 0) << "the reader did not run during the copy";
  EXPECT_GT(seen_new.load(), 0);
}

// Each failure point of a copy: the old target stays byte for byte and no
// temporary file is left behind.
TEST_F(FileOps, FailedCopyLeavesOldTargetAndNoTemporary) {
  const std::string old_data = Pattern(5000);
  WriteFile(P("src"), Pattern(40 * 1024 * 1024));
  struct Case {
    const char* operation;
    int err;
    int after_calls;  // calls let through before the fault
    DWORD expected;
  };
  const Case cases[] = {
      {"copy-write", ENOSPC, 0, ERROR_DISK_FULL},
      {"copy-write", ENOSPC, 1, ERROR_DISK_FULL},  // the second chunk: a half-written temp
      {"copy-write", EDQUOT, 1, ERROR_DISK_FULL},
      {"copy-create", EACCES, 0, ERROR_ACCESS_DENIED},  // read-only target directory
      {"copy-create", EROFS, 0, ERROR_ACCESS_DENIED},
      {"chmod", EPERM, 0, ERROR_ACCESS_DENIED},
      {"utimens", EPERM, 0, ERROR_ACCESS_DENIED},
      {"fsync", EIO, 0, ERROR_GEN_FAILURE},
      {"fsync", ENOSPC, 0, ERROR_DISK_FULL},
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
      EXPECT_EQ(TempFilesIn(dir_.str()), 0) << label;
      os::SetFileFaultForTest(nullptr);
    }
  }
}

TEST_F(FileOps, SourceThatVanishesBeforeOpeningIsNotFound) {
  WriteFile(P("src"), "soon gone");
  WriteFile(P("dst"), "old");
  os::SetFileFaultForTest([&](std::string_view op, const std::string& path) {
    if (op == "open-source") ::unlink(path.c_str());
    return 0;
  });
  EXPECT_FALSE(os::CopyFile(W(P("src")), W(P("dst")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadFile(P("dst")), "old");
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);
}

TEST_F(FileOps, CopyErrorCodes) {
  WriteFile(P("src"), "x");
  ASSERT_EQ(::mkdir(P("sub").c_str(), 0755), 0);

  EXPECT_FALSE(os::CopyFile(W(P("absent")), W(P("t")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os::LastFailedPath(), P("absent"));
  EXPECT_FALSE(os::CopyFile(W(P("no/such")), W(P("t")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(os::CopyFile(W(P("src")), W(P("no/such")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(os::CopyFile(W(P("src")), W(P("src/under-a-file")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(os::CopyFile(W(P("sub")), W(P("t")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(os::CopyFile(W(P("src")), W(P("sub")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(P("sub")));
  EXPECT_FALSE(os::CopyFile(W(P("src")), W(P("sub")), TRUE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_FALSE(os::CreateDirectory(W(P("sub"))));
  EXPECT_EQ(os::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(fs::exists(P("t")));
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);
}

TEST_F(FileOps, LinksAreCopiedAsLinks) {
  WriteFile(P("real"), "real contents");
  ASSERT_EQ(::symlink("real", P("rel").c_str()), 0);
  ASSERT_EQ(::symlink("/nonexistent/elsewhere", P("dangling").c_str()), 0);
  const struct timespec times[2] = {{1400000000, 5}, {1300000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("rel").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);

  ASSERT_TRUE(os::CopyFile(W(P("rel")), W(P("rel-copy")), TRUE)) << os::GetLastError();
  ASSERT_TRUE(os::CopyFile(W(P("dangling")), W(P("dangling-copy")), TRUE));
  EXPECT_TRUE(fs::is_symlink(P("rel-copy")));
  EXPECT_EQ(fs::read_symlink(P("rel-copy")), "real");
  EXPECT_EQ(fs::read_symlink(P("dangling-copy")), "/nonexistent/elsewhere");
  EXPECT_EQ(Lstat(P("rel-copy")).st_mtim.tv_nsec, 123456789);

  // Replacing a regular file with a link, and a link with a file.
  WriteFile(P("was-file"), "old");
  ASSERT_TRUE(os::CopyFile(W(P("rel")), W(P("was-file")), FALSE));
  EXPECT_TRUE(fs::is_symlink(P("was-file")));
  ASSERT_TRUE(os::CopyFile(W(P("real")), W(P("rel-copy")), FALSE));
  EXPECT_FALSE(fs::is_symlink(P("rel-copy")));
  EXPECT_EQ(ReadFile(P("real")), "real contents");
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);
}

TEST_F(FileOps, SpecialFilesAreRefusedWithoutBlocking) {
  ASSERT_EQ(::mkfifo(P("fifo").c_str(), 0644), 0);
  auto copy = std::async(std::launch::async, [&] {
    const BOOL copied = os::CopyFile(W(P("fifo")), W(P("f2")), FALSE);
    return std::pair(copied, os::GetLastError());
  });
  if (copy.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int unblock = ::open(P("fifo").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    FAIL() << "copying a FIFO blocked";
  }
  const auto [copied, error] = copy.get();
  EXPECT_FALSE(copied);
  EXPECT_EQ(error, ERROR_NOT_SUPPORTED);

  // A FIFO that takes a regular file's place between the look and the open.
  WriteFile(P("swapped"), "x");
  os::SetFileFaultForTest([](std::string_view op, const std::string& path) {
    if (op == "open-source") {
      ::unlink(path.c_str());
      ::mkfifo(path.c_str(), 0644);
    }
    return 0;
  });
  auto swapped = std::async(std::launch::async, [&] {
    const BOOL copied = os::CopyFile(W(P("swapped")), W(P("f2")), FALSE);
    return std::pair(copied, os::GetLastError());
  });
  if (swapped.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    const int unblock = ::open(P("swapped").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) ::close(unblock);
    FAIL() << "a FIFO swapped in blocked the copy";
  }
  EXPECT_EQ(swapped.get(), std::pair(FALSE, ERROR_NOT_SUPPORTED));
  os::SetFileFaultForTest(nullptr);

  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = P("sock");
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  sock_path.copy(addr.sun_path, sock_path.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  EXPECT_FALSE(os::CopyFile(W(sock_path), W(P("s2")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_NOT_SUPPORTED);
  ::close(sock);

  EXPECT_FALSE(os::CopyFile(L"/dev/zero", W(P("z")), FALSE));
  EXPECT_EQ(os::GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_FALSE(fs::exists(P("f2")) || fs::exists(P("s2")) || fs::exists(P("z")));
  EXPECT_EQ(TempFilesIn(dir_.str()), 0);
}

TEST_F(FileOps, SourceLockedByAnotherProcessIsASharingViolation) {
  WriteFile(P("db"), Pattern(8192));
  for (const auto kind : {LockHolder::Kind::kFlockExclusive, LockHolder::Kind::kFcntlWrite}) {
    LockHolder holder(P("db"), kind);
    ASSERT_TRUE(holder.locked());
    EXPECT_FALSE(os::CopyFile(W(P("db")), W(P("copy")), FALSE));
    EXPECT_EQ(os::GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(fs::exists(P("copy")));
    EXPECT_EQ(TempFilesIn(dir_.str()), 0);
    holder.Release();
    EXPECT_TRUE(os::CopyFile(W(P("db")), W(P("copy")), FALSE)) << os::GetLastError();
    ASSERT_EQ(::unlink(P("copy").c_str()), 0);
  }
  // Readers do not stop a copy.
  for (const auto kind : {LockHolder::Kind::kFlockShared, LockHolder::Kind::kFcntlRead}) {
    LockHolder holder(P("db"), kind);
    ASSERT_TRUE(holder.locked());
    EXPECT_TRUE(os::CopyFile(W(P("db")), W(P("copy")), FALSE)) << os::GetLastError();
    ASSERT_EQ(::unlink(P("copy").c_str()), 0);
  }
}

TEST_F(FileOps, UnusualNamesSurvive) {
  const std::string long_name(255, 'n');
  const std::string raw_name = "caf\xc3\xa9-\xff\xfe-bad";  // not valid UTF-8
  WriteFile(P(long_name), "long");
  WriteFile(P(raw_name), "raw");

  ASSERT_TRUE(os::CopyFile(W(P(long_name)), W(P(std::string(254, 'm') + "x")), TRUE))
      << os::GetLastError();
  EXPECT_EQ(ReadFile(P(std::string(254, 'm') + "x")), "long");
  ASSERT_TRUE(os::CopyFile(W(P(raw_name)), W(P(raw_name + "2")), TRUE)) << os::GetLastError();
  EXPECT_EQ(ReadFile(P(raw_name + "2")), "raw");
  EXPECT_FALSE(os::CopyFile(W(P(raw_name)), W(P(std::string(256, 'o'))), TRUE));
  EXPECT_EQ(os::GetLastError(), ERROR_FILENAME_EXCED_RANGE);

  os::DirectoryListing listing;
  ASSERT_TRUE(listing.Open(dir_.wstr()));
  std::wstring name;
  bool is_directory;
  bool found_raw = false;
  while (listing.Next(&name, &is_directory)) found_raw |= os::ToUtf8(name) == raw_name + "2";
  EXPECT_TRUE(found_raw);
  ASSERT_TRUE(os::MoveFile(W(P(raw_name + "2")), W(P(raw_name + "3"))));
  EXPECT_EQ(ReadFile(P(raw_name + "3")), "raw");
  ASSERT_TRUE(os::DeleteFile(W(P(raw_name + "3"))));
  EXPECT_FALSE(fs::exists(P(raw_name + "3")));
}

TEST_F(FileOps, ListingNeverFollowsDirectoryLinks) {
  ASSERT_EQ(::mkdir(P("sub").c_str(), 0755), 0);
  WriteFile(P("file"), "");
  ASSERT_EQ(::symlink("sub", P("link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink(dir_.str().c_str(), P("sub/loop").c_str()), 0);
  ASSERT_EQ(::symlink("gone", P("dangling").c_str()), 0);

  os::DirectoryListing listing;
  ASSERT_TRUE(listing.Open(dir_.wstr()));
  std::map<std::wstring, bool> entries;
  std::wstring name;
  bool is_directory;
  while (listing.Next(&name, &is_directory)) entries[name] = is_directory;
  EXPECT_EQ(os::GetLastError(), ERROR_SUCCESS);
  const std::map<std::wstring, bool> expected = {
      {L"sub", true}, {L"file", false}, {L"link-to-dir", false}, {L"dangling", false}};
  EXPECT_EQ(entries, expected);

  ASSERT_TRUE(listing.Open(W(P("sub"))));
  ASSERT_TRUE(listing.Next(&name, &is_directory));
  EXPECT_EQ(name, L"loop");
  EXPECT_FALSE(is_directory);
  EXPECT_FALSE(listing.Next(&name, &is_directory));

  EXPECT_FALSE(listing.Open(W(P("absent"))));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(listing.Open(W(P("absent/deeper"))));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(listing.Next(&name, &is_directory));
}

TEST_F(FileOps, StatusDescribesLinksAsThemselves) {
  WriteFile(P("f"), "12345");
  ASSERT_EQ(::symlink("f", P("l").c_str()), 0);
  ASSERT_EQ(::symlink("gone", P("dangling").c_str()), 0);
  ASSERT_EQ(::mkdir(P(".hidden-dir").c_str(), 0755), 0);

  os::FileStatus status;
  ASSERT_TRUE(os::GetFileStatus(W(P("f")), &status));
  EXPECT_TRUE(status.is_regular);
  EXPECT_EQ(status.size, 5u);
  ASSERT_TRUE(os::GetFileStatus(W(P("l")), &status));
  EXPECT_TRUE(status.is_symlink);
  EXPECT_FALSE(status.is_regular);
  ASSERT_TRUE(os::GetFileStatus(W(P(".hidden-dir")), &status));
  EXPECT_TRUE(status.is_directory);
  EXPECT_EQ(status.attributes, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN);
  EXPECT_FALSE(os::GetFileStatus(W(P("nope")), &status));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);

  EXPECT_TRUE(os::PathExists(W(P("dangling"))));
  EXPECT_FALSE(os::PathExists(W(P("nope"))));

  ASSERT_EQ(::link(P("f").c_str(), P("hard").c_str()), 0);
  EXPECT_TRUE(os::IsSameFile(W(P("f")), W(P("hard"))));
  EXPECT_FALSE(os::IsSameFile(W(P("f")), W(P("l"))));
  EXPECT_FALSE(os::IsSameFile(W(P("f")), W(P("nope"))));
}

TEST_F(FileOps, MoveDeleteAndRemoveDirectory) {
  WriteFile(P("a"), "a");
  WriteFile(P("b"), "b");
  ASSERT_TRUE(os::MoveFile(W(P("a")), W(P("b"))));
  EXPECT_EQ(ReadFile(P("b")), "a");
  EXPECT_FALSE(fs::exists(P("a")));
  EXPECT_FALSE(os::MoveFile(W(P("a")), W(P("c"))));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(os::MoveFile(W(P("b")), W(P("no/such"))));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ReadFile(P("b")), "a");

  ASSERT_EQ(::mkdir(P("d").c_str(), 0755), 0);
  WriteFile(P("d/inner"), "");
  ASSERT_EQ(::symlink("b", P("l").c_str()), 0);
  EXPECT_FALSE(os::DeleteFile(W(P("d"))));
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(os::RemoveDirectory(W(P("d"))));
  EXPECT_EQ(os::GetLastError(), ERROR_DIR_NOT_EMPTY);
  ASSERT_TRUE(os::DeleteFile(W(P("l"))));
  EXPECT_TRUE(fs::exists(P("b"))) << "deleting a link removed what it points to";
  ASSERT_TRUE(os::DeleteFile(W(P("d/inner"))));
  ASSERT_TRUE(os::RemoveDirectory(W(P("d"))));
  EXPECT_FALSE(os::DeleteFile(W(P("d/inner"))));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);

  // Undeletable file and directory, as root cannot make them for real.
  ASSERT_EQ(::mkdir(P("d").c_str(), 0755), 0);
  os::SetFileFaultForTest([](std::string_view op, const std::string&) {
    return op == "unlink" || op == "rmdir" ? EACCES : 0;
  });
  EXPECT_FALSE(os::DeleteFile(W(P("b"))));
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(os::RemoveDirectory(W(P("d"))));
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(P("b")) && fs::exists(P("d")));
}

TEST_F(FileOps, MoveAcrossFileSystemsIsNotSameDevice) {
  struct stat here;
  struct stat shm;
  if (::stat("/dev/shm", &shm) != 0 || ::stat(dir_.str().c_str(), &here) != 0 ||
      here.st_dev == shm.st_dev) {
    GTEST_SKIP() << "no second file system at hand";
  }
  const std::string other = "/dev/shm/strandel-move-" + std::to_string(::getpid());
  WriteFile(P("a"), "a");
  EXPECT_FALSE(os::MoveFile(W(P("a")), W(other)));
  EXPECT_EQ(os::GetLastError(), ERROR_NOT_SAME_DEVICE);
  EXPECT_TRUE(fs::exists(P("a")));
  ::unlink(other.c_str());
}

TEST_F(FileOps, AttributesAndTimes) {
  WriteFile(P("ro"), "x");
  ASSERT_EQ(::chmod(P("ro").c_str(), 0444), 0);
  ASSERT_EQ(::symlink("ro", P("l").c_str()), 0);
  EXPECT_TRUE(os::GetFileAttributes(W(P("ro"))) & FILE_ATTRIBUTE_READONLY);
  ASSERT_TRUE(os::SetPlainAttributes(W(P("l"))));
  EXPECT_EQ(Lstat(P("ro")).st_mode & 07777, 0444u) << "followed the link";
  ASSERT_TRUE(os::SetPlainAttributes(W(P("ro"))));
  EXPECT_EQ(Lstat(P("ro")).st_mode & 07777, 0644u);
  EXPECT_FALSE(os::GetFileAttributes(W(P("ro"))) & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(os::SetPlainAttributes(W(P("nope"))));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);

  const int64_t target_mtime = Lstat(P("ro")).st_mtim.tv_sec;
  ASSERT_TRUE(os::SetLastWriteTime(W(P("l")), 1234567890, 999999999));
  EXPECT_EQ(Lstat(P("l")).st_mtim.tv_nsec, 999999999);
  EXPECT_EQ(Lstat(P("ro")).st_mtim.tv_sec, target_mtime) << "followed the link";
  const struct timespec times[2] = {{1000, 7}, {1, 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, P("ro").c_str(), times, 0), 0);
  ASSERT_TRUE(os::SetLastWriteTime(W(P("ro")), 1700000000, 42));
  os::FileStatus status;
  ASSERT_TRUE(os::GetFileStatus(W(P("ro")), &status));
  EXPECT_EQ(status.mtime_sec, 1700000000);
  EXPECT_EQ(status.mtime_nsec, 42);
  EXPECT_EQ(status.atime_sec, 1000) << "the access time must be left alone";
  EXPECT_EQ(status.atime_nsec, 7);
  EXPECT_FALSE(os::SetLastWriteTime(W(P("nope")), 1, 0));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FileOps, TimeResolutionOfTheTestFileSystem) {
  const auto mount = os::MountOf(dir_.wstr());
  ASSERT_TRUE(mount.has_value());
  for (const char* fine : {"ext4", "tmpfs", "overlay", "xfs", "btrfs"}) {
    if (mount->fs_type == fine) {
      EXPECT_EQ(os::TimeResolutionNs(dir_.wstr()), 1);
      return;
    }
  }
  GTEST_SKIP() << "temporary directory on " << mount->fs_type;
}

}  // namespace
