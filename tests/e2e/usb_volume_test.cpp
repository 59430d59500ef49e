// A task whose destination lies on a USB stick, through the public interface:
// the stick leaves without a fight, the task waits, and when the stick is
// back a full sync brings what changed meanwhile. No test machine has a stick
// to plug in, so the test runs in a child inside its own user and mount
// namespaces, where sysfs can be made to call a tmpfs a USB volume and /mnt
// can hold drives.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "c_host.h"
#include "module_host.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using module_host::ArriveIn;
using module_host::Files;
using module_host::g_module;
using module_host::HasContent;
using module_host::TaskInfo;
using module_host::Write;
using module_host::WriteAll;
using testing_support::PollUntil;
using testing_support::ReadFile;
using testing_support::RunProcess;

// A volume's arrival waits 3 s for it to settle, and a busy machine adds to
// every step after it.
constexpr auto kVolumeWait = std::chrono::seconds(30);

bool TemporaryIn(const fs::path& dir) {
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(dir, error)) {
    if (entry.path().filename().string().starts_with(".strandel-part-")) return true;
  }
  return false;
}

int Count(const std::string& text, const std::string& needle) {
  int count = 0;
  for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

TEST(UsbVolume, AStickThatLeavesIsLetGoAndBroughtInStepWhenBack) {
  testing_support::TempDir dir;
  const auto run = testing_support::RunTestsInMountNamespace(
      "UsbVolume.DISABLED_StickInsideANamespace",
      {"STRANDEL_TRACE=" + (dir.path() / "trace").string(), "STRANDEL_TEST_MOUNT_DIR=" + dir.str()},
      std::chrono::seconds(120));
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

TEST(UsbVolume, DISABLED_StickInsideANamespace) {
  const char* base_text = std::getenv("STRANDEL_TEST_MOUNT_DIR");
  ASSERT_NE(base_text, nullptr);
  const fs::path base(base_text);
  const fs::path src = base / "src";
  const fs::path stick = base / "stick";  // the volume itself, wherever it is mounted
  const fs::path drive = "/mnt/STICK";
  const fs::path other_drive = "/mnt/OTHER";
  const fs::path dest = drive / "photos";
  fs::create_directories(src);
  fs::create_directories(stick);
  ASSERT_TRUE(testing_support::MountTmpfs("/mnt"));
  fs::create_directories(drive);
  fs::create_directories(other_drive);
  ASSERT_TRUE(testing_support::MountFakeUsbVolume(stick, "sdz1"));
  fs::create_directories(stick / "photos");
  ASSERT_TRUE(testing_support::BindMount(stick, drive));

  TaskInfo info(L"photos", src, dest);
  info->bSupportUsb = TRUE;
  ASSERT_GE(CHostAddTask(g_module.Monitor(), info.get()), 20000);
  Files files{{"a.jpg", "first"}};
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dest, files));

  // Nothing the module holds keeps the stick busy: the first unmount works.
  const auto unmount = RunProcess("/usr/bin/umount", {drive.string()});
  ASSERT_EQ(unmount.exit_code, 0) << unmount.output;
  const fs::path trace = base / "trace";
  ASSERT_TRUE(PollUntil(
      [&] { return ReadFile(trace).find("Close Usb OpenedFile B Handle Ok") != std::string::npos; },
      kVolumeWait));
  files = {{"a.jpg", "edited while away"}, {"b.jpg", "new while away"}, {"sub/c.jpg", "deep"}};
  WriteAll(src, files);

  // Back at another mount point the task's folder is not there: it waits on,
  // and writes nothing, neither there nor in the empty mount directory.
  ASSERT_TRUE(testing_support::BindMount(stick, other_drive));
  ASSERT_TRUE(PollUntil(
      [&] {
        return ReadFile(trace).find("Usb Insert detect volume success!! Vol:" +
                                    other_drive.string()) != std::string::npos;
      },
      kVolumeWait));
  ASSERT_EQ(RunProcess("/usr/bin/umount", {"--lazy", other_drive.string()}).exit_code, 0);
  EXPECT_TRUE(fs::is_empty(drive));
  EXPECT_TRUE(HasContent(stick / "photos" / "a.jpg", "first"));
  EXPECT_FALSE(fs::exists(stick / "photos" / "b.jpg"));

  ASSERT_TRUE(testing_support::BindMount(stick, drive));
  ASSERT_TRUE(ArriveIn(dest, files));
  // The watch is back too, not only the full sync.
  files.insert({"after.jpg", "after the return"});
  WriteAll(src, files);
  ASSERT_TRUE(ArriveIn(dest, files));

  // Lazily unmounted in the middle of a big copy: the stick never holds a
  // part-written file or a temporary, and the copy is finished once it is back.
  const std::string big(128 << 20, 'x');
  Write(src / "big.bin", big);
  const bool mid_copy = PollUntil([&] { return TemporaryIn(stick / "photos"); });
  ASSERT_EQ(RunProcess("/usr/bin/umount", {"--lazy", drive.string()}).exit_code, 0);
  ASSERT_TRUE(PollUntil([&] { return Count(ReadFile(trace), "Close Usb OpenedFile B") == 2; },
                        kVolumeWait));
  EXPECT_TRUE(PollUntil([&] { return !TemporaryIn(stick / "photos"); })) << mid_copy;
  EXPECT_TRUE(!fs::exists(stick / "photos" / "big.bin") ||
              fs::file_size(stick / "photos" / "big.bin") == big.size());
  ASSERT_TRUE(testing_support::BindMount(stick, drive));
  files.insert({"big.bin", big});
  ASSERT_TRUE(ArriveIn(dest, files));
  EXPECT_FALSE(TemporaryIn(stick / "photos"));
  EXPECT_EQ(module_host::DeleteTask(L"photos"), 0);
}

}  // namespace
