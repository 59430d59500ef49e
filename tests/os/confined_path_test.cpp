// Confinement below the task roots: a link planted anywhere on the way is
// never followed by any primitive, with openat2 and with the component walk;
// paths longer than PATH_MAX work; a root module's copies keep their owners.
#include "os/linux/confined_path.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "os/directory_ops.h"
#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TreeFingerprint;

std::wstring W(const fs::path& path) { return os::FromUtf8(path.string()); }

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

class Confinement : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    os::UseComponentWalkForTest(GetParam());
    fs::create_directories(root_ / "real");
    fs::create_directories(victim_ / "dir");
    WriteFile(victim_ / "secret", "key");
    WriteFile(victim_ / "dir" / "inner", "inner");
    WriteFile(root_ / "real" / "file", "mine");
    // The attacker's links: one on the way, one as the last name.
    fs::create_directory_symlink(victim_, root_ / "link");
    fs::create_symlink(victim_ / "secret", root_ / "leaf");
    os::AddConfinedRoot(W(root_));
  }
  void TearDown() override {
    os::RemoveConfinedRoot(W(root_));
    os::UseComponentWalkForTest(false);
  }
  testing_support::TempDir dir_;
  fs::path root_ = dir_.path() / "root";
  fs::path victim_ = dir_.path() / "victim";
};

TEST_P(Confinement, NoPrimitiveFollowsALinkOnTheWay) {
  const std::string before = TreeFingerprint(victim_);
  const fs::path via = root_ / "link";
  const std::wstring mine = W(root_ / "real" / "file");
  struct Case {
    const char* what;
    std::function<bool()> call;
  };
  const std::vector<Case> cases = {
      {"stat",
       [&] {
         os::FileStatus st{};
         return os::GetFileStatus(W(via / "secret"), &st);
       }},
      {"exists", [&] { return os::PathExists(W(via / "secret")); }},
      {"attributes",
       [&] { return os::GetFileAttributes(W(via / "secret")) != INVALID_FILE_ATTRIBUTES; }},
      {"copy into", [&] { return os::CopyFile(mine, W(via / "secret"), FALSE) != FALSE; }},
      {"copy new into", [&] { return os::CopyFile(mine, W(via / "planted"), TRUE) != FALSE; }},
      {"copy out of", [&] { return os::CopyFile(W(via / "secret"), W(root_ / "got"), FALSE); }},
      {"rename into", [&] { return os::MoveFile(W(root_ / "real" / "file"), W(via / "secret")); }},
      {"rename out of", [&] { return os::MoveFile(W(via / "secret"), W(root_ / "stolen")); }},
      {"delete", [&] { return os::DeleteFile(W(via / "secret")) != FALSE; }},
      {"rmdir", [&] { return os::RemoveDirectory(W(via / "dir")) != FALSE; }},
      {"mkdir", [&] { return os::CreateDirectory(W(via / "made")) != FALSE; }},
      {"mkdir like", [&] { return os::CreateDirectoryLike(W(via / "made"), W(root_)) != FALSE; }},
      {"chmod", [&] { return os::SetPlainAttributes(W(via / "secret")) != FALSE; }},
      {"owner and mode", [&] { return os::CopyOwnerAndMode(mine, W(via / "secret")) != FALSE; }},
      {"times", [&] { return os::SetLastWriteTime(W(via / "secret"), 1, 0) != FALSE; }},
      {"list",
       [&] {
         os::DirectoryListing l;
         return l.Open(W(via / "dir"));
       }},
      {"list the link",
       [&] {
         os::DirectoryListing l;
         return l.Open(W(via));
       }},
      {"compare", [&] { return os::HaveSameContents(W(via / "secret"), W(via / "secret")); }},
      {"climb out",
       [&] { return os::DeleteFile(W(root_ / "real" / ".." / ".." / "victim" / "secret")); }},
  };
  ::chmod((victim_ / "secret").c_str(), 0400);
  const std::string locked = TreeFingerprint(victim_);
  for (const Case& c : cases) {
    EXPECT_FALSE(c.call()) << c.what;
    // The comparison only answers yes or no.
    if (std::string(c.what) != "compare") {
      EXPECT_EQ(os::GetLastError(), ERROR_CANT_RESOLVE_FILENAME) << c.what;
    }
    EXPECT_EQ(TreeFingerprint(victim_), locked) << c.what;
  }
  ::chmod((victim_ / "secret").c_str(), 0644);
  EXPECT_EQ(TreeFingerprint(victim_), before);
  EXPECT_FALSE(fs::exists(root_ / "got"));
  EXPECT_EQ(ReadFile(root_ / "real" / "file"), "mine");

  // A link as the last name is handled as the link itself: described,
  // copied and deleted as a link, never written through.
  os::FileStatus leaf{};
  ASSERT_TRUE(os::GetFileStatus(W(root_ / "leaf"), &leaf));
  EXPECT_TRUE(leaf.is_symlink);
  EXPECT_FALSE(os::SetPlainAttributes(W(root_ / "leaf")) == FALSE);
  EXPECT_TRUE(os::CopyFile(mine, W(root_ / "leaf"), FALSE));
  EXPECT_FALSE(fs::is_symlink(root_ / "leaf"));
  EXPECT_EQ(ReadFile(victim_ / "secret"), "key");
}

TEST_P(Confinement, TheRootItselfMayBeALinkAndPathsOutsideFollowTheirParents) {
  const fs::path elsewhere = dir_.path() / "elsewhere";
  fs::create_directories(elsewhere / "sub");
  const fs::path linked_root = dir_.path() / "linked-root";
  fs::create_directory_symlink(elsewhere, linked_root);
  os::AddConfinedRoot(W(linked_root));
  EXPECT_TRUE(os::CopyFile(W(root_ / "real" / "file"), W(linked_root / "sub" / "copy"), FALSE));
  EXPECT_EQ(ReadFile(elsewhere / "sub" / "copy"), "mine");
  os::DirectoryListing listing;
  EXPECT_TRUE(listing.Open(W(linked_root)));
  os::RemoveConfinedRoot(W(linked_root));

  // Outside every root (the data directory, say) the parents are the user's
  // own choice; only the last name is never followed.
  EXPECT_TRUE(os::PathExists(W(linked_root / "sub" / "copy")));
  EXPECT_TRUE(os::DeleteFile(W(linked_root / "sub" / "copy")));
}

TEST_P(Confinement, PathsLongerThanPathMaxAreCopiedRenamedAndDeleted) {
  fs::path deep = root_ / "real";
  const std::string level(200, 'd');
  std::wstring wdeep = W(deep);
  while (deep.string().size() < 5000) {
    deep /= level;
    wdeep += L"/" + os::FromUtf8(level);
    ASSERT_TRUE(os::CreateDirectory(wdeep)) << os::GetLastError();
  }
  const std::wstring target = wdeep + L"/copy.txt";
  ASSERT_GT(os::ToUtf8(target).size(), 5000u);
  ASSERT_TRUE(os::CopyFile(W(root_ / "real" / "file"), target, TRUE)) << os::GetLastError();
  os::FileStatus st{};
  ASSERT_TRUE(os::GetFileStatus(target, &st));
  EXPECT_EQ(st.size, 4u);
  EXPECT_TRUE(os::HaveSameContents(target, W(root_ / "real" / "file")));
  const std::wstring renamed = wdeep + L"/renamed.txt";
  ASSERT_TRUE(os::MoveFile(target, renamed));
  os::DirectoryListing listing;
  ASSERT_TRUE(listing.Open(wdeep));
  std::wstring name;
  bool is_directory = true;
  ASSERT_TRUE(listing.Next(&name, &is_directory));
  EXPECT_EQ(name, L"renamed.txt");
  EXPECT_TRUE(os::DeleteFile(renamed));
  EXPECT_FALSE(os::GetFileStatus(renamed, &st));
  EXPECT_EQ(os::GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(os::RemoveDirectory(wdeep));
}

INSTANTIATE_TEST_SUITE_P(Resolution, Confinement, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

// As root, copies belong to their source's owner and never gain set-id bits;
// created directories take their counterpart's mode and owner.
TEST(CopyOwnership, RootCopiesKeepOwnerGroupAndModeButNeverSetuid) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  testing_support::TempDir dir;
  const fs::path src = dir.path() / "src";
  const fs::path dst = dir.path() / "dst";
  fs::create_directories(src / "private");
  fs::create_directories(dst);
  os::AddConfinedRoot(W(src));
  os::AddConfinedRoot(W(dst));
  WriteFile(src / "private" / "f", "data");
  WriteFile(src / "tool", "#!/bin/sh\n");
  fs::create_symlink("f", src / "private" / "link");
  ASSERT_EQ(::chown((src / "private").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((src / "private").c_str(), 0750), 0);
  ASSERT_EQ(::chown((src / "private" / "f").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((src / "private" / "f").c_str(), 0640), 0);
  ASSERT_EQ(::lchown((src / "private" / "link").c_str(), 65534, 65534), 0);
  ASSERT_EQ(::chmod((src / "tool").c_str(), 04755), 0);

  ASSERT_TRUE(os::CreateDirectoryLike(W(dst / "private"), W(src / "private")));
  ASSERT_TRUE(os::CopyFile(W(src / "private" / "f"), W(dst / "private" / "f"), TRUE));
  ASSERT_TRUE(os::CopyFile(W(src / "private" / "link"), W(dst / "private" / "link"), TRUE));
  ASSERT_TRUE(os::CopyFile(W(src / "tool"), W(dst / "tool"), TRUE));
  struct Expect {
    fs::path path;
    uid_t uid;
    mode_t mode;  // 0: a link, whose mode means nothing
  };
  for (const Expect& e :
       {Expect{dst / "private", 65534, 0750}, Expect{dst / "private" / "f", 65534, 0640},
        Expect{dst / "private" / "link", 65534, 0}, Expect{dst / "tool", 0, 0755}}) {
    struct stat st;
    ASSERT_EQ(::lstat(e.path.c_str(), &st), 0) << e.path;
    EXPECT_EQ(st.st_uid, e.uid) << e.path;
    EXPECT_EQ(st.st_gid, e.uid) << e.path;
    if (e.mode != 0) {
      EXPECT_EQ(st.st_mode & 07777, e.mode) << e.path;
    }
  }

  // A change of mode or owner alone is carried over without a copy.
  ASSERT_EQ(::chmod((src / "private" / "f").c_str(), 0600), 0);
  ASSERT_EQ(::chown((src / "private" / "f").c_str(), 65534, 0), 0);
  struct stat before;
  ASSERT_EQ(::stat((dst / "private" / "f").c_str(), &before), 0);
  ASSERT_TRUE(os::CopyOwnerAndMode(W(src / "private" / "f"), W(dst / "private" / "f")));
  struct stat after;
  ASSERT_EQ(::stat((dst / "private" / "f").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0600u);
  EXPECT_EQ(after.st_gid, 0u);
  EXPECT_EQ(after.st_ino, before.st_ino);
  // Nothing differs now: nothing is written, so a watch sees no change. (The
  // pause lets the clock behind ctime tick, so a write would show.)
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(os::CopyOwnerAndMode(W(src / "private" / "f"), W(dst / "private" / "f")));
  struct stat untouched;
  ASSERT_EQ(::stat((dst / "private" / "f").c_str(), &untouched), 0);
  EXPECT_EQ(untouched.st_ctim.tv_sec, after.st_ctim.tv_sec);
  EXPECT_EQ(untouched.st_ctim.tv_nsec, after.st_ctim.tv_nsec);
  os::RemoveConfinedRoot(W(src));
  os::RemoveConfinedRoot(W(dst));
}

}  // namespace
