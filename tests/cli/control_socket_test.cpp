// The daemon's socket: private from its first moment, and never reached or
// replaced through a link planted under its name.
#include "control_socket.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

TEST(ControlSocket, ListensPrivatelyAndIsReachedOnlyThroughTheSocketItself) {
  TempDir dir;
  const fs::path data = dir.path() / "data";
  fs::create_directory(data);
  std::string error;
  {
    const host::UniqueFd listener = host::ListenOnSocket(data, &error);
    ASSERT_TRUE(listener.valid()) << error;
    struct stat st {};
    ASSERT_EQ(::lstat((data / host::kSocketName).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(host::ConnectToDaemon(data).valid());
  }
  // A stale socket is replaced.
  EXPECT_TRUE(host::ListenOnSocket(data, &error).valid()) << error;

  // Another program's socket elsewhere, and a link to it under the daemon's name.
  const fs::path elsewhere = dir.path() / "elsewhere.sock";
  const host::UniqueFd other(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, elsewhere.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(other.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(other.get(), 4), 0);
  fs::remove(data / host::kSocketName);
  fs::create_symlink(elsewhere, data / host::kSocketName);
  EXPECT_FALSE(host::ConnectToDaemon(data).valid());
  EXPECT_LT(::accept(other.get(), nullptr, nullptr), 0) << "the link was followed";

  // Nor is anything but a stale socket removed to make room.
  const fs::path file = dir.path() / "file";
  std::ofstream(file) << "untouched";
  for (const fs::path& target : {elsewhere, file}) {
    fs::remove(data / host::kSocketName);
    fs::create_symlink(target, data / host::kSocketName);
    error.clear();
    EXPECT_FALSE(host::ListenOnSocket(data, &error).valid()) << target;
    EXPECT_EQ(error, "something that is not a socket is in its place");
    EXPECT_TRUE(fs::is_symlink(data / host::kSocketName));
  }
  EXPECT_EQ(ReadFile(file), "untouched");
  EXPECT_TRUE(fs::is_socket(elsewhere));
}

}  // namespace
