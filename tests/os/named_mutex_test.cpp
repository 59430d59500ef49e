// The lock-file mutex: across processes, re-entrant per thread, and without its file.
#include "os/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "test_support.h"

namespace {

// Locks path on a new thread while the caller holds it; true when that thread
// got in before release() let go, which must never happen.
bool OtherThreadGotInEarly(const std::string& path, const std::function<void()>& release) {
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    os::NamedMutex mine(path);
    mine.Lock();
    acquired = true;
    mine.Unlock();
  });
  const bool early =
      testing_support::PollUntil([&] { return acquired.load(); }, std::chrono::milliseconds(150));
  release();
  other.join();
  return early;
}

TEST(NamedMutex, ExcludesAnotherProcessThroughAPrivateLockFile) {
  testing_support::TempDir dir;
  const std::string path = dir.str() + "/Strandel.db.lock";
  int to_parent[2], to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    os::NamedMutex mutex(path);
    char byte = mutex.Lock() ? 'L' : 'F';
    (void)!write(to_parent[1], &byte, 1);
    (void)!read(to_child[0], &byte, 1);
    _exit(0);  // the lock goes with the process
  }
  char byte = 0;
  ASSERT_EQ(read(to_parent[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'L');
  EXPECT_FALSE(OtherThreadGotInEarly(path, [&] { (void)!write(to_child[1], "G", 1); }));
  int status = 0;
  waitpid(child, &status, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  for (int fd : {to_parent[0], to_parent[1], to_child[0], to_child[1]}) close(fd);
}

TEST(NamedMutex, ReentrantForItsOwnerAndExclusiveBetweenThreads) {
  testing_support::TempDir dir;
  const std::string path = dir.str() + "/lock";
  os::NamedMutex outer(path);
  os::NamedMutex inner(path);  // same name, same lock
  ASSERT_TRUE(outer.Lock());
  ASSERT_TRUE(inner.Lock());
  inner.Unlock();
  EXPECT_FALSE(OtherThreadGotInEarly(path, [&] { outer.Unlock(); }));

  // Without its lock file the mutex still excludes this process's threads.
  const std::string unopenable = "/nonexistent-dir-for-strandel/lock";
  os::NamedMutex orphan(unopenable);
  EXPECT_FALSE(orphan.Lock());
  EXPECT_FALSE(OtherThreadGotInEarly(unopenable, [&] { orphan.Unlock(); }));
}

}  // namespace
