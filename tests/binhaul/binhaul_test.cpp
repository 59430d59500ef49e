// The recycle-bin program as a real process: what lands in the Trash, what stays, how it fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProcessResult;
using testing_support::ReadFile;

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A failure must be reported as exactly one line on standard error.
void ExpectOneLineFailure(const ProcessResult& result) {
  EXPECT_NE(result.exit_code, 0);
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
  EXPECT_TRUE(result.output.starts_with("binhaul: ") && result.output.ends_with('\n'))
      << result.output;
}

class BinhaulTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(work_); }

  // Runs the program with the temporary home, no session bus and a VFS setting
  // that would make GIO warn (or reach for D-Bus) unless the program overrides it.
  ProcessResult Run(const std::vector<std::string>& args, const std::string& data_home = "",
                    const std::string& cwd = "") {
    const std::string data = data_home.empty() ? data_.string() : data_home;
    std::vector<std::string> env_args = {"-u",
                                         "DBUS_SESSION_BUS_ADDRESS",
                                         "-u",
                                         "XDG_RUNTIME_DIR",
                                         "HOME=" + home_.string(),
                                         "XDG_DATA_HOME=" + data,
                                         "GIO_USE_VFS=gvfs",
                                         BINHAUL_PROGRAM};
    env_args.insert(env_args.end(), args.begin(), args.end());
    return testing_support::RunProcess("/usr/bin/env", env_args, cwd);
  }

  testing_support::TempDir temp_;
  fs::path home_ = temp_.path() / "home";
  fs::path data_ = home_ / ".local" / "share";
  fs::path work_ = home_ / "work";
  fs::path trash_ = data_ / "Trash" / "files";
};

TEST_F(BinhaulTest, RelativeNameWithTrailingBlanksGoesToTheHomeTrashWithItsInfo) {
  WriteFile(work_ / "report.txt", "payload");
  const ProcessResult result = Run({"/path", "report.txt", "", " \t"}, "", work_.string());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "");
  EXPECT_EQ(Names(work_), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(trash_ / "report.txt"), "payload");
  // The info records the absolute path, so that the file can be put back.
  const std::string info = ReadFile(data_ / "Trash" / "info" / "report.txt.trashinfo");
  EXPECT_TRUE(info.starts_with("[Trash Info]\nPath=" + (work_ / "report.txt").string() + "\n"))
      << info;
}

TEST_F(BinhaulTest, BadUsageAndMissingFilesFailOnOneLineAndTouchNothing) {
  const std::string file = (work_ / "keep.txt").string();
  WriteFile(file, "keep");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"/path"},
      {"/path", ""},
      {file},
      {"/other", file},
      {"/path", file, "extra"},
      {"/path", (work_ / "gone\nline\xff").string()},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    SCOPED_TRACE(shown);
    ExpectOneLineFailure(Run(args));
  }
  EXPECT_EQ(ReadFile(file), "keep");
  EXPECT_FALSE(fs::exists(data_ / "Trash" / "files"));
}

TEST_F(BinhaulTest, WhereNoTrashCanBeMadeTheFileStaysAndTheFailureIsOneLine) {
  // A regular file where the data directory should be: even root cannot make
  // the Trash below it.
  WriteFile(work_ / "stay.txt", "stay");
  WriteFile(temp_.path() / "blocker", "");
  ExpectOneLineFailure(
      Run({"/path", (work_ / "stay.txt").string()}, (temp_.path() / "blocker" / "data").string()));
  EXPECT_EQ(ReadFile(work_ / "stay.txt"), "stay");
}

// A link given with a trailing slash must go as the link: following it would
// trash the directory it points to.
TEST_F(BinhaulTest, LinksAreTrashedAsLinksEvenWithATrailingSlash) {
  fs::create_directory(work_ / "dir");
  WriteFile(work_ / "dir" / "inside.txt", "inside");
  fs::create_symlink(work_ / "dir", work_ / "dirlink");
  ASSERT_EQ(Run({"/path", (work_ / "dirlink").string() + "/"}).exit_code, 0);
  EXPECT_EQ(Names(work_), std::vector<std::string>{"dir"});
  EXPECT_EQ(ReadFile(work_ / "dir" / "inside.txt"), "inside");
  EXPECT_EQ(fs::read_symlink(trash_ / "dirlink"), work_ / "dir");
}

}  // namespace
