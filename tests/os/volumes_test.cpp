#include "os/volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char kMountInfo[] =
    "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "30 22 0:25 / /run rw,nosuid shared:5 - tmpfs tmpfs rw,size=1600k\n"
    "40 22 8:1 / /mnt/data rw,relatime shared:20 - ext4 /dev/sda1 rw\n"
    "41 40 8:2 / /mnt/data/inner rw shared:21 - xfs /dev/sda2 rw\n"
    "42 22 8:1 /sub /mnt/data\\134back rw - ext4 /dev/sda1 rw\n"
    "50 30 8:17 / /run/media/alice/My\\040Stick rw,nosuid shared:30 master:9 - vfat /dev/sdb1 "
    "rw,fmask=0022\n"
    "51 22 8:33 / /media/bob/WIN rw shared:31 - ntfs3 /dev/sdc1 rw\n"
    "52 22 8:34 / /mnt/ntfs3g rw shared:32 - fuseblk /dev/sdc2 rw,user_id=0\n"
    "53 22 0:60 / /mnt/nas rw,relatime shared:33 - nfs4 server:/export rw,vers=4.2\n"
    "54 22 0:61 / /home/alice/remote rw shared:34 - fuse.sshfs alice@host:/ rw\n"
    "55 22 8:48 / /mnt/floppy rw - msdos /dev/sdd rw\n"
    "56 22 0:70 / /mnt/pool rw shared:40 - btrfs /dev/sdq2 rw,subvol=/\n"
    "57 22 11:0 / /mnt/cd ro - iso9660 /dev/sr0 ro\n"
    "58 22 0:80 / /mnt/ram rw - tmpfs tmpfs rw\n"
    "59 22 254:0 / /media/alice/Vault rw - ext4 /dev/mapper/vault rw\n"
    "60 22 8:1 / /mnt/stack rw - ext4 /dev/sda1 rw\n"
    "61 60 8:17 / /mnt/stack rw - vfat /dev/sdb1 rw\n"
    "this line is not a mount\n";

constexpr char kUsbDisk[] =
    "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
constexpr char kAtaDisk[] =
    "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
constexpr char kUsbPoolDisk[] =
    "devices/pci0000:00/0000:00:14.0/usb3/3-2/3-2:1.0/host7/target7:0:0/7:0:0:0/block/sdq";

class VolumesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The word "usb" in the sysfs root itself must not make every disk USB.
    sysfs_ = dir_.path() / "usb-sys";
    MakeDisk(kUsbDisk, "1", {"sdb1"});
    MakeDisk(kAtaDisk, "0", {"sda1", "sda2"});
    MakeDisk(kUsbPoolDisk, "0", {"sdq2"});
    Link("dev/block/8:17", std::string(kUsbDisk) + "/sdb1");
    Link("dev/block/8:1", std::string(kAtaDisk) + "/sda1");
    Link("dev/block/8:2", std::string(kAtaDisk) + "/sda2");
    // btrfs reports an anonymous device; the disk is known by its source name.
    Link("class/block/sdq2", std::string(kUsbPoolDisk) + "/sdq2");
    std::ofstream(sysfs_ / kUsbPoolDisk / "sdq2" / "dev") << "65:2\n";
    Link("dev/block/65:2", std::string(kUsbPoolDisk) + "/sdq2");
    // An encrypted volume on the USB stick.
    fs::create_directories(sysfs_ / "devices/virtual/block/dm-0/slaves");
    Link("devices/virtual/block/dm-0/slaves/sdb1", std::string(kUsbDisk) + "/sdb1");
    Link("dev/block/254:0", "devices/virtual/block/dm-0");

    WriteMountInfo(kMountInfo);
    os::SetVolumeSourcesForTest(mountinfo_.string(), sysfs_.string());
  }
  void TearDown() override { os::SetVolumeSourcesForTest("", ""); }

  void MakeDisk(const std::string& disk, const char* removable,
                const std::vector<std::string>& partitions) {
    fs::create_directories(sysfs_ / disk);
    std::ofstream(sysfs_ / disk / "removable") << removable << "\n";
    for (const auto& part : partitions) {
      fs::create_directories(sysfs_ / disk / part);
      std::ofstream(sysfs_ / disk / part / "partition") << "1\n";
    }
  }
  // Relative links, as sysfs has them.
  void Link(const std::string& from, const std::string& to) {
    const fs::path link = sysfs_ / from;
    fs::create_directories(link.parent_path());
    fs::create_symlink(fs::relative(sysfs_ / to, link.parent_path()), link);
  }
  void WriteMountInfo(const std::string& text) { std::ofstream(mountinfo_) << text; }

  testing_support::TempDir dir_;
  fs::path sysfs_;
  fs::path mountinfo_ = dir_.path() / "mountinfo";
};

TEST_F(VolumesTest, ParsesEscapesOptionalFieldsAndSkipsJunk) {
  const auto table = os::ReadMountTable();
  ASSERT_EQ(table.size(), 18u);
  const auto& stick = table[6];
  EXPECT_EQ(stick.mount_point, L"/run/media/alice/My Stick");
  EXPECT_EQ(stick.fs_type, "vfat");
  EXPECT_EQ(stick.source, L"/dev/sdb1");
  EXPECT_EQ(stick.major, 8u);
  EXPECT_EQ(stick.minor, 17u);
  EXPECT_EQ(table[5].mount_point, L"/mnt/data\\back");
}

TEST_F(VolumesTest, MountIsTheLongestContainingMountPoint) {
  const auto mount_point = [](const wchar_t* path) {
    const auto mount = os::MountOf(path);
    return mount ? mount->mount_point : L"<none>";
  };
  EXPECT_EQ(mount_point(L"/mnt/data/inner/x"), L"/mnt/data/inner");
  EXPECT_EQ(mount_point(L"/mnt/data/innerx"), L"/mnt/data");
  EXPECT_EQ(mount_point(L"/mnt/database/x"), L"/");
  EXPECT_EQ(mount_point(L"/mnt/data\\back/y"), L"/mnt/data\\back");
  EXPECT_EQ(mount_point(L"//mnt//data/./inner/../x/"), L"/mnt/data");
  EXPECT_EQ(mount_point(L"relative"), L"<none>");
  // Of two mounts on one point, the later one is the one in sight.
  EXPECT_EQ(os::MountOf(L"/mnt/stack/f")->fs_type, "vfat");
}

TEST_F(VolumesTest, FileSystemNamesAndDriveTypes) {
  EXPECT_EQ(os::FileSystemNameOf(L"/media/bob/WIN/a"), L"NTFS");
  EXPECT_EQ(os::FileSystemNameOf(L"/mnt/ntfs3g"), L"NTFS");
  EXPECT_EQ(os::FileSystemNameOf(L"/run/media/alice/My Stick"), L"FAT32");
  EXPECT_EQ(os::FileSystemNameOf(L"/mnt/data/inner"), L"");

  EXPECT_EQ(os::DriveTypeOf(L"/mnt/nas/share"), os::DRIVE_REMOTE);
  EXPECT_EQ(os::DriveTypeOf(L"/home/alice/remote/x"), os::DRIVE_REMOTE);
  EXPECT_EQ(os::DriveTypeOf(L"/mnt/cd"), os::DRIVE_CDROM);
  EXPECT_EQ(os::DriveTypeOf(L"/mnt/ram/t"), os::DRIVE_RAMDISK);
  EXPECT_EQ(os::DriveTypeOf(L"/run/media/alice/My Stick/d"), os::DRIVE_REMOVABLE);
  EXPECT_EQ(os::DriveTypeOf(L"/mnt/data/inner"), os::DRIVE_FIXED);
  EXPECT_EQ(os::DriveTypeOf(L"/home/u"), os::DRIVE_FIXED);
  EXPECT_EQ(os::DriveTypeOf(L"/media/alice/Gone/d"), os::DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(os::DriveTypeOf(L"relative"), os::DRIVE_UNKNOWN);
}

TEST_F(VolumesTest, UsbBusFromTheResolvedSysfsDevice) {
  EXPECT_TRUE(os::IsOnUsbBus(L"/run/media/alice/My Stick/docs"));
  EXPECT_FALSE(os::IsOnUsbBus(L"/mnt/data/x"));
  EXPECT_EQ(os::VolumeBusTypeOf(L"/mnt/data/inner"), os::kBusTypeUnknown);
  EXPECT_TRUE(os::IsOnUsbBus(L"/mnt/pool/photos"));      // btrfs, through its source
  EXPECT_TRUE(os::IsOnUsbBus(L"/media/alice/Vault/k"));  // mapped device over the stick
  EXPECT_EQ(os::VolumeBusTypeOf(L"/mnt/nas"), std::nullopt);
  EXPECT_EQ(os::VolumeBusTypeOf(L"/mnt/ram"), std::nullopt);
  EXPECT_EQ(os::VolumeBusTypeOf(L"/"), std::nullopt);  // 259:2 absent from this sysfs
}

TEST_F(VolumesTest, DrivesAndTheirPresence) {
  EXPECT_EQ(os::DriveOf(L"/media/bob/WIN/docs/a"), L"/media/bob/WIN");
  EXPECT_EQ(os::DriveOf(L"/run/media/alice/My Stick/x"), L"/run/media/alice/My Stick");
  EXPECT_EQ(os::DriveOf(L"/mnt/a/../data/x/"), L"/mnt/data");
  EXPECT_EQ(os::DriveOf(L"/media/bob"), L"/");
  EXPECT_EQ(os::DriveOf(L"/home/u"), L"/");
  EXPECT_EQ(os::DriveOf(L"rel/x"), L"");

  EXPECT_TRUE(os::IsDrivePresent(L"/"));
  EXPECT_TRUE(os::IsDrivePresent(L"/media/bob/WIN"));
  EXPECT_FALSE(os::IsDrivePresent(L"/media/bob/Other"));
  EXPECT_TRUE(os::IsBareDriveRoot(L"/"));
  EXPECT_TRUE(os::IsBareDriveRoot(L"/media/bob/WIN"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"/media/bob/WIN/docs"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"/mnt/data/inner"));

  // Unplugged: the directory may stay behind, but it is no longer a mount point.
  fs::create_directories(dir_.path() / "media/bob/WIN");
  WriteMountInfo("22 1 259:2 / / rw - ext4 /dev/nvme0n1p2 rw\n");
  EXPECT_FALSE(os::IsDrivePresent(L"/media/bob/WIN"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"/media/bob/WIN"));
  EXPECT_EQ(os::DriveTypeOf(L"/media/bob/WIN/docs"), os::DRIVE_NO_ROOT_DIR);
}

TEST_F(VolumesTest, PresentDrivesAreSorted) {
  const std::vector<std::wstring> expected = {L"/",
                                              L"/media/alice/Vault",
                                              L"/media/bob/WIN",
                                              L"/mnt/cd",
                                              L"/mnt/data",
                                              L"/mnt/data\\back",
                                              L"/mnt/floppy",
                                              L"/mnt/nas",
                                              L"/mnt/ntfs3g",
                                              L"/mnt/pool",
                                              L"/mnt/ram",
                                              L"/mnt/stack",
                                              L"/run/media/alice/My Stick"};
  EXPECT_EQ(os::PresentDrives(), expected);
}

}  // namespace
