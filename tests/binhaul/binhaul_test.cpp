// The recycle-bin program run as a real process against a temporary home: what
// lands in the Trash, what stays in place, and how failures are reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace fs = std::filesystem;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

namespace {

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
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

std::string PercentDecode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// The key=value lines of a .trashinfo file, after checking its group header.
std::map<std::string, std::string> ReadTrashInfo(const fs::path& path) {
  std::map<std::string, std::string> keys;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  if (!std::getline(in, line) || line != "[Trash Info]") {
    ADD_FAILURE() << path << " does not start with [Trash Info]";
    return keys;
  }
  while (std::getline(in, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return keys;
}

// A failure must be reported as exactly one line on standard error.
void ExpectOneLineMessage(const ProcessResult& result) {
  EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
  EXPECT_TRUE(result.output.ends_with('\n')) << result.output;
  EXPECT_TRUE(result.output.starts_with("binhaul: ")) << result.output;
}

class BinhaulTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(home_);
    fs::create_directories(work_);
  }

  // Runs the program with the temporary home, no session bus and a VFS setting
  // that would make GIO warn (or reach for D-Bus) unless the program overrides it.
  ProcessResult Run(const std::vector<std::string>& args, const std::string& data_home = "",
                    const std::string& cwd = "") {
    std::vector<std::string> env_args = {
        "-u",
        "DBUS_SESSION_BUS_ADDRESS",
        "-u",
        "XDG_RUNTIME_DIR",
        "HOME=" + home_.string(),
        "XDG_DATA_HOME=" + (data_home.empty() ? data_.string() : data_home),
        "GIO_USE_VFS=gvfs",
        BINHAUL_PROGRAM};
    env_args.insert(env_args.end(), args.begin(), args.end());
    return RunProcess("/usr/bin/env", env_args, cwd);
  }

  fs::path TrashFiles() const { return data_ / "Trash" / "files"; }
  fs::path TrashInfo() const { return data_ / "Trash" / "info"; }

  TempDir temp_;
  fs::path home_ = temp_.path() / "home";
  fs::path data_ = home_ / ".local" / "share";
  fs::path work_ = home_ / "work";
};

TEST_F(BinhaulTest, MovesHomeFileToTrashWithInfo) {
  const fs::path file = work_ / "report.txt";
  WriteFile(file, "payload");
  const std::time_t before = std::time(nullptr);

  const ProcessResult result = Run({"/path", file.string(), ""});

  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_EQ(result.output, "");
  EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
  EXPECT_EQ(ReadFile(TrashFiles() / "report.txt"), "payload");
  ASSERT_EQ(Names(TrashInfo()), std::vector<std::string>{"report.txt.trashinfo"});

  auto info = ReadTrashInfo(TrashInfo() / "report.txt.trashinfo");
  EXPECT_EQ(PercentDecode(info["Path"]), file.string());
  // Local time, second resolution, no zone.
  std::tm tm{};
  const char* end = strptime(info["DeletionDate"].c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  ASSERT_NE(end, nullptr) << info["DeletionDate"];
  EXPECT_EQ(*end, '\0') << info["DeletionDate"];
  tm.tm_isdst = -1;
  const std::time_t deleted = std::mktime(&tm);
  EXPECT_GE(deleted, before - 2);
  EXPECT_LE(deleted, std::time(nullptr) + 2);
}

TEST_F(BinhaulTest, SameNameTwiceKeepsBothCopies) {
  const fs::path file = work_ / "same.txt";
  WriteFile(file, "first");
  ASSERT_EQ(Run({"/path", file.string()}).exit_code, 0);
  WriteFile(file, "second");
  ASSERT_EQ(Run({"/path", file.string()}).exit_code, 0);

  const auto names = Names(TrashFiles());
  ASSERT_EQ(names.size(), 2u);
  std::vector<std::string> contents;
  for (const auto& name : names) {
    contents.push_back(ReadFile(TrashFiles() / name));
    auto info = ReadTrashInfo(TrashInfo() / (name + ".trashinfo"));
    EXPECT_EQ(PercentDecode(info["Path"]), file.string()) << name;
  }
  std::sort(contents.begin(), contents.end());
  EXPECT_EQ(contents, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(Names(TrashInfo()).size(), 2u);
}

TEST_F(BinhaulTest, RelativePathIsTakenFromWorkingDirectory) {
  WriteFile(work_ / "rel.txt", "r");
  const ProcessResult result = Run({"/path", "rel.txt", " "}, "", work_.string());
  ASSERT_EQ(result.exit_code, 0) << result.output;
  EXPECT_FALSE(fs::exists(work_ / "rel.txt"));
  auto info = ReadTrashInfo(TrashInfo() / "rel.txt.trashinfo");
  EXPECT_EQ(PercentDecode(info["Path"]), (work_ / "rel.txt").string());
}

TEST_F(BinhaulTest, MissingFileFailsWithOneLine) {
  const ProcessResult result = Run({"/path", (work_ / "absent.txt").string(), ""});
  EXPECT_NE(result.exit_code, 0);
  ExpectOneLineMessage(result);
  EXPECT_TRUE(Names(TrashFiles()).empty());
  EXPECT_TRUE(Names(TrashInfo()).empty());
}

TEST_F(BinhaulTest, BadUsageFailsAndTouchesNothing) {
  const fs::path file = work_ / "keep.txt";
  WriteFile(file, "keep");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"/path"},
      {"/path", ""},
      {file.string()},
      {"/other", file.string()},
      {"path", file.string()},
      {"/path", file.string(), "extra"},
  };
  for (const auto& args : cases) {
    std::string shown;
    for (const auto& a : args) shown += "[" + a + "]";
    SCOPED_TRACE(shown);
    const ProcessResult result = Run(args);
    EXPECT_NE(result.exit_code, 0);
    EXPECT_FALSE(result.timed_out);
    ExpectOneLineMessage(result);
    EXPECT_EQ(ReadFile(file), "keep");
  }
  EXPECT_FALSE(fs::exists(data_ / "Trash"));
}

TEST_F(BinhaulTest, ToleratesTrailingBlankArguments) {
  const std::vector<std::vector<std::string>> tails = {{}, {""}, {" "}, {"", "  "}, {"\t"}};
  int n = 0;
  for (const auto& tail : tails) {
    const fs::path file = work_ / ("t" + std::to_string(n++));
    WriteFile(file, "x");
    std::vector<std::string> args = {"/path", file.string()};
    args.insert(args.end(), tail.begin(), tail.end());
    const ProcessResult result = Run(args);
    EXPECT_EQ(result.exit_code, 0) << file << ": " << result.output;
    EXPECT_FALSE(fs::exists(file));
    EXPECT_TRUE(fs::exists(TrashFiles() / file.filename()));
  }
}

TEST_F(BinhaulTest, NamesWithBlanksQuotesAndInvalidUtf8) {
  const std::vector<std::string> names = {
      "two  words .txt", "quote\"d 'name'", "bad\xff\xfe bytes\x80", "100% done",
      "-dash",           "new\nline",       " lead and trail ",      "back\\slash"};
  for (const auto& name : names) {
    SCOPED_TRACE(name);
    const fs::path file = work_ / name;
    WriteFile(file, name);
    const ProcessResult result = Run({"/path", file.string(), ""});
    ASSERT_EQ(result.exit_code, 0) << result.output;
    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_EQ(ReadFile(TrashFiles() / name), name);
    auto info = ReadTrashInfo(TrashInfo() / (name + ".trashinfo"));
    EXPECT_EQ(PercentDecode(info["Path"]), file.string());
    // The info file is line-based, so the path in it must be escaped.
    EXPECT_EQ(info["Path"].find_first_of("\n\xff"), std::string::npos);
  }
}

TEST_F(BinhaulTest, FailureMessageStaysOnOneLineForAwkwardName) {
  const ProcessResult result = Run({"/path", (work_ / "gone\nline\xff").string()});
  EXPECT_NE(result.exit_code, 0);
  ExpectOneLineMessage(result);
}

TEST_F(BinhaulTest, SymlinkToFileIsTrashedAsLink) {
  const fs::path target = work_ / "target.txt";
  WriteFile(target, "target content");
  fs::create_symlink(target, work_ / "link");
  fs::create_symlink(work_ / "nowhere", work_ / "dangling");

  ASSERT_EQ(Run({"/path", (work_ / "link").string()}).exit_code, 0);
  ASSERT_EQ(Run({"/path", (work_ / "dangling").string()}).exit_code, 0);

  EXPECT_EQ(ReadFile(target), "target content");
  EXPECT_EQ(Names(work_), std::vector<std::string>{"target.txt"});
  ASSERT_TRUE(fs::is_symlink(TrashFiles() / "link"));
  EXPECT_EQ(fs::read_symlink(TrashFiles() / "link"), target);
  ASSERT_TRUE(fs::is_symlink(TrashFiles() / "dangling"));
  EXPECT_EQ(Names(TrashFiles()), (std::vector<std::string>{"dangling", "link"}));
}

TEST_F(BinhaulTest, SymlinkToDirectoryIsTrashedAsLinkEvenWithTrailingSlash) {
  const fs::path dir = work_ / "dir";
  fs::create_directory(dir);
  WriteFile(dir / "inside.txt", "inside");
  fs::create_symlink(dir, work_ / "dirlink");

  const ProcessResult result = Run({"/path", (work_ / "dirlink").string() + "/"});
  ASSERT_EQ(result.exit_code, 0) << result.output;

  EXPECT_FALSE(fs::exists(fs::symlink_status(work_ / "dirlink")));
  EXPECT_EQ(ReadFile(dir / "inside.txt"), "inside");
  EXPECT_TRUE(fs::is_symlink(TrashFiles() / "dirlink"));
  EXPECT_EQ(Names(TrashFiles()), std::vector<std::string>{"dirlink"});
}

TEST_F(BinhaulTest, UnusableHomeTrashFailsAndLeavesFile) {
  const fs::path file = work_ / "stay.txt";
  WriteFile(file, "stay");
  // A regular file where the data directory should be: even root cannot make
  // the Trash below it.
  const fs::path blocker = temp_.path() / "blocker";
  WriteFile(blocker, "");

  const ProcessResult result = Run({"/path", file.string()}, (blocker / "data").string());

  EXPECT_NE(result.exit_code, 0);
  ExpectOneLineMessage(result);
  EXPECT_EQ(ReadFile(file), "stay");
}

// A tmpfs mounted for the test, lazily unmounted on the way out.
class TmpfsMount {
 public:
  explicit TmpfsMount(const fs::path& where) : where_(where) {
    fs::create_directory(where_);
    const ProcessResult r = RunProcess(
        "/usr/bin/mount", {"-t", "tmpfs", "-o", "size=1m", "binhaul-test", where_.string()});
    mounted_ = r.exit_code == 0;
    error_ = r.output;
  }
  ~TmpfsMount() {
    if (mounted_) RunProcess("/usr/bin/umount", {"-l", where_.string()});
  }
  bool mounted() const { return mounted_; }
  const std::string& error() const { return error_; }

 private:
  fs::path where_;
  bool mounted_ = false;
  std::string error_;
};

TEST_F(BinhaulTest, VolumeWithoutTrashFailsAndLeavesFile) {
  if (!fs::exists("/usr/bin/mount")) GTEST_SKIP() << "no /usr/bin/mount";
  const fs::path mount_point = temp_.path() / "volume";
  TmpfsMount mount(mount_point);
  if (!mount.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << mount.error();

  const fs::path file = mount_point / "on-volume.txt";
  WriteFile(file, "volume");
  const ProcessResult result = Run({"/path", file.string(), ""});

  EXPECT_NE(result.exit_code, 0);
  ExpectOneLineMessage(result);
  EXPECT_EQ(ReadFile(file), "volume");
  // Neither a per-volume trash nor the home trash took it.
  EXPECT_EQ(Names(mount_point), std::vector<std::string>{"on-volume.txt"});
  EXPECT_TRUE(Names(TrashFiles()).empty());
}

}  // namespace
