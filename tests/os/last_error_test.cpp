#include "os/last_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "test_support.h"

namespace {

TEST(LastError, MissingFileVersusMissingDirectory) {
  testing_support::TempDir dir;
  EXPECT_EQ(os::ErrorFromErrno(ENOENT, dir.str() + "/absent.txt"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(os::ErrorFromErrno(ENOENT, dir.str() + "/no/such/file"), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(os::LastFailedPath(), dir.str() + "/no/such/file");
}

TEST(LastError, ExistsDependsOnTheOperation) {
  EXPECT_EQ(os::ErrorFromErrno(EEXIST, "/x", os::ErrnoContext::kCopy), ERROR_FILE_EXISTS);
  EXPECT_EQ(os::ErrorFromErrno(EEXIST, "/x", os::ErrnoContext::kCreateDirectory),
            ERROR_ALREADY_EXISTS);
  for (int err : {EACCES, EPERM, EROFS, EISDIR}) {
    EXPECT_EQ(os::ErrorFromErrno(err, "/x"), ERROR_ACCESS_DENIED) << err;
  }
  EXPECT_EQ(os::ErrorFromErrno(ENOSPC, "/x"), ERROR_DISK_FULL);
  EXPECT_EQ(os::ErrorFromErrno(EWOULDBLOCK, "/x"), ERROR_SHARING_VIOLATION);
}

TEST(LastError, EachThreadKeepsItsOwn) {
  os::SetLastError(ERROR_ACCESS_DENIED);
  std::thread([] {
    EXPECT_EQ(os::GetLastError(), ERROR_SUCCESS);
    os::SetLastError(ERROR_DISK_FULL);
  }).join();
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
