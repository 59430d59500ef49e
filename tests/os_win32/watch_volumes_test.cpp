// Directory watching through the completion port, drive letters and the
// device-arrival monitor, against the real system.
#include <gtest/gtest.h>
#include <windows.h>
#include <dbt.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "os/directory_watch.h"
#include "os/mount_monitor.h"
#include "os/temp_name.h"
#include "os/volumes.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr DWORD kAdded = FILE_ACTION_ADDED, kRemoved = FILE_ACTION_REMOVED,
                kModified = FILE_ACTION_MODIFIED, kOld = FILE_ACTION_RENAMED_OLD_NAME,
                kNew = FILE_ACTION_RENAMED_NEW_NAME;
constexpr DWORD kDeadlineMs = 5000;

struct Rec {
  DWORD action;
  std::wstring name;
  bool operator==(const Rec&) const = default;
};
using Recs = std::vector<Rec>;

void PrintTo(const Rec& rec, std::ostream* out) {
  *out << "{" << rec.action << " " << fs::path(rec.name).string() << "}";
}

std::wstring TempName() { return std::wstring(os::kTempNamePrefix) + L"0123456789abcdef"; }

class ScratchDir {
 public:
  ScratchDir() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH + 1];
    ::GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"strandel-watch-" + std::to_wstring(::GetCurrentProcessId()) +
            L"-" + std::to_wstring(counter++);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

 private:
  std::wstring path_;
};

void WriteFile(const std::wstring& path) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ::WriteFile(file, "data", 4, &written, nullptr);
  ::CloseHandle(file);
}

// One watched directory with its armed buffer and what it delivered so far.
struct Watcher {
  explicit Watcher(const std::wstring& path) : handle(os::DirectoryHandle::Open(path)) {}

  bool Start() {
    return handle && handle->Associate(port, kKey) && Arm();
  }
  bool Arm() {
    std::fill(buffer.begin(), buffer.end(), 0);
    return handle->Read(buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)));
  }
  // Takes one packet; false on time-out.
  bool Pump(DWORD timeout_ms) {
    DWORD bytes = 0;
    uintptr_t key = 0;
    if (!port.Dequeue(&bytes, &key, timeout_ms)) return false;
    EXPECT_EQ(key, kKey);
    completions.push_back(bytes);
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (DWORD offset = 0; bytes != 0;) {
      const auto* record = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(at + offset);
      records.push_back({record->Action, std::wstring(record->FileName,
                                                      record->FileNameLength / sizeof(wchar_t))});
      if (record->NextEntryOffset == 0) break;
      offset += record->NextEntryOffset;
    }
    if (bytes != 0 || !handle->IsGone()) Arm();
    return true;
  }
  // Pumps until done() holds or the deadline passes.
  template <typename Done>
  bool PumpUntil(Done done, DWORD deadline_ms = kDeadlineMs) {
    const ULONGLONG end = ::GetTickCount64() + deadline_ms;
    while (!done()) {
      if (::GetTickCount64() >= end) return false;
      Pump(50);
    }
    return true;
  }
  bool Saw(const Rec& rec) const {
    return std::find(records.begin(), records.end(), rec) != records.end();
  }
  bool AwaitRecord(const Rec& rec) {
    return PumpUntil([&] { return Saw(rec); });
  }
  // What came, without the modifications the system adds as it pleases.
  Recs Changes() const {
    Recs out;
    std::copy_if(records.begin(), records.end(), std::back_inserter(out),
                 [](const Rec& r) { return r.action != kModified; });
    return out;
  }

  static constexpr uintptr_t kKey = 0x10001;
  os::CompletionPort port;
  std::unique_ptr<os::DirectoryHandle> handle;
  std::vector<DWORD> buffer = std::vector<DWORD>(8192);
  Recs records;
  std::vector<DWORD> completions;
};

// ---- the completion port ------------------------------------------------------

TEST(CompletionPort, PostedPacketsComeOutInOrderThenTimeOut) {
  os::CompletionPort port;
  ASSERT_TRUE(port.IsValid());
  for (DWORD i = 1; i <= 40; ++i) ASSERT_TRUE(port.Post(i * 3, i));
  for (DWORD i = 1; i <= 40; ++i) {
    DWORD bytes = 0;
    uintptr_t key = 0;
    ASSERT_TRUE(port.Dequeue(&bytes, &key, 1000));
    EXPECT_EQ(bytes, i);
    EXPECT_EQ(key, i * 3);
  }
  DWORD bytes = 7;
  uintptr_t key = 7;
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(port.Dequeue(&bytes, &key, 100));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_LT(::GetTickCount64() - start, 2000u);
}

// ---- watching -----------------------------------------------------------------

TEST(DirectoryWatch, OpenRefusesFilesAndMissingPaths) {
  ScratchDir dir;
  WriteFile(dir / L"file");
  EXPECT_EQ(os::DirectoryHandle::Open(dir / L"file"), nullptr);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_EQ(os::DirectoryHandle::Open(dir / L"missing"), nullptr);
  auto handle = os::DirectoryHandle::Open(dir.path());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(handle->Path(), dir.path());
  EXPECT_FALSE(handle->WatchLimitReached());
  EXPECT_FALSE(handle->IsGone());
}

TEST(DirectoryWatch, CreateRenameDeleteArriveAsTheirRecords) {
  ScratchDir dir;
  Watcher w(dir.path());
  ASSERT_TRUE(w.Start());
  WriteFile(dir / L"a.txt");
  ASSERT_TRUE(::MoveFileW((dir / L"a.txt").c_str(), (dir / L"b.txt").c_str()));
  ASSERT_TRUE(::DeleteFileW((dir / L"b.txt").c_str()));
  ASSERT_TRUE(w.AwaitRecord({kRemoved, L"b.txt"}));
  const Recs expected{{kAdded, L"a.txt"}, {kOld, L"a.txt"}, {kNew, L"b.txt"}, {kRemoved, L"b.txt"}};
  EXPECT_EQ(w.Changes(), expected);
  EXPECT_EQ(std::count(w.completions.begin(), w.completions.end(), 0u), 0);
}

TEST(DirectoryWatch, ChangesBelowComeWithBackslashNames) {
  ScratchDir dir;
  Watcher w(dir.path());
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(::CreateDirectoryW((dir / L"sub").c_str(), nullptr));
  WriteFile(dir / L"sub\\new.txt");
  ASSERT_TRUE(w.AwaitRecord({kAdded, L"sub"}));
  EXPECT_TRUE(w.AwaitRecord({kAdded, L"sub\\new.txt"}));

  // Once the directory is watched, later changes in it are never missed.
  WriteFile(dir / L"sub\\later.txt");
  EXPECT_TRUE(w.AwaitRecord({kAdded, L"sub\\later.txt"}));
}

TEST(DirectoryWatch, TemporaryNamesAreNeverReported) {
  ScratchDir dir;
  WriteFile(dir / L"existing.txt");
  Watcher w(dir.path());
  ASSERT_TRUE(w.Start());

  // Only temporaries change: the caller is not woken at all.
  WriteFile(dir / TempName());
  ASSERT_TRUE(::DeleteFileW((dir / TempName()).c_str()));
  EXPECT_FALSE(w.Pump(500));
  EXPECT_TRUE(w.records.empty());

  // A temporary given a real name is that name's arrival, or its change when
  // it replaced a file.
  WriteFile(dir / TempName());
  ASSERT_TRUE(::MoveFileW((dir / TempName()).c_str(), (dir / L"fresh.txt").c_str()));
  WriteFile(dir / TempName());
  ASSERT_TRUE(::MoveFileExW((dir / TempName()).c_str(), (dir / L"existing.txt").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
  // A real name given a temporary one went away.
  WriteFile(dir / L"doomed.txt");
  ASSERT_TRUE(::MoveFileW((dir / L"doomed.txt").c_str(), (dir / TempName()).c_str()));
  ASSERT_TRUE(::DeleteFileW((dir / TempName()).c_str()));
  WriteFile(dir / L"marker.txt");
  ASSERT_TRUE(w.AwaitRecord({kAdded, L"marker.txt"}));

  for (const Rec& rec : w.records) {
    EXPECT_FALSE(rec.name.starts_with(os::kTempNamePrefix)) << rec.name.size();
    EXPECT_NE(rec.action, kOld);
    EXPECT_NE(rec.action, kNew);
  }
  EXPECT_TRUE(w.Saw({kAdded, L"fresh.txt"}));
  EXPECT_TRUE(w.Saw({kModified, L"existing.txt"}) || w.Saw({kAdded, L"existing.txt"}));
  EXPECT_FALSE(w.Saw({kRemoved, L"existing.txt"}));
  EXPECT_TRUE(w.Saw({kRemoved, L"doomed.txt"}));
}

TEST(DirectoryWatch, DeletedRootIsGoneAndLetGo) {
  ScratchDir dir;
  const std::wstring root = dir / L"root";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  Watcher w(root);
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(::RemoveDirectoryW(root.c_str()));
  const bool gone = w.PumpUntil([&] { return w.handle->IsGone(); });
  if (!gone && testing_support::RunningUnderWine()) {
    GTEST_SKIP() << "Wine's limit: a directory deleted while a handle is open on it stays in "
                    "place and still opens until that handle closes, and its armed read never "
                    "completes";
  }
  ASSERT_TRUE(gone);
  EXPECT_EQ(w.completions.back(), 0u);
  EXPECT_FALSE(w.Arm());
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // The handle no longer holds the name.
  EXPECT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
}

TEST(DirectoryWatch, RootMovedAwayIsGoneAtItsNextChange) {
  ScratchDir dir;
  const std::wstring root = dir / L"root";
  ASSERT_TRUE(::CreateDirectoryW(root.c_str(), nullptr));
  Watcher w(root);
  ASSERT_TRUE(w.Start());
  ASSERT_TRUE(::MoveFileW(root.c_str(), (dir / L"elsewhere").c_str()));
  WriteFile(dir / L"elsewhere\\f.txt");
  ASSERT_TRUE(w.PumpUntil([&] { return !w.completions.empty(); }));
  EXPECT_TRUE(w.handle->IsGone());
  EXPECT_EQ(w.completions.back(), 0u);
  EXPECT_TRUE(w.records.empty());
}

TEST(DirectoryWatch, RewatchEndsTheArmedReadAsALostBatchAndWatchesOn) {
  ScratchDir dir;
  Watcher w(dir.path());
  ASSERT_TRUE(w.Start());
  w.handle->Rewatch();
  ASSERT_TRUE(w.PumpUntil([&] { return !w.completions.empty(); }));
  EXPECT_EQ(w.completions, std::vector<DWORD>{0});
  EXPECT_FALSE(w.handle->IsGone());
  WriteFile(dir / L"after.txt");
  EXPECT_TRUE(w.AwaitRecord({kAdded, L"after.txt"}));
  EXPECT_EQ(w.completions.size(), 2u) << "the cancelled read must not complete again";
}

TEST(DirectoryWatch, ClosingWithAnArmedReadIsSafe) {
  ScratchDir dir;
  Watcher w(dir.path());
  ASSERT_TRUE(w.Start());
  w.handle.reset();
  for (int i = 0; i < 20; ++i) WriteFile(dir / (L"f" + std::to_wstring(i)));
  EXPECT_FALSE(w.Pump(300)) << "a closed handle's read reached the caller";
  EXPECT_TRUE(std::all_of(w.buffer.begin(), w.buffer.end(), [](DWORD v) { return v == 0; }))
      << "the caller's buffer was written after the handle closed";

  // The port may go first, too.
  ScratchDir other;
  auto port = std::make_unique<os::CompletionPort>();
  auto handle = os::DirectoryHandle::Open(other.path());
  std::vector<DWORD> buffer(1024);
  ASSERT_TRUE(handle->Associate(*port, 1));
  ASSERT_TRUE(handle->Read(buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD))));
  port.reset();
  WriteFile(other / L"x");
  handle.reset();
}

// ---- volumes ------------------------------------------------------------------

TEST(Volumes, DrivesOfPaths) {
  EXPECT_EQ(os::DriveOf(L"C:\\x"), L"C:\\");
  EXPECT_EQ(os::DriveOf(L"c:/x/../y"), L"C:\\");
  EXPECT_EQ(os::DriveOf(L"C:\\"), L"C:\\");
  EXPECT_EQ(os::DriveOf(L"\\\\?\\d:\\long\\path"), L"D:\\");
  EXPECT_EQ(os::DriveOf(L"\\\\srv\\share\\x"), L"\\\\srv\\share\\");
  EXPECT_EQ(os::DriveOf(L"//srv/share/x/.."), L"\\\\srv\\share\\");
  EXPECT_EQ(os::DriveOf(L"\\\\?\\UNC\\srv\\share\\x"), L"\\\\srv\\share\\");
  EXPECT_EQ(os::DriveOf(L"relative\\x"), L"");
  EXPECT_EQ(os::DriveOf(L"\\\\srv"), L"");

  EXPECT_TRUE(os::IsUncPath(L"\\\\srv\\share\\x"));
  EXPECT_TRUE(os::IsUncPath(L"\\\\?\\UNC\\srv\\share"));
  EXPECT_FALSE(os::IsUncPath(L"C:\\x"));
  EXPECT_FALSE(os::IsUncPath(L"c:/x"));
  EXPECT_FALSE(os::IsUncPath(L"\\\\?\\C:\\x"));
  EXPECT_FALSE(os::IsUncPath(L"\\\\\\x"));

  EXPECT_EQ(os::DriveTypeOf(L"C:\\x"), static_cast<uint32_t>(DRIVE_FIXED));
  EXPECT_EQ(os::DriveTypeOf(L"c:/x"), static_cast<uint32_t>(DRIVE_FIXED));
  EXPECT_EQ(os::DriveTypeOf(L"\\\\srv\\share\\x"), static_cast<uint32_t>(DRIVE_REMOTE));
  EXPECT_EQ(os::DriveTypeOf(L"x\\y"), static_cast<uint32_t>(DRIVE_UNKNOWN));
}

TEST(Volumes, PresentDrivesAndTheirTable) {
  const auto drives = os::PresentDrives();
  EXPECT_NE(std::find(drives.begin(), drives.end(), L"C:\\"), drives.end());
  EXPECT_TRUE(std::is_sorted(drives.begin(), drives.end()));
  const auto table = os::ReadMountTable();
  EXPECT_EQ(os::PresentDrivesOf(table), drives);
  EXPECT_TRUE(os::HasMountPoint(table, L"c:\\"));
  EXPECT_TRUE(os::IsDrivePresent(L"C:\\"));
  EXPECT_TRUE(os::IsBareDriveRoot(L"c:/"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"C:\\Windows"));

  const auto mount = os::MountOf(L"C:\\some\\missing\\dir");
  ASSERT_TRUE(mount.has_value());
  EXPECT_EQ(mount->mount_point, L"C:\\");
  EXPECT_FALSE(mount->fs_type.empty());

  // A letter nobody uses is absent, and so are paths on it.
  for (wchar_t letter = L'Z'; letter > L'D'; --letter) {
    const std::wstring root{letter, L':', L'\\'};
    if (std::find(drives.begin(), drives.end(), root) != drives.end()) continue;
    EXPECT_FALSE(os::IsDrivePresent(root));
    EXPECT_FALSE(os::MountOf(root + L"x").has_value());
    EXPECT_EQ(os::DriveTypeOf(root + L"x"), static_cast<uint32_t>(DRIVE_NO_ROOT_DIR));
    break;
  }
}

TEST(Volumes, MountChangesCountOnlyAtADriveRoot) {
  const std::vector<os::MountEntry> before{{L"C:\\", "NTFS", L"v1", 1, 0},
                                           {L"E:\\", "FAT32", L"v2", 2, 0}};
  std::vector<os::MountEntry> swapped = before;
  swapped[1].major = 3;  // another stick under the same letter
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, swapped, L"E:\\"));
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, swapped, L"e:"));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, swapped, L"E:\\dir"));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, swapped, L"C:\\"));
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, {before[0]}, L"E:\\"));
}

TEST(Volumes, MountInfoTextParsesAsOnLinux) {
  const auto table = os::ParseMountInfo(
      "36 35 8:17 / /media/u/My\\040Stick rw - vfat /dev/sdb1 rw\n"
      "bad line\n"
      "37 35 0:5 / relative rw - tmpfs tmpfs rw\n");
  ASSERT_EQ(table.size(), 1u);
  EXPECT_EQ(table[0], (os::MountEntry{L"/media/u/My Stick", "vfat", L"/dev/sdb1", 8, 17}));
}

TEST(MountMonitor, StartsAndStopsCleanly) {
  std::atomic<int> calls{0};
  os::MountMonitor monitor([&](const os::DriveChanges&) { ++calls; }, [&] { ++calls; });
  ASSERT_TRUE(monitor.Start());
  EXPECT_TRUE(monitor.Start());
  monitor.Stop();
  monitor.Stop();
  ASSERT_TRUE(monitor.Start());  // and again after a stop
  monitor.Stop();
  EXPECT_EQ(calls, 0) << "no device came or went";
}

// A drive letter made with DefineDosDevice stands in for a volume; the
// notification the system would send is sent by hand to the monitor's window.
TEST(MountMonitor, ReportsTheLettersThatCameAndWentAfterANotification) {
  const auto drives = os::PresentDrives();
  std::wstring letter;
  for (wchar_t c = L'Y'; c > L'K' && letter.empty(); --c) {
    const std::wstring root{c, L':', L'\\'};
    if (std::find(drives.begin(), drives.end(), root) == drives.end()) letter = {c, L':'};
  }
  ASSERT_FALSE(letter.empty());
  ScratchDir target;

  std::vector<std::string> events;
  std::vector<os::DriveChanges> changes;
  os::MountMonitor monitor(
      [&](const os::DriveChanges& c) {
        events.push_back("change");
        changes.push_back(c);
      },
      [&] { events.push_back("table"); });
  ASSERT_TRUE(monitor.Start());
  const HWND window = ::FindWindowExW(HWND_MESSAGE, nullptr, L"StrandelMountMonitor", nullptr);
  ASSERT_NE(window, nullptr);

  ASSERT_TRUE(::DefineDosDeviceW(0, letter.c_str(), target.path().c_str()));
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
  ASSERT_TRUE(::DefineDosDeviceW(DDD_REMOVE_DEFINITION, letter.c_str(), nullptr));
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0);
  // Any other device event is no reason to look.
  ::SendMessageW(window, WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  monitor.Stop();

  const std::vector<std::wstring> root{letter + L"\\"};
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].arrived, root);
  EXPECT_TRUE(changes[0].removed.empty());
  EXPECT_TRUE(changes[1].arrived.empty());
  EXPECT_EQ(changes[1].removed, root);
  EXPECT_EQ(events, (std::vector<std::string>{"table", "change", "table", "change"}));
}

}  // namespace
