// Drive types, USB bus and drive roots read from a hand-made mountinfo and sysfs.
#include "os/volumes.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr char kMountInfo[] =
    "22 1 259:2 / / rw,relatime shared:1 - ext4 /dev/nvme0n1p2 rw\n"
    "30 22 0:25 / /run rw,nosuid shared:5 - tmpfs tmpfs rw,size=1600k\n"
    "40 22 8:1 / /mnt/data rw,relatime shared:20 - ext4 /dev/sda1 rw\n"
    "41 40 8:2 / /mnt/data/inner rw shared:21 - xfs /dev/sda2 rw\n"
    "50 30 8:17 / /run/media/alice/My\\040Stick rw shared:30 master:9 - vfat /dev/sdb1 rw\n"
    "53 22 0:60 / /mnt/nas rw,relatime shared:33 - nfs4 server:/export rw,vers=4.2\n"
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
    MakeDisk(kUsbDisk, "1", "sdb1");
    MakeDisk(kAtaDisk, "0", "sda1");
    MakeDisk(kUsbPoolDisk, "0", "sdq2");
    Link("dev/block/8:17", std::string(kUsbDisk) + "/sdb1");
    Link("dev/block/8:1", std::string(kAtaDisk) + "/sda1");
    // btrfs reports an anonymous device; the disk is known by its source name.
    Link("class/block/sdq2", std::string(kUsbPoolDisk) + "/sdq2");
    std::ofstream(sysfs_ / kUsbPoolDisk / "sdq2" / "dev") << "65:2\n";
    Link("dev/block/65:2", std::string(kUsbPoolDisk) + "/sdq2");
    // An encrypted volume on the USB stick.
    fs::create_directories(sysfs_ / "devices/virtual/block/dm-0/slaves");
    Link("devices/virtual/block/dm-0/slaves/sdb1", std::string(kUsbDisk) + "/sdb1");
    Link("dev/block/254:0", "devices/virtual/block/dm-0");
    std::ofstream(mountinfo_) << kMountInfo;
    os::SetVolumeSourcesForTest(mountinfo_.string(), sysfs_.string());
  }
  void TearDown() override { os::SetVolumeSourcesForTest("", ""); }

  void MakeDisk(const std::string& disk, const char* removable, const std::string& partition) {
    fs::create_directories(sysfs_ / disk / partition);
    std::ofstream(sysfs_ / disk / "removable") << removable << "\n";
    std::ofstream(sysfs_ / disk / partition / "partition") << "1\n";
  }
  // Relative links, as sysfs has them.
  void Link(const std::string& from, const std::string& to) {
    const fs::path link = sysfs_ / from;
    fs::create_directories(link.parent_path());
    fs::create_symlink(fs::relative(sysfs_ / to, link.parent_path()), link);
  }

  testing_support::TempDir dir_;
  fs::path sysfs_;
  fs::path mountinfo_ = dir_.path() / "mountinfo";
};

TEST_F(VolumesTest, DriveTypesUsbBusAndDriveRoots) {
  const std::pair<const wchar_t*, uint32_t> types[] = {
      {L"/mnt/nas/share", DRIVE_REMOTE},
      {L"/mnt/cd", DRIVE_CDROM},
      {L"/mnt/ram/t", DRIVE_RAMDISK},
      {L"/run/media/alice/My Stick/d", DRIVE_REMOVABLE},
      {L"/mnt/data/inner", DRIVE_FIXED},
      {L"/media/alice/Gone/d", DRIVE_NO_ROOT_DIR},
      {L"relative", DRIVE_UNKNOWN},
      // Two separators first name a share on a server; three are a plain path.
      {L"//server/share/d", DRIVE_REMOTE},
      {L"//mnt/cd", DRIVE_REMOTE},  // a server named mnt, not /mnt/cd
      {L"///mnt/data/inner", DRIVE_FIXED},
  };
  for (const auto& [path, expected] : types) {
    EXPECT_EQ(os::DriveTypeOf(path), expected) << os::ToUtf8(path);
  }
  // Of two mounts on one point, the later one is the one in sight.
  EXPECT_EQ(os::DriveTypeOf(L"/mnt/stack/f"), DRIVE_REMOVABLE);

  EXPECT_TRUE(os::IsOnUsbBus(L"/run/media/alice/My Stick/docs"));
  EXPECT_TRUE(os::IsOnUsbBus(L"/mnt/pool/photos"));      // btrfs, through its source
  EXPECT_TRUE(os::IsOnUsbBus(L"/media/alice/Vault/k"));  // mapped device over the stick
  EXPECT_EQ(os::VolumeBusTypeOf(L"/mnt/data/innerx"), os::kBusTypeUnknown);  // not .../inner
  EXPECT_EQ(os::VolumeBusTypeOf(L"/mnt/nas"), std::nullopt);
  EXPECT_EQ(os::VolumeBusTypeOf(L"/"), std::nullopt);  // 259:2 absent from this sysfs

  EXPECT_EQ(os::DriveOf(L"/mnt/a/../data/x/"), L"/mnt/data");
  EXPECT_EQ(os::DriveOf(L"/media/alice"), L"/");
  EXPECT_TRUE(os::IsBareDriveRoot(L"/run/media/alice/My Stick"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"/media/alice/Vault/docs"));
  EXPECT_FALSE(os::IsBareDriveRoot(L"/mnt/data/inner"));  // a mount, but not a drive
  EXPECT_FALSE(os::IsBareDriveRoot(L"/media/alice/Gone"));
}

// Which trees a change of the table touches: a mount on the path or below it,
// or another volume in one's place; never one beside it with a longer name.
TEST(MountChanges, CountAtOrBelowAPathOnly) {
  const auto before = os::ParseMountInfo(kMountInfo);
  auto after = before;
  after.push_back({L"/mnt/data/inner/deep", "tmpfs", L"tmpfs", 0, 90});
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, after, L"/mnt/data"));
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, after, L"/mnt/data/inner/deep/"));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, after, L"/mnt/data/inner/deeper"));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, after, L"/mnt/ram"));

  after = before;
  ASSERT_EQ(after[8].mount_point, L"/mnt/ram");
  after[8].minor = 81;  // /mnt/ram unmounted and a new tmpfs mounted there
  EXPECT_TRUE(os::MountsDifferAtOrBelow(before, after, L"/mnt/ram/docs/.."));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, after, L"/mnt/ra"));
  EXPECT_FALSE(os::MountsDifferAtOrBelow(before, before, L"/"));

  EXPECT_TRUE(os::HasMountPoint(before, L"/run/media/alice/My Stick"));
  EXPECT_FALSE(os::HasMountPoint(before, L"/run/media/alice"));
}

}  // namespace
