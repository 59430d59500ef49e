// The last error belongs to the thread that set it.
#include "os/last_error.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(LastError, EachThreadKeepsItsOwn) {
  os::SetLastError(ERROR_ACCESS_DENIED);
  std::thread([] {
    EXPECT_EQ(os::GetLastError(), ERROR_SUCCESS);
    os::SetLastError(ERROR_DISK_FULL);
  }).join();
  EXPECT_EQ(os::GetLastError(), ERROR_ACCESS_DENIED);
}

}  // namespace
