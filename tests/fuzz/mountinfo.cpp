// A mount table of any text, parsed, and the volume questions answered from
// it the way the module asks them (with an empty sysfs, so that nothing
// depends on this machine's disks).
#include <algorithm>
#include <cstdint>
#include <fstream>

#include "fuzz_support.h"
#include "os/volumes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  static const fuzz::ScratchDir scratch;
  static const std::string table_file = (scratch.path() / "mountinfo").string();
  FuzzedDataProvider data(bytes, size);
  const std::wstring path = fuzz::ConsumeWide(data, 64);
  const std::string text = data.ConsumeRemainingBytesAsString();

  const std::vector<os::MountEntry> table = os::ParseMountInfo(text);
  for (const os::MountEntry& entry : table) {
    if (entry.mount_point.empty() || entry.mount_point.front() != L'/') __builtin_trap();
  }
  const std::vector<std::wstring> drives = os::PresentDrivesOf(table);
  if (std::find(drives.begin(), drives.end(), L"/") == drives.end() ||
      !std::is_sorted(drives.begin(), drives.end())) {
    __builtin_trap();
  }

  std::ofstream(table_file, std::ios::binary | std::ios::trunc) << text;
  os::SetVolumeSourcesForTest(table_file, scratch.path().string());
  for (const std::wstring& where : {path, table.empty() ? path : table.back().mount_point}) {
    os::MountOf(where);
    os::DriveTypeOf(where);
    os::VolumeBusTypeOf(where);
    os::IsBareDriveRoot(where);
    os::IsDrivePresent(os::DriveOf(where));
  }
  return 0;
}
