// The thread's cache of resolved directories: the items of one directory
// share one resolution, a Clear ends what it knew (a link planted since is not
// followed), and what it lent stays the directory it was after it moved on.
#include "os/parent_directory_cache.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/linux/confined_path.h"
#include "os/file_ops.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

std::wstring W(const fs::path& path) { return os::FromUtf8(path.string()); }

void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// What the entry name in the directory fd holds.
std::string ReadAt(int fd, const char* name) {
  const int file = ::openat(fd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (file < 0) return "(missing)";
  char buffer[64];
  const ssize_t n = ::read(file, buffer, sizeof buffer);
  ::close(file);
  return std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0);
}

class ParentDirectoryCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* d : {"d0", "d1", "d2", "d3", "d4", "d5"}) {
      fs::create_directories(root_ / d);
      WriteFile(root_ / d / "a", d);
    }
    fs::create_directories(victim_);
    WriteFile(victim_ / "a", "victim");
    os::AddConfinedRoot(W(root_));
  }
  void TearDown() override { os::RemoveConfinedRoot(W(root_)); }

  std::string ParentOf(const fs::path& path, os::ParentDirectory* at) {
    EXPECT_EQ(os::OpenParentDirectory(path.string(), at), 0) << path;
    return ReadAt(at->fd.get(), at->name.c_str());
  }

  testing_support::TempDir dir_;
  fs::path root_ = dir_.path() / "root";
  fs::path victim_ = dir_.path() / "victim";
};

TEST_F(ParentDirectoryCacheTest, ItemsOfOneDirectoryShareOneResolution) {
  os::ParentDirectory a;
  os::ParentDirectory b;
  {
    os::ParentDirectoryCache cache;
    EXPECT_EQ(ParentOf(root_ / "d0" / "a", &a), "d0");
    EXPECT_EQ(ParentOf(root_ / "d0" / "b", &b), "(missing)");
    EXPECT_EQ(ReadAt(b.fd.get(), "a"), "d0");
    EXPECT_EQ(a.fd.get(), b.fd.get());
    os::ParentDirectory other;
    EXPECT_EQ(ParentOf(root_ / "d1" / "a", &other), "d1");
    EXPECT_NE(other.fd.get(), a.fd.get());
  }
  // Without a cache every resolution is its own.
  os::ParentDirectory c;
  EXPECT_EQ(ParentOf(root_ / "d0" / "a", &c), "d0");
  EXPECT_NE(c.fd.get(), a.fd.get());
}

TEST_F(ParentDirectoryCacheTest, AfterAClearALinkPlantedOnTheWayIsNotFollowed) {
  os::ParentDirectoryCache cache;
  os::FileStatus status{};
  ASSERT_TRUE(os::GetFileStatus(W(root_ / "d0" / "a"), &status));
  // The directory is swapped for a link out of the tree.
  fs::rename(root_ / "d0", root_ / "moved");
  fs::create_directory_symlink(victim_, root_ / "d0");
  // Within the run the directory resolved before is still the one acted on.
  os::ParentDirectory at;
  EXPECT_EQ(ParentOf(root_ / "d0" / "a", &at), "d0");
  cache.Clear();
  EXPECT_NE(os::OpenParentDirectory((root_ / "d0" / "a").string(), &at), 0);
  EXPECT_FALSE(os::GetFileStatus(W(root_ / "d0" / "a"), &status));
  EXPECT_FALSE(os::CopyFile(W(root_ / "d1" / "a"), W(root_ / "d0" / "a"), FALSE));
  EXPECT_EQ(testing_support::ReadFile(victim_ / "a"), "victim");
}

TEST_F(ParentDirectoryCacheTest, WhatItLentStaysTheSameDirectoryAfterItMovedOn) {
  os::ParentDirectory held;
  {
    os::ParentDirectoryCache cache;
    EXPECT_EQ(ParentOf(root_ / "d0" / "a", &held), "d0");
    // More directories than it keeps: the first one is let go by the cache.
    for (const char* d : {"d1", "d2", "d3", "d4", "d5"}) {
      os::ParentDirectory other;
      EXPECT_EQ(ParentOf(root_ / d / "a", &other), d);
    }
    EXPECT_EQ(ReadAt(held.fd.get(), "a"), "d0");
  }
  EXPECT_EQ(ReadAt(held.fd.get(), "a"), "d0");
}

}  // namespace
