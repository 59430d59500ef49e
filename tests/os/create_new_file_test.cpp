// A file that must be new: whatever is already at its path stays exactly as it was.
#include "os/create_new_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "os/last_error.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

TEST(CreateNewFile, MakesAPrivateEmptyFileAndNeverTouchesWhatIsAlreadyThere) {
  TempDir dir, outside;
  const fs::path at = dir.path() / "detect";
  const fs::path secret = outside.path() / "secret";
  const fs::path absent = outside.path() / "absent";
  std::ofstream(secret) << "keep me";
  struct Case {
    const char* what;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"a user's file", [&] { std::ofstream(at) << "mine"; }},
      {"a link to a file outside", [&] { fs::create_symlink(secret, at); }},
      {"a dangling link to outside", [&] { fs::create_symlink(absent, at); }},
      {"a directory", [&] { fs::create_directory(at); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(at);
    c.plant();
    const auto before = fs::symlink_status(at).type();
    EXPECT_FALSE(os::CreateNewFile(os::FromUtf8(at.string())));
    EXPECT_EQ(os::GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(fs::symlink_status(at).type(), before);
    EXPECT_EQ(ReadFile(secret), "keep me");
    EXPECT_FALSE(fs::exists(fs::symlink_status(absent)));
    if (before == fs::file_type::regular) {
      EXPECT_EQ(ReadFile(at), "mine");
    }
  }

  fs::remove_all(at);
  ASSERT_TRUE(os::CreateNewFile(os::FromUtf8(at.string())));
  struct stat st {};
  ASSERT_EQ(::lstat(at.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 0);

  EXPECT_FALSE(os::CreateNewFile(os::FromUtf8((dir.path() / "no" / "f").string())));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
