// Include and exclude filters on items that cross as part of a whole
// directory: a directory moved into the source, one renamed inside it, and
// changes after the watch restarts for another task. Every run ends with a
// marker file written after the changes under test: the worker takes changes
// in order, so once the marker has crossed, anything excluded that was going
// to cross has done so.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "c_host.h"
#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::g_module;
using module_host::HasContent;
using module_host::TaskInfo;
using module_host::Write;
using testing_support::PollUntil;
using testing_support::TempDir;

using Names = std::set<std::string>;

// Files and directories both sides of the filter: "a-dir.doc" is a directory
// whose name the patterns would refuse, and directories always cross.
const Names kPrepared = {"keep.txt", "secret.doc", "inner/a-excluded.txt", "inner/b.txt",
                         "a-dir.doc/c.txt"};
const Names kCrossing = {"keep.txt", "inner", "inner/b.txt", "a-dir.doc", "a-dir.doc/c.txt"};

void Prepare(const fs::path& dir) {
  for (const std::string& name : kPrepared) {
    fs::create_directories((dir / name).parent_path());
    Write(dir / name, name);
  }
}

Names Tree(const fs::path& dir) {
  Names names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.insert(fs::relative(entry.path(), dir).generic_string());
  }
  return names;
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTest() : src_(dir_.path() / "src"), dst_(dir_.path() / "dst") {
    fs::create_directories(src_);
    fs::create_directories(dst_);
  }

  // include *.txt, exclude a*
  LONG AddFiltered(const std::wstring& name, const fs::path& source, const fs::path& dest) {
    TaskInfo info(name, source, dest);
    info->bSetInclude = TRUE;
    info->strIncludeFilter = info.Keep(L"*.txt");
    info->bSetExclude = TRUE;
    info->strExcludeFilter = info.Keep(L"a*");
    return CHostAddTask(g_module.Monitor(), info.get());
  }

  bool ArrivedIn(const fs::path& dir) {
    for (const std::string& name : kCrossing) {
      if (name.ends_with(".txt") ? !HasContent(dir / name, name) : !fs::is_directory(dir / name)) {
        return false;
      }
    }
    return true;
  }

  // Writes a marker that passes the filters and waits for it.
  void Settle(const std::string& marker) {
    Write(src_ / marker, marker);
    ASSERT_TRUE(PollUntil([&] { return HasContent(dst_ / marker, marker); }));
    fs::remove(dst_ / marker);
  }

  TempDir dir_;
  fs::path src_;
  fs::path dst_;
};

TEST_F(FilterTest, ADirectoryMovedInCrossesFilteredAndFiltersHoldAfterARestart) {
  ASSERT_GE(AddFiltered(L"filtered-move", src_, dst_), 20000);
  Prepare(dir_.path() / "incoming");
  fs::rename(dir_.path() / "incoming", src_ / "incoming");
  ASSERT_TRUE(PollUntil([&] { return ArrivedIn(dst_ / "incoming"); }));
  Settle("marker-1.txt");
  EXPECT_EQ(Tree(dst_ / "incoming"), kCrossing);

  // Another task restarts the watch; the first task's filters still hold.
  fs::create_directories(dir_.path() / "other-src");
  TaskInfo other(L"filtered-other", dir_.path() / "other-src", dir_.path() / "other-dst");
  ASSERT_GE(CHostAddTask(g_module.Monitor(), other.get()), 20000);
  Write(src_ / "after.doc", "x");
  Write(src_ / "a-after.txt", "x");
  Settle("marker-2.txt");
  EXPECT_FALSE(fs::exists(dst_ / "after.doc"));
  EXPECT_FALSE(fs::exists(dst_ / "a-after.txt"));

  EXPECT_EQ(module_host::DeleteTask(L"filtered-other"), 0);
  EXPECT_EQ(module_host::DeleteTask(L"filtered-move"), 0);
}

TEST_F(FilterTest, ADirectoryRenamedInTheSourceCrossesFiltered) {
  // Made before the task exists, so the destination holds neither name and
  // the rename brings the directory across whole.
  Prepare(src_ / "old-name");
  ASSERT_GE(AddFiltered(L"filtered-rename", src_, dst_), 20000);
  fs::rename(src_ / "old-name", src_ / "new-name");
  ASSERT_TRUE(PollUntil([&] { return ArrivedIn(dst_ / "new-name"); }));
  Settle("marker.txt");
  EXPECT_EQ(Tree(dst_ / "new-name"), kCrossing);
  EXPECT_FALSE(fs::exists(dst_ / "old-name"));
  EXPECT_EQ(module_host::DeleteTask(L"filtered-rename"), 0);
}

}  // namespace
