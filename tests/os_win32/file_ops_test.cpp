// The file primitives on a real volume: copies that never leave a partial
// target, moves, removals, listings with links, the confinement below task
// roots, and paths longer than MAX_PATH.
#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "os/confined_roots.h"
#include "os/file_attributes.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/parent_directory_cache.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "os/win32/long_path.h"
#include "test_support.h"

namespace {

std::string Read(const std::wstring& path) {
  HANDLE h = ::CreateFileW(os::SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (::ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) data.append(buffer, got);
  ::CloseHandle(h);
  return data;
}

void Write(const std::wstring& path, const std::string& data, DWORD disposition = CREATE_ALWAYS) {
  HANDLE h = ::CreateFileW(os::SystemPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           disposition, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << ::GetLastError();
  if (disposition == OPEN_EXISTING) ::SetFilePointer(h, 0, nullptr, FILE_END);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  ::CloseHandle(h);
}

// Removes a tree without following links: a link goes as an entry.
void RemoveTree(const std::wstring& path) {
  const std::wstring system = os::SystemPath(path);
  const DWORD attributes = ::GetFileAttributesW(system.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  ::SetFileAttributesW(system.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    ::DeleteFileW(system.c_str());
    return;
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((system + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
      } while (::FindNextFileW(find, &data));
      ::FindClose(find);
    }
  }
  ::RemoveDirectoryW(system.c_str());
}

std::vector<std::wstring> Names(const std::wstring& dir) {
  os::DirectoryListing listing;
  std::vector<std::wstring> names;
  if (!listing.Open(dir)) return names;
  std::wstring name;
  bool is_directory = false;
  while (listing.Next(&name, &is_directory)) names.push_back(name);
  return names;
}

class FileOps : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    root_ = std::wstring(temp) + L"strandel-ops-" + os::FromUtf8(os::TempName().substr(15));
    ASSERT_TRUE(::CreateDirectoryW(root_.c_str(), nullptr));
  }
  void TearDown() override {
    os::SetFileFaultForTest({});
    RemoveTree(root_);
  }
  std::wstring At(const std::wstring& name) const { return root_ + L"\\" + name; }
  // A link to a directory; false where the system refuses to make one.
  bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
    // Wine 8 answers TRUE and makes nothing: the link must be there.
    return ::CreateSymbolicLinkW(link.c_str(), target.c_str(),
                                 SYMBOLIC_LINK_FLAG_DIRECTORY |
                                     SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != FALSE &&
           ::GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  std::wstring root_;
};

TEST_F(FileOps, CopyKeepsDataAndTimeAndAnnouncesBeforeTheNameIsTaken) {
  const std::string data(3 << 20, 'x');
  Write(At(L"src"), data + "end");
  ASSERT_TRUE(os::SetLastWriteTime(At(L"src"), 1'000'000'000, 123'456'700));
  int announced = 0;
  ASSERT_TRUE(os::CopyFile(At(L"src"), At(L"dst"), TRUE, [&](const os::CopiedVersion& v) {
    ++announced;
    EXPECT_EQ(v, (os::CopiedVersion{data.size() + 3, 1'000'000'000, 123'456'700}));
    EXPECT_FALSE(os::PathExists(At(L"dst")));  // told before, not after
  }));
  EXPECT_EQ(announced, 1);
  EXPECT_EQ(Read(At(L"dst")), data + "end");
  os::FileStatus st{};
  ASSERT_TRUE(os::GetFileStatus(At(L"dst"), &st));
  EXPECT_EQ(st.mtime_sec, 1'000'000'000);
  EXPECT_EQ(st.mtime_nsec, 123'456'700);
  EXPECT_TRUE(st.is_regular);
  EXPECT_EQ(Names(root_).size(), 2u);  // no temporary left over
}

TEST_F(FileOps, FailedCopyLeavesNoPartialTargetAndKeepsTheOldOne) {
  Write(At(L"src"), std::string(2 << 20, 'n'));
  Write(At(L"dst"), "old");
  int writes = 0;
  os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
    return op == "copy-write" && ++writes >= 2 ? ENOSPC : 0;
  });
  EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), FALSE));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_EQ(Read(At(L"dst")), "old");
  EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"new"), TRUE));
  EXPECT_FALSE(os::PathExists(At(L"new")));
  EXPECT_EQ(Names(root_).size(), 2u);
}

TEST_F(FileOps, FailIfExistsNeverReplacesWhileReplacingCopiesOverReadOnlyTargets) {
  Write(At(L"src"), "new");
  Write(At(L"dst"), "old");
  EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), TRUE));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Read(At(L"dst")), "old");
  ASSERT_TRUE(::SetFileAttributesW(At(L"dst").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(os::CopyFile(At(L"src"), At(L"dst"), FALSE)) << os::GetLastError();
  EXPECT_EQ(Read(At(L"dst")), "new");
  EXPECT_EQ(::GetFileAttributesW(At(L"dst").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
}

TEST_F(FileOps, CopyRefusesLockedSourcesAndDirectories) {
  Write(At(L"src"), "data");
  {
    // Held open without write (or read) sharing by another owner.
    HANDLE held = ::CreateFileW(At(L"src").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), TRUE));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ::CloseHandle(held);
  }
  {
    // A writer that locks its range, as a database does.
    HANDLE held = ::CreateFileW(At(L"src").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    OVERLAPPED at{};
    ASSERT_TRUE(::LockFileEx(held, LOCKFILE_EXCLUSIVE_LOCK, 0, 100, 0, &at));
    EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), TRUE));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ::CloseHandle(held);
  }
  EXPECT_FALSE(os::PathExists(At(L"dst")));
  {
    // A target that a reader holds open, sharing everything, cannot be
    // replaced for now: in use, so that the caller waits and tries again.
    Write(At(L"dst"), "old");
    HANDLE reader = ::CreateFileW(At(L"dst").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), FALSE));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ::CloseHandle(reader);
    EXPECT_EQ(Read(At(L"dst")), "old");
    ASSERT_TRUE(os::CopyFile(At(L"src"), At(L"dst"), FALSE)) << os::GetLastError();
    EXPECT_EQ(Read(At(L"dst")), "data");
    ASSERT_TRUE(os::DeleteFile(At(L"dst")));
  }
  ASSERT_TRUE(::CreateDirectoryW(At(L"dir").c_str(), nullptr));
  EXPECT_FALSE(os::CopyFile(At(L"dir"), At(L"dst"), TRUE));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(FileOps, SourceChangedDuringCopyIsCopiedAgainTargetChangedIsKept) {
  Write(At(L"src"), "first");
  bool changed = false;
  os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
    if (op == "copy-write" && !changed) {
      changed = true;
      Write(At(L"src"), "-second", OPEN_EXISTING);
    }
    return 0;
  });
  ASSERT_TRUE(os::CopyFile(At(L"src"), At(L"dst"), TRUE));
  EXPECT_EQ(Read(At(L"dst")), "first-second");

  changed = false;
  os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
    if (op == "copy-write" && !changed) {
      changed = true;
      Write(At(L"dst"), "theirs");
    }
    return 0;
  });
  EXPECT_FALSE(os::CopyFile(At(L"src"), At(L"dst"), FALSE));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Read(At(L"dst")), "theirs");
}

TEST_F(FileOps, MoveReplacesAndRemovalsReportWhatStoodInTheWay) {
  Write(At(L"a"), "a");
  Write(At(L"b"), "b");
  ASSERT_TRUE(os::MoveFile(At(L"a"), At(L"b")));
  EXPECT_EQ(Read(At(L"b")), "a");
  EXPECT_FALSE(os::PathExists(At(L"a")));
  EXPECT_FALSE(os::MoveFile(At(L"a"), At(L"c")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(::CreateDirectoryW(At(L"d").c_str(), nullptr));
  Write(At(L"d\\f"), "f");
  EXPECT_FALSE(os::DeleteFile(At(L"d")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(os::RemoveDirectory(At(L"d")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(os::DeleteFile(At(L"gone")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(os::DeleteFile(At(L"gone\\x")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  // A read-only file is made plain first, as the engine does.
  ASSERT_TRUE(::SetFileAttributesW(At(L"d\\f").c_str(), FILE_ATTRIBUTE_READONLY));
  os::FileStatus st{};
  ASSERT_TRUE(os::GetFileStatus(At(L"d\\f"), &st));
  EXPECT_EQ(st.mode & 0200, 0u);
  ASSERT_TRUE(os::CopyOwnerAndMode(At(L"d\\f"), At(L"b")));
  EXPECT_NE(::GetFileAttributesW(At(L"b").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_TRUE(os::SetPlainAttributes(At(L"d\\f")));
  ASSERT_TRUE(os::DeleteFile(At(L"d\\f")));
  EXPECT_TRUE(os::RemoveDirectory(At(L"d")));

  // The hook fails a call as the system would have.
  Write(At(L"c"), "c");
  os::SetFileFaultForTest([](std::string_view op, const std::string&) {
    return op == "unlink" ? EACCES : 0;
  });
  EXPECT_FALSE(os::DeleteFile(At(L"c")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(os::PathExists(At(L"c")));
}

TEST_F(FileOps, ListingDescribesEntriesAndLinksAsThemselves) {
  ASSERT_TRUE(::CreateDirectoryW(At(L"sub").c_str(), nullptr));
  Write(At(L"file"), "12345");
  ASSERT_TRUE(os::SetLastWriteTime(At(L"file"), 1'600'000'000, 500));
  const bool linked = MakeDirectoryLink(At(L"link"), At(L"sub"));
  os::DirectoryListing listing;
  ASSERT_TRUE(listing.Open(root_ + L"\\"));
  std::wstring name;
  bool is_directory = false;
  int seen = 0;
  while (listing.Next(&name, &is_directory)) {
    ++seen;
    os::FileStatus st{};
    ASSERT_TRUE(listing.DescribeLast(&st));
    if (name == L"file") {
      EXPECT_FALSE(is_directory);
      EXPECT_EQ(st.size, 5u);
      EXPECT_EQ(st.mtime_sec, 1'600'000'000);
      EXPECT_EQ(st.mtime_nsec, 500);
    } else if (name == L"sub") {
      EXPECT_TRUE(is_directory);
      EXPECT_TRUE(st.is_directory);
    } else if (name == L"link") {
      EXPECT_FALSE(is_directory);
      EXPECT_TRUE(st.is_symlink);
      EXPECT_FALSE(st.is_directory);
    }
  }
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(seen, linked ? 3 : 2);
  if (!linked) {
    if (testing_support::RunningUnderWine()) {
      GTEST_SKIP() << "Wine's limit: Wine 8 makes no reparse points (CreateSymbolicLinkW "
                      "makes nothing, FSCTL_SET_REPARSE_POINT is not supported)";
    }
    FAIL() << "no link made: " << ::GetLastError();
  }
  // A link is described, listed and removed as itself.
  EXPECT_EQ(os::GetFileAttributes(At(L"link")) & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(listing.Open(At(L"link")));
  EXPECT_FALSE(os::RemoveDirectory(At(L"link")));
  ASSERT_TRUE(os::CopyFile(At(L"link"), At(L"copy"), TRUE)) << os::GetLastError();
  os::FileStatus copy{};
  ASSERT_TRUE(os::GetFileStatus(At(L"copy"), &copy));
  EXPECT_TRUE(copy.is_symlink);
  EXPECT_TRUE(os::HaveSameContents(At(L"link"), At(L"copy")));
  ASSERT_TRUE(os::DeleteFile(At(L"link")));
  EXPECT_TRUE(os::PathExists(At(L"sub")));
}

TEST_F(FileOps, NoLinkIsFollowedBelowATaskRoot) {
  ASSERT_TRUE(::CreateDirectoryW(At(L"task").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(At(L"outside").c_str(), nullptr));
  Write(At(L"outside\\secret"), "secret");
  if (!MakeDirectoryLink(At(L"task\\way"), At(L"outside")) ||
      !MakeDirectoryLink(At(L"taskroot"), At(L"task"))) {
    if (testing_support::RunningUnderWine()) {
      GTEST_SKIP() << "Wine's limit: Wine 8 makes no reparse points (CreateSymbolicLinkW "
                      "makes nothing, FSCTL_SET_REPARSE_POINT is not supported)";
    }
    FAIL() << "no link made: " << ::GetLastError();
  }
  os::AddConfinedRoot(At(L"taskroot"));
  os::FileStatus st{};
  // The root itself may be a link, as configured; the link below it is not followed.
  EXPECT_TRUE(os::GetFileStatus(At(L"taskroot\\way"), &st));
  EXPECT_TRUE(st.is_symlink);
  EXPECT_FALSE(os::GetFileStatus(At(L"taskroot\\way\\secret"), &st));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_FALSE(os::CopyFile(At(L"taskroot\\way\\secret"), At(L"taskroot\\stolen"), TRUE));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_FALSE(os::DeleteFile(At(L"taskroot\\way\\secret")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  os::DirectoryListing listing;
  EXPECT_FALSE(listing.Open(At(L"taskroot\\way")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(Names(At(L"taskroot")).size(), 1u);
  EXPECT_EQ(Read(At(L"outside\\secret")), "secret");
  {
    // A place the cache remembers, swapped for a link meanwhile, is refused.
    os::ParentDirectoryCache cache;
    ASSERT_TRUE(::CreateDirectoryW(At(L"task\\d").c_str(), nullptr));
    Write(At(L"task\\d\\secret"), "mine");
    EXPECT_TRUE(os::GetFileStatus(At(L"taskroot\\d\\secret"), &st));
    ASSERT_TRUE(::MoveFileW(At(L"task\\d").c_str(), At(L"task\\old").c_str()));
    ASSERT_TRUE(MakeDirectoryLink(At(L"task\\d"), At(L"outside")));
    EXPECT_FALSE(os::DeleteFile(At(L"taskroot\\d\\secret")));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  }
  os::RemoveConfinedRoot(At(L"taskroot"));
  // Outside every root, the same path is resolved as usual.
  EXPECT_TRUE(os::GetFileStatus(At(L"taskroot\\way\\secret"), &st));
}

TEST_F(FileOps, TaskRootsRefuseDotDotAndHoldTheLevelsTheyChecked) {
  ASSERT_TRUE(::CreateDirectoryW(At(L"task").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(At(L"task\\d").c_str(), nullptr));
  Write(At(L"task\\d\\f"), "f");
  Write(At(L"secret"), "secret");
  os::AddConfinedRoot(At(L"task") + L"\\");
  os::FileStatus st{};
  EXPECT_FALSE(os::DeleteFile(At(L"task\\..\\secret")));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_FALSE(os::GetFileStatus(At(L"TASK\\d\\..\\..\\secret"), &st));  // any case
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_TRUE(os::PathExists(At(L"secret")));
  EXPECT_FALSE(os::GetFileStatus(At(L"task\\f\\x"), &st));
  EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  // While an operation runs, the levels it checked cannot be renamed (and a
  // link put in their place); a cache keeps none of them held in between.
  int renames_refused = 0;
  os::SetFileFaultForTest([&](std::string_view op, const std::string&) {
    if (op == "stat" && !::MoveFileW(At(L"task\\d").c_str(), At(L"task\\e").c_str()) &&
        ::GetLastError() == ERROR_SHARING_VIOLATION) {
      ++renames_refused;
    }
    return 0;
  });
  {
    os::ParentDirectoryCache cache;
    os::FileStatus unused{};
    EXPECT_TRUE(os::CopyFile(At(L"task\\d\\f"), At(L"task\\d\\g"), TRUE));  // walked
    EXPECT_TRUE(os::GetFileStatus(At(L"task\\d\\g"), &unused));             // from the cache
    EXPECT_EQ(renames_refused, 2);
    os::SetFileFaultForTest({});
    EXPECT_TRUE(::MoveFileW(At(L"task\\d").c_str(), At(L"task\\e").c_str()));
    // The cached place is gone: the path is walked again, and fails as it should.
    EXPECT_FALSE(os::GetFileStatus(At(L"task\\d\\g"), &unused));
    EXPECT_EQ(os::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  }
  EXPECT_TRUE(os::MoveFile(At(L"task\\e\\f"), At(L"task\\g")));
  os::RemoveConfinedRoot(At(L"task"));
  EXPECT_TRUE(os::DeleteFile(At(L"task\\..\\secret")));  // no root: resolved as usual
}

TEST_F(FileOps, PathsLongerThanMaxPathWork) {
  std::wstring dir = root_;
  while (dir.size() < 300) {
    dir += L"\\" + std::wstring(40, L'd');
    ASSERT_TRUE(::CreateDirectoryW(os::SystemPath(dir).c_str(), nullptr));
  }
  os::AddConfinedRoot(root_);
  const std::wstring file = dir + L"\\" + std::wstring(30, L'f');
  Write(file, "long");
  ASSERT_TRUE(os::SetLastWriteTime(file, 1'500'000'000, 0));
  ASSERT_TRUE(os::CopyFile(file, file + L".copy", TRUE)) << os::GetLastError();
  ASSERT_TRUE(os::MoveFile(file + L".copy", file + L".moved")) << os::GetLastError();
  os::FileStatus st{};
  ASSERT_TRUE(os::GetFileStatus(file + L".moved", &st));
  EXPECT_EQ(st.mtime_sec, 1'500'000'000);
  EXPECT_TRUE(os::IsSameFile(file, file));
  EXPECT_FALSE(os::IsSameFile(file, file + L".moved"));
  EXPECT_TRUE(os::HaveSameContents(file, file + L".moved"));
  EXPECT_EQ(Names(dir).size(), 2u);
  EXPECT_TRUE(os::DeleteFile(file + L".moved"));
  EXPECT_TRUE(os::DeleteFile(file));
  EXPECT_TRUE(os::RemoveDirectory(dir));
  EXPECT_GE(os::TimeResolutionNs(file), 100);
  os::RemoveConfinedRoot(root_);
}

TEST(FileOpsTypes, TimeResolutionFollowsTheFileSystem) {
  EXPECT_EQ(os::TimeResolutionNsOfType("FAT32"), 2'000'000'000);
  EXPECT_EQ(os::TimeResolutionNsOfType("exFAT"), 10'000'000);
  EXPECT_EQ(os::TimeResolutionNsOfType("NTFS"), 100);
  EXPECT_EQ(os::TimeResolutionNsOfType("ReFS"), 100);
  EXPECT_EQ(os::TimeResolutionNsOfType("vfat"), 2'000'000'000);
  EXPECT_EQ(os::TimeResolutionNsOfType("ext4"), 1);
}

}  // namespace
