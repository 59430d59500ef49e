// Volume facts on Windows. The "mount table" is the set of drive letters the
// system has now (GetLogicalDrives), each with its file system, volume name
// and serial number; a network path's drive is its share, \\server\share\.
// Volumes mounted on folders are not in the table: a path below one is
// placed on the drive that holds the folder.
#include "os/volumes.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "os/text.h"
#include "os/win32/unique_handle.h"

namespace os {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// Keeps a removable drive without media from asking the user to insert one.
class QuietErrors {
 public:
  QuietErrors() { ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &previous_); }
  ~QuietErrors() { ::SetThreadErrorMode(previous_, nullptr); }
  QuietErrors(const QuietErrors&) = delete;
  QuietErrors& operator=(const QuietErrors&) = delete;

 private:
  DWORD previous_ = 0;
};

// The path without its long-path prefix: "\\?\C:\x" is "C:\x", "\\?\UNC\s\x"
// is "\\s\x". Separators are left as they are.
std::wstring_view WithoutLongPrefix(std::wstring_view path, bool* unc) {
  *unc = false;
  if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
      (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3])) {
    std::wstring_view rest = path.substr(4);
    if (rest.size() >= 4 && std::towupper(rest[0]) == L'U' && std::towupper(rest[1]) == L'N' &&
        std::towupper(rest[2]) == L'C' && IsSeparator(rest[3])) {
      *unc = true;
      return rest.substr(4);
    }
    return rest;
  }
  return path;
}

// A path taken apart lexically: its drive root ("C:\" or "\\server\share\";
// empty when the path is neither: relative, a device path, a server without a
// share) and the levels below it, "." and ".." resolved, never above the root.
struct Parsed {
  std::wstring root;
  std::vector<std::wstring> levels;
};

std::vector<std::wstring> Levels(std::wstring_view rest, std::size_t keep) {
  std::vector<std::wstring> levels;
  std::size_t i = 0;
  while (i <= rest.size()) {
    std::size_t j = i;
    while (j < rest.size() && !IsSeparator(rest[j])) ++j;
    const std::wstring_view level = rest.substr(i, j - i);
    if (level == L"..") {
      if (levels.size() > keep) levels.pop_back();
    } else if (!level.empty() && level != L".") {
      levels.emplace_back(level);
    }
    i = j + 1;
  }
  return levels;
}

Parsed Parse(std::wstring_view path) {
  bool unc = false;
  const std::wstring_view p = WithoutLongPrefix(path, &unc);
  const bool prefixed = p.size() != path.size();
  if (!prefixed && p.size() > 2 && IsSeparator(p[0]) && IsSeparator(p[1]) && !IsSeparator(p[2]) &&
      p[2] != L'?' && p[2] != L'.') {
    unc = true;
  }
  Parsed parsed;
  if (unc) {
    std::vector<std::wstring> levels = Levels(prefixed ? p : p.substr(2), 2);
    if (levels.size() < 2) return {};
    parsed.root = L"\\\\" + levels[0] + L"\\" + levels[1] + L"\\";
    parsed.levels.assign(levels.begin() + 2, levels.end());
    return parsed;
  }
  // "C:" alone is taken as its root, as people write a drive.
  if (p.size() >= 2 && IsLetter(p[0]) && p[1] == L':' && (p.size() == 2 || IsSeparator(p[2]))) {
    parsed.root = {static_cast<wchar_t>(std::towupper(p[0])), L':', L'\\'};
    parsed.levels = Levels(p.substr(2), 0);
  }
  return parsed;
}

std::wstring RootOf(std::wstring_view path) { return Parse(path).root; }

bool IsLetterRoot(const std::wstring& root) { return root.size() == 3 && root[1] == L':'; }

DWORD LogicalDrivesMask() { return ::GetLogicalDrives(); }

std::vector<std::wstring> DrivesOfMask(DWORD mask) {
  std::vector<std::wstring> drives;
  for (int i = 0; i < 26; ++i) {
    if (mask & (1u << i)) drives.push_back({static_cast<wchar_t>(L'A' + i), L':', L'\\'});
  }
  return drives;
}

// The entry for one root; fs_type is empty when the volume cannot be read (a
// drive without media, a share that does not answer).
MountEntry EntryOf(const std::wstring& root) {
  MountEntry entry;
  entry.mount_point = root;
  wchar_t fs_name[MAX_PATH + 1] = {};
  DWORD serial = 0;
  const QuietErrors quiet;
  if (::GetVolumeInformationW(root.c_str(), nullptr, 0, &serial, nullptr, nullptr, fs_name,
                              MAX_PATH + 1)) {
    entry.fs_type = ToUtf8(fs_name);
    entry.major = serial;
  }
  if (IsLetterRoot(root)) {
    wchar_t volume[MAX_PATH + 1] = {};
    if (::GetVolumeNameForVolumeMountPointW(root.c_str(), volume, MAX_PATH + 1)) {
      entry.source = volume;
    }
  } else {
    entry.source = root;
  }
  return entry;
}

bool SameRoot(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() &&
         ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

// There is no file behind the table on Windows.
std::string MountInfoPath() { return {}; }

std::vector<MountEntry> ReadMountTable() {
  std::vector<MountEntry> table;
  for (const std::wstring& root : DrivesOfMask(LogicalDrivesMask())) {
    table.push_back(EntryOf(root));
  }
  return table;
}

std::optional<MountEntry> MountOf(std::wstring_view path) {
  const std::wstring root = RootOf(path);
  if (root.empty() || !IsDrivePresent(root)) return std::nullopt;
  return EntryOf(root);
}

bool MountsDifferAtOrBelow(const std::vector<MountEntry>& before,
                           const std::vector<MountEntry>& after, std::wstring_view path) {
  // Drives are only ever at a drive root: a path below one has none at or
  // below it, whatever its volume does (that reaches the watch as a gone root).
  const Parsed parsed = Parse(path);
  if (parsed.root.empty() || !parsed.levels.empty()) return false;
  const auto find = [&](const std::vector<MountEntry>& table) -> const MountEntry* {
    for (const auto& entry : table) {
      if (SameRoot(entry.mount_point, parsed.root)) return &entry;
    }
    return nullptr;
  };
  const MountEntry* a = find(before);
  const MountEntry* b = find(after);
  if (a == nullptr || b == nullptr) return a != b;
  return !(*a == *b);
}

bool HasMountPoint(const std::vector<MountEntry>& table, std::wstring_view mount_point) {
  return std::any_of(table.begin(), table.end(), [&](const MountEntry& entry) {
    return SameRoot(entry.mount_point, mount_point);
  });
}

std::wstring FileSystemNameOfType(std::string_view fs_type) {
  // The names GetVolumeInformationW gives; the Linux kernel's are taken too,
  // so that a table read elsewhere means the same.
  if (fs_type == "NTFS" || fs_type == "ntfs" || fs_type == "ntfs3" || fs_type == "fuseblk") {
    return L"NTFS";
  }
  if (fs_type == "FAT32" || fs_type == "vfat") return L"FAT32";
  if (fs_type == "FAT" || fs_type == "msdos") return L"FAT";
  return {};
}

std::wstring FileSystemNameOf(std::wstring_view path) {
  const auto mount = MountOf(path);
  return mount ? FileSystemNameOfType(mount->fs_type) : std::wstring();
}

bool IsAbsolutePath(std::wstring_view path) {
  if (IsUncPath(path)) return true;
  bool unc = false;
  const std::wstring_view rest = WithoutLongPrefix(path, &unc);
  return rest.size() >= 3 && std::iswalpha(rest[0]) && rest[1] == L':' && IsSeparator(rest[2]);
}

bool IsUncPath(std::wstring_view path) {
  bool long_unc = false;
  const std::wstring_view rest = WithoutLongPrefix(path, &long_unc);
  if (long_unc) return !rest.empty() && !IsSeparator(rest[0]);
  if (rest.size() != path.size()) return false;  // "\\?\C:\", "\\.\pipe"
  return path.size() > 2 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
         !IsSeparator(path[2]);
}

uint32_t DriveTypeOf(std::wstring_view path) {
  if (IsUncPath(path)) return DRIVE_REMOTE;
  const std::wstring root = RootOf(path);
  if (root.empty()) return DRIVE_UNKNOWN;
  return ::GetDriveTypeW(root.c_str());
}

std::optional<uint32_t> VolumeBusTypeOf(std::wstring_view path) {
  const std::wstring root = RootOf(path);
  if (!IsLetterRoot(root)) return std::nullopt;
  const std::wstring device = L"\\\\.\\" + root.substr(0, 2);
  const QuietErrors quiet;
  const UniqueHandle volume(::CreateFileW(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
  if (!volume.valid()) return std::nullopt;
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageDeviceProperty;
  query.QueryType = PropertyStandardQuery;
  // The fixed part is enough: the bus type lies in it.
  STORAGE_DEVICE_DESCRIPTOR descriptor{};
  DWORD returned = 0;
  if (!::DeviceIoControl(volume.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query,
                         &descriptor, sizeof descriptor, &returned, nullptr) ||
      returned < offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) + sizeof descriptor.BusType) {
    return std::nullopt;
  }
  return descriptor.BusType == BusTypeUsb ? kBusTypeUsb : kBusTypeUnknown;
}

bool IsOnUsbBus(std::wstring_view path) { return VolumeBusTypeOf(path) == kBusTypeUsb; }

std::wstring DriveOf(std::wstring_view path) { return RootOf(path); }

bool IsDrivePresent(std::wstring_view drive) {
  const std::wstring root = RootOf(drive);
  if (root.empty()) return false;
  if (IsLetterRoot(root)) return (LogicalDrivesMask() & (1u << (root[0] - L'A'))) != 0;
  // A share is present when it answers.
  const QuietErrors quiet;
  return ::GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsBareDriveRoot(std::wstring_view path) {
  const Parsed parsed = Parse(path);
  return !parsed.root.empty() && parsed.levels.empty() && IsDrivePresent(parsed.root);
}

std::vector<std::wstring> PresentDrives() { return DrivesOfMask(LogicalDrivesMask()); }

std::vector<std::wstring> PresentDrivesOf(const std::vector<MountEntry>& table) {
  std::vector<std::wstring> drives;
  for (const auto& entry : table) {
    const std::wstring root = RootOf(entry.mount_point);
    if (!root.empty() && SameRoot(root, entry.mount_point)) drives.push_back(root);
  }
  std::sort(drives.begin(), drives.end());
  drives.erase(std::unique(drives.begin(), drives.end()), drives.end());
  return drives;
}

// The table comes from the system itself: there are no files to point elsewhere.
void SetVolumeSourcesForTest(std::string, std::string) {}

}  // namespace os
