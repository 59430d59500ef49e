#include "os/volumes.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "os/mount_info.h"
#include "os/text.h"

namespace os {
namespace {

namespace fs = std::filesystem;

constexpr char kMountInfo[] = "/proc/self/mountinfo";
constexpr char kSysfs[] = "/sys";

std::mutex g_sources_mutex;
std::string g_mountinfo_override;  // guarded by g_sources_mutex
std::string g_sysfs_override;      // guarded by g_sources_mutex

std::string SysfsRoot() {
  std::lock_guard<std::mutex> guard(g_sources_mutex);
  return g_sysfs_override.empty() ? kSysfs : g_sysfs_override;
}

std::string ReadWholeFile(const std::string& path) {
  // procfs reports a size of 0, so read to the end rather than by size.
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::wstring> Components(std::wstring_view path) {
  std::vector<std::wstring> parts;
  std::size_t pos = 0;
  while (pos <= path.size()) {
    const std::size_t end = std::min(path.find(kPathSeparator, pos), path.size());
    const std::wstring_view part = path.substr(pos, end - pos);
    if (part == L"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != L".") {
      parts.emplace_back(part);
    }
    pos = end + 1;
  }
  return parts;
}

std::wstring Join(const std::vector<std::wstring>& parts, std::size_t count) {
  std::wstring out;
  for (std::size_t i = 0; i < count; ++i) {
    out += kPathSeparator;
    out += parts[i];
  }
  return out.empty() ? std::wstring(1, kPathSeparator) : out;
}

// Empty for a path that is not absolute.
std::wstring Normalize(std::wstring_view path) {
  if (path.empty() || path.front() != kPathSeparator) return {};
  const auto parts = Components(path);
  return Join(parts, parts.size());
}

bool Contains(const std::wstring& mount_point, const std::wstring& normal_path) {
  if (mount_point.size() == 1 && mount_point.front() == kPathSeparator) return true;
  return normal_path.starts_with(mount_point) &&
         (normal_path.size() == mount_point.size() ||
          normal_path[mount_point.size()] == kPathSeparator);
}

const MountEntry* FindMount(const std::vector<MountEntry>& table, const std::wstring& normal_path) {
  const MountEntry* best = nullptr;
  for (const auto& entry : table) {
    // ">=" so that of two mounts on one point the later, the visible one, wins.
    if (Contains(entry.mount_point, normal_path) &&
        (best == nullptr || entry.mount_point.size() >= best->mount_point.size())) {
      best = &entry;
    }
  }
  return best;
}

std::wstring DriveOfNormal(const std::wstring& normal_path) {
  const auto parts = Components(normal_path);
  const auto is = [&](std::size_t i, const wchar_t* name) {
    return parts.size() > i && parts[i] == name;
  };
  if (is(0, L"media") && parts.size() >= 3) return Join(parts, 3);
  if (is(0, L"run") && is(1, L"media") && parts.size() >= 4) return Join(parts, 4);
  if (is(0, L"mnt") && parts.size() >= 2) return Join(parts, 2);
  return std::wstring(1, kPathSeparator);
}

bool IsPresent(const std::vector<MountEntry>& table, const std::wstring& drive) {
  if (drive.size() == 1 && drive.front() == kPathSeparator) return true;
  return std::any_of(table.begin(), table.end(),
                     [&](const MountEntry& entry) { return entry.mount_point == drive; });
}

bool IsOneOf(std::string_view value, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), value) != names.end();
}

bool IsNetworkType(std::string_view type) {
  return IsOneOf(
      type,
      {"nfs",        "nfs4",  "cifs",        "smb3",      "smbfs",     "ncpfs",          "sshfs",
       "fuse.sshfs", "9p",    "ceph",        "fuse.ceph", "glusterfs", "fuse.glusterfs", "afs",
       "lustre",     "davfs", "fuse.rclone", "fuse.s3fs", "beegfs",    "orangefs",       "gpfs"});
}

std::optional<fs::path> ResolveDevice(const fs::path& sysfs, uint32_t major_number,
                                      uint32_t minor_number) {
  std::error_code error;
  const fs::path resolved = fs::canonical(
      sysfs / "dev" / "block" / (std::to_string(major_number) + ":" + std::to_string(minor_number)),
      error);
  if (error) return std::nullopt;
  return resolved;
}

// The sysfs directory of the block device holding a mount. The device numbers
// of a btrfs mount are an anonymous device of the file system, not its disk,
// so there (and for mounts without numbers) the source device is asked.
std::optional<fs::path> BlockDeviceDir(const MountEntry& mount, const fs::path& sysfs) {
  if (mount.fs_type != "btrfs" && mount.major != 0) {
    return ResolveDevice(sysfs, mount.major, mount.minor);
  }
  const std::string source = ToUtf8(mount.source);
  if (!source.starts_with("/dev/")) return std::nullopt;
  struct stat info {};
  if (::stat(source.c_str(), &info) == 0 && S_ISBLK(info.st_mode)) {
    return ResolveDevice(sysfs, ::major(info.st_rdev), ::minor(info.st_rdev));
  }
  // The node may be missing from this namespace; sysfs still knows the name.
  const std::string numbers =
      ReadWholeFile((sysfs / "class" / "block" / fs::path(source).filename() / "dev").string());
  uint32_t major_number = 0;
  uint32_t minor_number = 0;
  std::string_view trimmed(numbers);
  while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == ' ')) {
    trimmed.remove_suffix(1);
  }
  if (!ParseDeviceNumbers(trimmed, &major_number, &minor_number)) return std::nullopt;
  return ResolveDevice(sysfs, major_number, minor_number);
}

// A mapped device (LUKS, LVM) sits under /devices/virtual; the disk it lives
// on is found through its slaves.
bool IsUsbDevice(const fs::path& device, const fs::path& sysfs, int depth) {
  const std::string text = device.string();
  const std::string sysfs_text = sysfs.string();
  const std::string_view inside =
      text.starts_with(sysfs_text) ? std::string_view(text).substr(sysfs_text.size()) : text;
  if (inside.find("/usb") != std::string_view::npos) return true;
  if (depth == 0) return false;
  std::error_code error;
  for (fs::directory_iterator it(device / "slaves", error), end; !error && it != end;
       it.increment(error)) {
    const fs::path slave = fs::canonical(it->path(), error);
    if (!error && IsUsbDevice(slave, sysfs, depth - 1)) return true;
    error.clear();
  }
  return false;
}

bool IsRemovableDevice(const fs::path& device) {
  std::error_code error;
  const fs::path disk = fs::exists(device / "partition", error) ? device.parent_path() : device;
  return ReadWholeFile((disk / "removable").string()).starts_with("1");
}

std::optional<fs::path> CanonicalSysfs() {
  std::error_code error;
  fs::path root = fs::canonical(SysfsRoot(), error);
  if (error) return std::nullopt;
  return root;
}

}  // namespace

std::string MountInfoPath() {
  std::lock_guard<std::mutex> guard(g_sources_mutex);
  return g_mountinfo_override.empty() ? kMountInfo : g_mountinfo_override;
}

std::vector<MountEntry> ReadMountTable() { return ParseMountInfo(ReadWholeFile(MountInfoPath())); }

bool MountsDifferAtOrBelow(const std::vector<MountEntry>& before,
                           const std::vector<MountEntry>& after, std::wstring_view path) {
  const std::wstring normal = Normalize(path);
  if (normal.empty()) return false;
  const auto at_or_below = [&](const std::vector<MountEntry>& table) {
    std::vector<MountEntry> found;
    for (const auto& entry : table) {
      if (Contains(normal, entry.mount_point)) found.push_back(entry);
    }
    return found;
  };
  return at_or_below(before) != at_or_below(after);
}

bool HasMountPoint(const std::vector<MountEntry>& table, std::wstring_view mount_point) {
  return std::any_of(table.begin(), table.end(),
                     [&](const MountEntry& entry) { return entry.mount_point == mount_point; });
}

std::optional<MountEntry> MountOf(std::wstring_view path) {
  const std::wstring normal = Normalize(path);
  if (normal.empty()) return std::nullopt;
  const auto table = ReadMountTable();
  const MountEntry* mount = FindMount(table, normal);
  if (mount == nullptr) return std::nullopt;
  return *mount;
}

std::wstring FileSystemNameOfType(std::string_view fs_type) {
  // fuseblk is what ntfs-3g mounts as.
  if (IsOneOf(fs_type, {"ntfs", "ntfs3", "fuseblk"})) return L"NTFS";
  if (fs_type == "vfat") return L"FAT32";
  if (fs_type == "msdos") return L"FAT";
  return {};
}

std::wstring FileSystemNameOf(std::wstring_view path) {
  const auto mount = MountOf(path);
  return mount ? FileSystemNameOfType(mount->fs_type) : std::wstring();
}

bool IsAbsolutePath(std::wstring_view path) { return !path.empty() && path[0] == kPathSeparator; }

bool IsUncPath(std::wstring_view path) {
  return path.size() > 2 && path[0] == kPathSeparator && path[1] == kPathSeparator &&
         path[2] != kPathSeparator;
}

uint32_t DriveTypeOf(std::wstring_view path) {
  if (IsUncPath(path)) return DRIVE_REMOTE;
  const std::wstring normal = Normalize(path);
  if (normal.empty()) return DRIVE_UNKNOWN;
  const auto table = ReadMountTable();
  if (!IsPresent(table, DriveOfNormal(normal))) return DRIVE_NO_ROOT_DIR;
  const MountEntry* mount = FindMount(table, normal);
  if (mount == nullptr) return DRIVE_UNKNOWN;
  if (IsNetworkType(mount->fs_type)) return DRIVE_REMOTE;
  if (IsOneOf(mount->fs_type, {"iso9660", "udf"})) return DRIVE_CDROM;
  if (IsOneOf(mount->fs_type, {"tmpfs", "ramfs"})) return DRIVE_RAMDISK;
  if (const auto sysfs = CanonicalSysfs()) {
    const auto device = BlockDeviceDir(*mount, *sysfs);
    if (device && IsRemovableDevice(*device)) return DRIVE_REMOVABLE;
  }
  return DRIVE_FIXED;
}

std::optional<uint32_t> VolumeBusTypeOf(std::wstring_view path) {
  const auto mount = MountOf(path);
  const auto sysfs = CanonicalSysfs();
  if (!mount || !sysfs) return std::nullopt;
  const auto device = BlockDeviceDir(*mount, *sysfs);
  if (!device) return std::nullopt;
  // Deep enough for a partition of LVM on LUKS on a disk.
  constexpr int kMaxStacking = 4;
  return IsUsbDevice(*device, *sysfs, kMaxStacking) ? kBusTypeUsb : kBusTypeUnknown;
}

bool IsOnUsbBus(std::wstring_view path) { return VolumeBusTypeOf(path) == kBusTypeUsb; }

std::wstring DriveOf(std::wstring_view path) {
  const std::wstring normal = Normalize(path);
  return normal.empty() ? std::wstring() : DriveOfNormal(normal);
}

bool IsDrivePresent(std::wstring_view drive) {
  const std::wstring normal = Normalize(drive);
  if (normal.empty()) return false;
  if (normal.size() == 1) return true;
  return IsPresent(ReadMountTable(), normal);
}

bool IsBareDriveRoot(std::wstring_view path) {
  const std::wstring normal = Normalize(path);
  return !normal.empty() && DriveOfNormal(normal) == normal && IsDrivePresent(normal);
}

std::vector<std::wstring> PresentDrives() { return PresentDrivesOf(ReadMountTable()); }

std::vector<std::wstring> PresentDrivesOf(const std::vector<MountEntry>& table) {
  std::set<std::wstring> drives{std::wstring(1, kPathSeparator)};
  for (const auto& entry : table) {
    const std::wstring normal = Normalize(entry.mount_point);
    if (!normal.empty() && DriveOfNormal(normal) == normal) drives.insert(normal);
  }
  return {drives.begin(), drives.end()};
}

void SetVolumeSourcesForTest(std::string mountinfo_path, std::string sysfs_root) {
  std::lock_guard<std::mutex> guard(g_sources_mutex);
  g_mountinfo_override = std::move(mountinfo_path);
  g_sysfs_override = std::move(sysfs_root);
}

}  // namespace os
