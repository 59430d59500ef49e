// Tasks on a removable volume, as the strandel program tells them: list and
// show say when a task waits for its volume, and run says when a volume
// arrives or leaves and when its tasks resume. Volumes are mounted in a child
// inside its own user and mount namespaces, with sysfs made to call them USB.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"

namespace {

using namespace cli_testing;  // NOLINT(build/namespaces): the fixture's shared names

TEST(CliVolume, TasksOnAVolumeThatComesAndGoesAreToldAndWaitFor) {
  const auto run = testing_support::RunTestsInMountNamespace("CliVolumeInside.DISABLED_*", {},
                                                             std::chrono::seconds(120));
  if (run.refused) GTEST_SKIP() << "no unprivileged mount namespace here: " << run.process.output;
  EXPECT_TRUE(run.AllPassed(1)) << run.process.output;
}

class CliVolumeInside : public CliTest {
 protected:
  const fs::path stick_ = dir_.path() / "stick";  // the volume, wherever it is mounted
  const fs::path drive_ = "/mnt/My Stick";
  const fs::path dest_ = drive_ / "photos";
};

TEST_F(CliVolumeInside, DISABLED_TasksWaitForTheirVolumeAndResumeWithIt) {
  ASSERT_TRUE(testing_support::MountTmpfs("/mnt"));
  fs::create_directories(drive_);
  fs::create_directories(stick_);
  ASSERT_TRUE(testing_support::MountFakeUsbVolume(stick_, "sdz1"));
  fs::create_directories(stick_ / "photos");
  ASSERT_EQ(Strandel({"add", "photos", src_.string(), dest_.string(), "--usb"}).exit_code, 0);
  ASSERT_EQ(Strandel({"add", "docs", other_.string(), dst_.string()}).exit_code, 0);

  // Without a daemon, too, the task is seen to wait.
  const auto listed = Strandel({"list"});
  EXPECT_TRUE(Has(listed, "waits for /mnt/My Stick")) << listed.output;
  const auto shown = Strandel({"show", "photos"});
  EXPECT_TRUE(Has(shown, "volume:          /mnt/My Stick (not mounted: the task waits for it)"))
      << shown.output;
  const auto docs = Strandel({"show", "docs"});
  EXPECT_FALSE(Has(docs, "volume:")) << docs.output;
  const auto json = nlohmann::json::parse(Strandel({"list", "--json"}).output);
  EXPECT_EQ(json[1]["waits_for_volumes"], nlohmann::json::array()) << json.dump();
  EXPECT_EQ(json[0]["waits_for_volumes"], nlohmann::json({"/mnt/My Stick"})) << json.dump();

  std::ofstream(src_ / "a.jpg") << "first";
  Daemon daemon(data_, dir_.path() / "daemon.out");
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
  ASSERT_TRUE(testing_support::BindMount(stick_, drive_));
  EXPECT_TRUE(PollUntil([&] {
    return daemon.Output().find(
               "strandel: volume /mnt/My Stick arrived\n"
               "strandel: task photos resumes\n") != std::string::npos;
  })) << daemon.Output();
  ASSERT_TRUE(PollUntil([&] { return ReadFile(stick_ / "photos" / "a.jpg") == "first"; },
                        std::chrono::seconds(30)))
      << daemon.Output();
  EXPECT_TRUE(Has(Strandel({"show", "photos"}), "volume:          /mnt/My Stick (mounted)"));

  ASSERT_EQ(testing_support::RunProcess("/usr/bin/umount", {drive_.string()}).exit_code, 0);
  EXPECT_TRUE(PollUntil([&] {
    return daemon.Output().find(
               "strandel: volume /mnt/My Stick left\n"
               "strandel: task photos waits for /mnt/My Stick\n") != std::string::npos;
  })) << daemon.Output();
  EXPECT_TRUE(Has(Strandel({"list"}), "waits for /mnt/My Stick"));
  std::ofstream(src_ / "b.jpg") << "while away";
  ASSERT_TRUE(testing_support::BindMount(stick_, drive_));
  EXPECT_TRUE(PollUntil([&] { return ReadFile(stick_ / "photos" / "b.jpg") == "while away"; },
                        std::chrono::seconds(30)))
      << daemon.Output();
  EXPECT_EQ(daemon.Stop(), 0);
}

}  // namespace
