// Volume facts: which mount holds a path, what file system and device lie
// behind it, and the "drives" that stand in for drive letters (the removable
// mount locations /media/<user>/<label>, /run/media/<user>/<label> and
// /mnt/<name>, plus "/", which is always present).
//
// Everything is read afresh from /proc/self/mountinfo and /sys on each call,
// so answers follow plugging and unplugging without a cache to invalidate.
// Paths are judged lexically (no symbolic links are followed): a task's
// directory on an unplugged volume does not exist, yet must still be placed.
// Thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The values of the Windows drive-type query, which the engine compares with,
// under their Windows names; on Windows they come from <windows.h>.
#ifndef _WIN32
inline constexpr uint32_t DRIVE_UNKNOWN = 0;
inline constexpr uint32_t DRIVE_NO_ROOT_DIR = 1;
inline constexpr uint32_t DRIVE_REMOVABLE = 2;
inline constexpr uint32_t DRIVE_FIXED = 3;
inline constexpr uint32_t DRIVE_REMOTE = 4;
inline constexpr uint32_t DRIVE_CDROM = 5;
inline constexpr uint32_t DRIVE_RAMDISK = 6;
#endif

namespace os {

// Storage bus types as the Windows storage query reports them.
inline constexpr uint32_t kBusTypeUnknown = 0;
inline constexpr uint32_t kBusTypeUsb = 7;

struct MountEntry {
  std::wstring mount_point;  // escapes such as \040 decoded
  std::string fs_type;       // as the kernel names it: "ext4", "vfat", "fuse.sshfs"
  std::wstring source;       // "/dev/sdb1", "server:/export", "tmpfs"
  uint32_t major = 0;        // st_dev of the mount; 0 for most virtual and network mounts
  uint32_t minor = 0;

  bool operator==(const MountEntry&) const = default;
};

// Lines that do not parse are skipped; order is kept (later mounts lie on top).
std::vector<MountEntry> ParseMountInfo(std::string_view text);
// The file the mount table is read from: /proc/self/mountinfo unless a test
// points the layer elsewhere.
std::string MountInfoPath();
// The current mount table; empty when it cannot be read.
std::vector<MountEntry> ReadMountTable();

// The mount whose mount point is the longest one containing path; nothing for
// a path that is not absolute or when the table cannot be read.
std::optional<MountEntry> MountOf(std::wstring_view path);

// Whether the mounts at path or below it differ between two readings of the
// table: a volume mounted or unmounted there, or another in one's place.
bool MountsDifferAtOrBelow(const std::vector<MountEntry>& before,
                           const std::vector<MountEntry>& after, std::wstring_view path);
// Whether something is mounted at mount_point in the table.
bool HasMountPoint(const std::vector<MountEntry>& table, std::wstring_view mount_point);

// "NTFS", "FAT32" or "FAT" for the file-system types that carry those names,
// empty for any other type.
std::wstring FileSystemNameOfType(std::string_view fs_type);
std::wstring FileSystemNameOf(std::wstring_view path);

// An absolute path: from "/" on Linux; from a drive ("C:\\") or a server
// ("\\\\server\\share") on Windows.
bool IsAbsolutePath(std::wstring_view path);

// A network path: two separators, then a server name ("//server/share/dir").
// Three or more separators are a plain absolute path.
bool IsUncPath(std::wstring_view path);

// DRIVE_REMOTE for a network path; DRIVE_NO_ROOT_DIR when the path's drive is
// absent; DRIVE_UNKNOWN when the path is not absolute.
uint32_t DriveTypeOf(std::wstring_view path);

// kBusTypeUsb or kBusTypeUnknown; nothing when the volume has no block device
// that can be found in sysfs (tmpfs, network shares, a failed lookup).
std::optional<uint32_t> VolumeBusTypeOf(std::wstring_view path);
bool IsOnUsbBus(std::wstring_view path);

// The drive a path lies under, "/" when it is under none of the removable
// mount locations; empty for a path that is not absolute. The result is
// normalised: no repeated, trailing or "." separators, ".." resolved.
std::wstring DriveOf(std::wstring_view path);
// A drive is present when it is a mount point now; "/" always is.
bool IsDrivePresent(std::wstring_view drive);
// The path is its own drive, and that drive is present.
bool IsBareDriveRoot(std::wstring_view path);
// Every present drive, sorted; always holds "/".
std::vector<std::wstring> PresentDrives();
// The same, from a table already read.
std::vector<std::wstring> PresentDrivesOf(const std::vector<MountEntry>& table);

// Points the layer at other files (a hand-written mountinfo, a fake sysfs
// tree); empty strings restore /proc/self/mountinfo and /sys.
void SetVolumeSourcesForTest(std::string mountinfo_path, std::string sysfs_root);

}  // namespace os
