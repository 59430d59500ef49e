#include "os/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "test_support.h"

namespace {

using testing_support::PollUntil;

TEST(NamedMutex, ExcludesAnotherProcess) {
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
    mutex.Unlock();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(to_parent[0], &byte, 1), 1);
  ASSERT_EQ(byte, 'L');

  std::atomic<bool> acquired{false};
  std::thread taker([&] {
    os::NamedMutex mutex(path);
    mutex.Lock();
    acquired = true;
    mutex.Unlock();
  });
  // The child holds it: give the taker ample time to (wrongly) get through.
  EXPECT_FALSE(PollUntil([&] { return acquired.load(); }, std::chrono::milliseconds(200)));
  byte = 'G';
  ASSERT_EQ(write(to_child[1], &byte, 1), 1);
  taker.join();
  EXPECT_TRUE(acquired);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

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
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    os::NamedMutex mine(path);
    mine.Lock();
    acquired = true;
    mine.Unlock();
  });
  inner.Unlock();
  EXPECT_FALSE(PollUntil([&] { return acquired.load(); }, std::chrono::milliseconds(100)));
  outer.Unlock();
  other.join();
  EXPECT_TRUE(acquired);
}

TEST(NamedMutex, UnopenableLockFileStillExcludesThreads) {
  os::NamedMutex mutex("/nonexistent-dir-for-strandel/lock");
  EXPECT_FALSE(mutex.Lock());
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    os::NamedMutex mine("/nonexistent-dir-for-strandel/lock");
    mine.Lock();
    acquired = true;
    mine.Unlock();
  });
  EXPECT_FALSE(PollUntil([&] { return acquired.load(); }, std::chrono::milliseconds(100)));
  mutex.Unlock();
  other.join();
  EXPECT_TRUE(acquired);
}

}  // namespace
