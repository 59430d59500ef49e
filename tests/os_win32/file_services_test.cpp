// The small file services on a real volume: temporary names, shared append
// files, private files and directories, access tests, creation that must be
// new.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "os/append_file.h"
#include "os/create_new_file.h"
#include "os/directory_ops.h"
#include "os/file_access.h"
#include "os/private_directory.h"
#include "os/private_file.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

class FileServices : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    ASSERT_GT(::GetTempPathW(MAX_PATH, temp), 0u);
    root_ = fs::path(temp) / ("strandel-files-" + os::TempName().substr(15));
    ASSERT_TRUE(fs::create_directory(root_));
  }
  void TearDown() override {
    for (const auto& entry : fs::recursive_directory_iterator(root_)) {
      ::SetFileAttributesW(entry.path().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  std::wstring W(const fs::path& p) const { return p.wstring(); }
  std::string U(const fs::path& p) const { return os::ToUtf8(p.wstring()); }
  static void Write(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // A symbolic link to target; false when none could be made.
  static bool Link(const fs::path& at, const fs::path& target, bool directory) {
    const DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                        (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    ::CreateSymbolicLinkW(at.c_str(), target.c_str(), flags);
    const DWORD attributes = ::GetFileAttributesW(at.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }
  static std::string NoLinks() {
    return testing_support::RunningUnderWine()
               ? "Wine's limit: CreateSymbolicLinkW reports success and makes no link"
               : "this account may not make symbolic links (no privilege, no developer mode)";
  }
  // A junction (mount point) at at, an empty directory, leading to target.
  static bool Junction(const fs::path& at, const fs::path& target) {
    if (!::CreateDirectoryW(at.c_str(), nullptr)) return false;
    // The mount-point form of the reparse data: both names, each ending in
    // a null that the lengths leave out.
    const std::wstring names = L"\\??\\" + target.wstring() + L'\0' + target.wstring() + L'\0';
    const USHORT substitute = static_cast<USHORT>((target.wstring().size() + 4) * sizeof(wchar_t));
    const USHORT print = static_cast<USHORT>(target.wstring().size() * sizeof(wchar_t));
    const USHORT names_bytes = static_cast<USHORT>(names.size() * sizeof(wchar_t));
    std::vector<unsigned char> buffer(16 + names_bytes);
    const DWORD tag = IO_REPARSE_TAG_MOUNT_POINT;
    const USHORT fields[6] = {static_cast<USHORT>(8 + names_bytes), 0, 0, substitute,
                              static_cast<USHORT>(substitute + sizeof(wchar_t)), print};
    std::memcpy(buffer.data(), &tag, 4);
    std::memcpy(buffer.data() + 4, fields, sizeof(fields));
    std::memcpy(buffer.data() + 16, names.data(), names_bytes);
    HANDLE h = ::CreateFileW(at.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD returned = 0;
    const BOOL ok = ::DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned,
                                      nullptr);
    ::CloseHandle(h);
    return ok != 0;
  }
  // Replaces the access list of p with the protected one sddl describes.
  static bool SetAccessList(const fs::path& p, const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                               nullptr)) {
      return false;
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted);
    std::wstring name = p.wstring();
    const DWORD err = ::SetNamedSecurityInfoW(
        name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
        nullptr, nullptr, dacl, nullptr);
    ::LocalFree(sd);
    return err == ERROR_SUCCESS;
  }
  // The access list of p as SDDL ("D:P(A;;FA;;;S-1-...)...").
  static std::wstring AccessList(const fs::path& p) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (::GetNamedSecurityInfoW(p.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                nullptr, nullptr, nullptr, &sd) != ERROR_SUCCESS) {
      return L"?";
    }
    wchar_t* text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(sd, SDDL_REVISION_1,
                                                          DACL_SECURITY_INFORMATION, &text, nullptr);
    std::wstring out = text != nullptr ? text : L"?";
    ::LocalFree(text);
    ::LocalFree(sd);
    return out;
  }

  fs::path root_;
};

TEST_F(FileServices, TempNamesAreRecognisedAndRandom) {
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = os::TempName();
    ASSERT_TRUE(os::IsMadeTempName(name)) << name;
    ASSERT_TRUE(seen.insert(name).second) << "repeated " << name;
  }
  // Other threads draw their own numbers, not the same batch.
  std::string other;
  std::thread([&] { other = os::TempName(); }).join();
  EXPECT_FALSE(seen.count(other));

  const std::string prefix = os::ToUtf8(os::kTempNamePrefix);
  EXPECT_TRUE(os::IsTempName(prefix + "somebody"));
  EXPECT_FALSE(os::IsMadeTempName(prefix + "somebody"));
  EXPECT_FALSE(os::IsMadeTempName(prefix + "0123456789ABCDEF"));  // not our digits
  EXPECT_FALSE(os::IsMadeTempName(prefix + "0123456789abcdef0"));
  EXPECT_FALSE(os::IsTempName("x" + prefix));

  for (const std::wstring dir : {L"C:\\d", L"C:\\d\\"}) {
    const std::wstring in = os::TempNameIn(dir);
    ASSERT_EQ(in.rfind(L"C:\\d\\", 0), 0u) << os::ToUtf8(in);
    EXPECT_TRUE(os::IsMadeTempName(os::ToUtf8(in.substr(5)))) << os::ToUtf8(in);
  }
}

TEST_F(FileServices, AppendedRecordsNeverInterleave) {
  const fs::path log = root_ / "Report.dat";
  constexpr int kRecords = 1500;
  std::atomic<int> refused{0};
  auto writer = [&](char tag) {
    for (int i = 0; i < kRecords; ++i) {
      // Lengths vary so a torn write shows as a wrong line.
      const std::string record = std::string(1, tag) + std::to_string(i) + ":" +
                                 std::string(50 + i % 200, tag) + "\n";
      if (os::AppendToFile(U(log), record) != os::AppendResult::kWritten) ++refused;
    }
  };
  std::thread a(writer, 'a');
  std::thread b(writer, 'b');
  a.join();
  b.join();
  ASSERT_EQ(refused, 0);
  std::ifstream in(log, std::ios::binary);
  std::string line;
  std::set<std::string> whole;
  int torn = 0;
  while (std::getline(in, line)) {
    const std::size_t colon = line.find(':');
    const char tag = line.empty() ? '?' : line[0];
    const std::string digits = colon == std::string::npos ? "" : line.substr(1, colon - 1);
    const bool intact = (tag == 'a' || tag == 'b') && !digits.empty() && digits.size() < 6 &&
                        digits.find_first_not_of("0123456789") == std::string::npos &&
                        line.substr(colon + 1) == std::string(50 + std::stoi(digits) % 200, tag);
    if (intact) {
      whole.insert(line.substr(0, colon));
    } else {
      ++torn;
    }
  }
  if ((torn != 0 || whole.size() != 2u * kRecords) && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: it appends by writing at the size it last saw, so "
                 << torn << " records were torn and " << 2 * kRecords - whole.size()
                 << " lost";
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(whole.size(), 2u * kRecords);
}

TEST_F(FileServices, AppendRefusesALinkAtThePath) {
  const fs::path target = root_ / "elsewhere";
  Write(target, "kept");
  EXPECT_EQ(os::AppendToFile(U(root_ / "no" / "log"), "x\n"), os::AppendResult::kCannotOpen);
  if (!Link(root_ / "log", target, false)) GTEST_SKIP() << NoLinks();
  EXPECT_EQ(os::AppendToFile(U(root_ / "log"), "x\n"), os::AppendResult::kCannotOpen);
  EXPECT_EQ(Read(target), "kept");
}

TEST_F(FileServices, PrivateFileIsMadeOnlyWhenMissing) {
  const fs::path db = root_ / "Strandel.db";
  ASSERT_TRUE(os::CreatePrivateFileIfMissing(U(db)));
  ASSERT_TRUE(fs::is_regular_file(db));
  EXPECT_EQ(fs::file_size(db), 0u);
  const std::wstring acl = AccessList(db);
  // No entry for other users, and none inherited from the directory, which
  // (like the temporary one) lets others read.
  for (const wchar_t* other : {L";WD)", L";BU)", L";AU)", L"ID;"}) {
    EXPECT_EQ(acl.find(other), std::wstring::npos) << os::ToUtf8(acl);
  }

  Write(db, "database bytes");
  EXPECT_TRUE(os::CreatePrivateFileIfMissing(U(db)));
  EXPECT_EQ(Read(db), "database bytes");

  ASSERT_TRUE(fs::create_directory(root_ / "dir"));
  EXPECT_TRUE(os::CreatePrivateFileIfMissing(U(root_ / "dir")));
  EXPECT_TRUE(fs::is_directory(root_ / "dir"));

  EXPECT_FALSE(os::CreatePrivateFileIfMissing(U(root_ / "missing" / "db")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  // Protected, so a later change to the directory's list never reaches it.
  if (acl.rfind(L"D:P", 0) != 0 && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: it keeps an access list as Unix mode bits and reports "
                 << os::ToUtf8(acl) << ", without the protection";
  }
  EXPECT_EQ(acl.rfind(L"D:P", 0), 0u) << os::ToUtf8(acl);
}

TEST_F(FileServices, CreateNewFileNeverTouchesWhatIsThere) {
  const fs::path made = root_ / "probe";
  ASSERT_TRUE(os::CreateNewFile(W(made)));
  EXPECT_TRUE(fs::is_regular_file(made));

  Write(made, "user data");
  EXPECT_FALSE(os::CreateNewFile(W(made)));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(Read(made), "user data");

  ASSERT_TRUE(fs::create_directory(root_ / "dir"));
  EXPECT_FALSE(os::CreateNewFile(W(root_ / "dir")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

  EXPECT_FALSE(os::CreateNewFile(W(root_ / "missing" / "f")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileServices, CreateNewFileRefusesALink) {
  // A dangling link must not be created through to its target.
  const fs::path target = root_ / "target";
  if (!Link(root_ / "link", target, false)) GTEST_SKIP() << NoLinks();
  EXPECT_FALSE(os::CreateNewFile(W(root_ / "link")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(FileServices, CreateNewFileRefusesAJunction) {
  ASSERT_TRUE(fs::create_directory(root_ / "real"));
  if (!Junction(root_ / "junction", root_ / "real")) {
    if (testing_support::RunningUnderWine()) {
      GTEST_SKIP() << "Wine's limit: FSCTL_SET_REPARSE_POINT makes no junction";
    }
    FAIL() << "no junction made: " << ::GetLastError();
  }
  EXPECT_FALSE(os::CreateNewFile(W(root_ / "junction")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

TEST_F(FileServices, CreateDirectoryReportsWhatIsThere) {
  EXPECT_TRUE(os::CreateDirectory(W(root_ / "d")));
  EXPECT_TRUE(fs::is_directory(root_ / "d"));
  EXPECT_FALSE(os::CreateDirectory(W(root_ / "d")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  Write(root_ / "f", "x");
  EXPECT_FALSE(os::CreateDirectory(W(root_ / "f")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(os::CreateDirectory(W(root_ / "no" / "d")));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST_F(FileServices, CreateDirectoryLikeCopiesAttributesButNeverALink) {
  const fs::path model = root_ / "model";
  ASSERT_TRUE(fs::create_directory(model));
  ASSERT_TRUE(::SetFileAttributesW(model.c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(os::CreateDirectoryLike(W(root_ / "copy"), W(model)));
  const DWORD copied = ::GetFileAttributesW((root_ / "copy").c_str());
  EXPECT_EQ(copied & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_REPARSE_POINT),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN));
  EXPECT_FALSE(os::CreateDirectoryLike(W(root_ / "copy"), W(model)));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  // Without a model directory it is a plain creation.
  EXPECT_TRUE(os::CreateDirectoryLike(W(root_ / "plain"), W(root_ / "no model")));
  EXPECT_TRUE(fs::is_directory(root_ / "plain"));

  if (!Link(root_ / "model link", model, true)) GTEST_SKIP() << NoLinks();
  ASSERT_TRUE(os::CreateDirectoryLike(W(root_ / "from link"), W(root_ / "model link")));
  const DWORD made = ::GetFileAttributesW((root_ / "from link").c_str());
  EXPECT_EQ(made & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN),
            static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileServices, PrivateDirectoryAcceptsOursAndNamesWhatIsLoose) {
  const fs::path data = root_ / "data";
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(data), {}), "") << "nothing there yet";
  ASSERT_TRUE(fs::create_directory(data));
  // Our own fresh directory, given as the module gets it: with a separator.
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(data) + "\\", {"Strandel.db"}), "");

  Write(root_ / "file", "x");
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(root_ / "file"), {}), U(root_ / "file") + " is not a directory");

  const fs::path loose = root_ / "loose";
  ASSERT_TRUE(fs::create_directory(loose));
  ASSERT_TRUE(SetAccessList(loose, L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;OW)(A;;0x1201bf;;;WD)"));
  const std::string why = os::WhyNotPrivateDirectory(U(loose), {});
  if (why.empty() && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: " << os::ToUtf8(AccessList(loose))
                 << " is what it keeps of an access list granting Everyone write";
  }
  EXPECT_EQ(why.rfind(U(loose) + " is writable by ", 0), 0u) << why;
  // Everyone, under the name this system's language gives it.
  unsigned char everyone[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof(everyone);
  ASSERT_TRUE(::CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sid_size));
  wchar_t name[256], domain[256];
  DWORD name_size = 256, domain_size = 256;
  SID_NAME_USE use;
  ASSERT_TRUE(::LookupAccountSidW(nullptr, everyone, name, &name_size, domain, &domain_size, &use));
  EXPECT_NE(why.find(os::ToUtf8(name)), std::string::npos) << why;
}

TEST_F(FileServices, PrivateDirectoryMayLieWhereOthersAddButNotWhereTheyRemove) {
  const fs::path shared = root_ / "shared";
  const fs::path data = shared / "data";
  ASSERT_TRUE(fs::create_directories(data));
  ASSERT_TRUE(SetAccessList(data, L"D:P(A;;FA;;;OW)(A;;FA;;;SY)"));
  // Everyone may add entries, as in a shared temporary directory.
  ASSERT_TRUE(SetAccessList(shared, L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;0x1201bf;;;WD)"));
  const std::string adding = os::WhyNotPrivateDirectory(U(data), {});
  // Everyone may also remove or rename what it holds.
  ASSERT_TRUE(SetAccessList(shared, L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;WD)"));
  const std::string why = os::WhyNotPrivateDirectory(U(data), {});
  EXPECT_EQ(why.rfind(U(shared) + ", which holds " + U(data) + ", is writable by ", 0), 0u)
      << why;
  if (!adding.empty() && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: it keeps an access list as Unix mode bits, so write access "
                    "for Everyone comes back as full control: "
                 << adding;
  }
  EXPECT_EQ(adding, "");
}

TEST_F(FileServices, PrivateDirectoryRefusesLinks) {
  const fs::path data = root_ / "data";
  ASSERT_TRUE(fs::create_directory(data));
  Write(root_ / "file", "x");
  if (!Link(data / "Strandel.db", root_ / "file", false)) GTEST_SKIP() << NoLinks();
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(data), {"Report.dat", "Strandel.db"}),
            U(data / "Strandel.db") + " is a symbolic link");
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(data), {"Report.dat"}), "");
  ASSERT_TRUE(Link(root_ / "data link", data, true));
  EXPECT_EQ(os::WhyNotPrivateDirectory(U(root_ / "data link"), {}),
            U(root_ / "data link") + " is a symbolic link");
}

TEST_F(FileServices, CanAccessAsksTheFileSystem) {
  const fs::path file = root_ / "f";
  Write(file, "x");
  EXPECT_TRUE(os::CanAccess(U(file), os::Access::kReadWrite));
  EXPECT_TRUE(os::CanAccess(U(root_), os::Access::kReadWrite));
  EXPECT_FALSE(os::CanAccess(U(root_ / "missing"), os::Access::kRead));

  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(os::CanAccess(U(file), os::Access::kRead));
  const bool read_only_writable = os::CanAccess(U(file), os::Access::kReadWrite);
  HANDLE opened = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  const bool wine_writes_it = opened != INVALID_HANDLE_VALUE && testing_support::RunningUnderWine();
  if (opened != INVALID_HANDLE_VALUE) ::CloseHandle(opened);
  ASSERT_TRUE(::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL));
  if (!wine_writes_it) {
    EXPECT_FALSE(read_only_writable);
  }

  // A file kept open by someone who shares nothing is still ours to use.
  HANDLE locked = ::CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(os::CanAccess(U(file), os::Access::kReadWrite));
  ::CloseHandle(locked);

  // Only SYSTEM may use it: the access list, not just the attributes, counts.
  ASSERT_TRUE(SetAccessList(file, L"D:P(A;;FA;;;SY)"));
  const bool readable = os::CanAccess(U(file), os::Access::kRead);
  SetAccessList(file, L"D:P(A;;FA;;;OW)(A;;FA;;;WD)");
  if (wine_writes_it) {
    GTEST_SKIP() << "Wine's limit: run as root, it opens a read-only file for writing";
  }
  if (readable && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: it keeps an access list as Unix mode bits, and after a "
                    "list for SYSTEM alone still lets the file's owner and Everyone read";
  }
  EXPECT_FALSE(readable);
}

}  // namespace
