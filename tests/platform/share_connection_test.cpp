// Connecting a destination's share: credentials, probing on the fake clock, and parked retries.
#include "platform/share_connection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>

#include "os/clock.h"
#include "os/volumes.h"
#include "stand_in.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using testing_support::SeatUsers;
using testing_support::StandIn;
using testing_support::TempDir;
using testing_support::TraceCapture;

// A fake clock that also records how long each wait on it was meant to last.
class RecordingClock final : public os::Clock {
 public:
  os::TimePoint Now() const override { return fake.Now(); }
  bool WaitUntil(const std::shared_ptr<os::WaitPoint>& point, std::unique_lock<std::mutex>& lock,
                 os::TimePoint deadline, const std::function<bool()>& ready) override {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      waits_.push_back(deadline - fake.Now());
    }
    return fake.WaitUntil(point, lock, deadline, ready);
  }
  std::vector<os::Duration> Waits() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waits_;
  }

  os::FakeClock fake;

 private:
  mutable std::mutex mutex_;
  std::vector<os::Duration> waits_;
};

class ShareConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::SetClock(&clock_);
    std::ofstream(mountinfo_.path() / "mountinfo")
        << "1 0 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n";
    os::SetVolumeSourcesForTest((mountinfo_.path() / "mountinfo").string(), "");
    SetShareProgram(program_.script().wstring());
  }
  void TearDown() override {
    SetShareProgram(L"");
    os::SetVolumeSourcesForTest("", "");
    os::SetClock(nullptr);
  }

  // Lets each probe wait run out as soon as it starts, until result is ready.
  template <typename T>
  T Drive(std::future<T>& result) {
    std::size_t released = 0;
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (result.wait_for(1ms) != std::future_status::ready &&
           std::chrono::steady_clock::now() < give_up) {
      if (clock_.Waits().size() > released) {
        ++released;
        clock_.fake.Advance(1000ms);
      }
    }
    return result.get();
  }
  bool ProbedSixTimesASecondApart() const {
    return clock_.Waits() == std::vector<os::Duration>(6, 1000ms);
  }

  RecordingClock clock_;
  TempDir mountinfo_;
  SeatUsers seat_{SeatUsers::Only(::getuid())};
  StandIn program_{"sleep 0.2"};
  TempDir dest_;
};

TEST_F(ShareConnectionTest, CredentialsReachTheProgramByteForByteAndOnlyInItsEnvironment) {
  const auto dest = dest_.path() / "it's a \"dest\" dir";
  std::filesystem::create_directory(dest);
  const std::wstring password = std::wstring(L"p w'd\"$(touch $out/pwned);`touch $out/pwned`; ") +
                                L"rm -rf /nonexistent\nline2\t\u00e9" + wchar_t(0xDC80);
  TraceCapture trace;

  EXPECT_TRUE(ConnectShare(dest.wstring(), password, L"dom\\an n\"e"));
  EXPECT_TRUE(clock_.Waits().empty());
  ASSERT_TRUE(program_.WaitForCalls(1));

  EXPECT_EQ(program_.Args(), std::vector<std::string>{dest.string()});
  const auto env = program_.Environment();
  EXPECT_NE(std::find(env.begin(), env.end(), "STRANDEL_SHARE_USER=dom\\an n\"e"), env.end());
  EXPECT_NE(std::find(env.begin(), env.end(),
                      "STRANDEL_SHARE_PASSWORD=p w'd\"$(touch $out/pwned);`touch $out/pwned`; "
                      "rm -rf /nonexistent\nline2\t\xC3\xA9\x80"),
            env.end());
  EXPECT_FALSE(std::filesystem::exists(program_.out() / "pwned"));
  EXPECT_FALSE(std::filesystem::exists(dest / "detect"));
  for (const std::string& line : trace.Lines()) {
    EXPECT_EQ(line.find("rm -rf"), std::string::npos) << "password in the trace: " << line;
  }
}

TEST_F(ShareConnectionTest, SixFailedProbesASecondApartAndWithoutAPasswordNothingRunsOrIsParked) {
  // A directory of that name makes every probe fail: only the probe name can
  // collide with it.
  std::filesystem::create_directory(dest_.path() / "detect");
  auto shares = std::make_shared<CPendingShareMap>();
  TraceCapture trace;
  auto thread = std::async(std::launch::async, [&] {
    return ConnectShareThread(std::make_unique<ShareConnectParam>(
        ShareConnectParam{shares, dest_.wstr() + L"/", L"user", L""}));
  });
  EXPECT_EQ(Drive(thread), 1u);
  EXPECT_TRUE(ProbedSixTimesASecondApart());
  EXPECT_FALSE(trace.Contains(">> CProcessStarter::Run"));
  EXPECT_EQ(shares->Size(), 0u);

  std::filesystem::remove(dest_.path() / "detect");
  EXPECT_TRUE(ConnectShare(dest_.wstr(), L"", L""));
  EXPECT_FALSE(std::filesystem::exists(dest_.path() / "detect"));
}

TEST_F(ShareConnectionTest, FailedConnectionIsParkedAndRetriedOnceWaitingForTheProgram) {
  auto shares = std::make_shared<CPendingShareMap>();
  auto thread = std::async(std::launch::async, [&] {
    return ConnectShareThread(std::make_unique<ShareConnectParam>(
        ShareConnectParam{shares, L"//server/share/", L"u", L"p"}));
  });
  EXPECT_EQ(Drive(thread), 1u);
  EXPECT_TRUE(ProbedSixTimesASecondApart());
  ASSERT_TRUE(program_.WaitForCalls(1));
  EXPECT_EQ(program_.Args(), std::vector<std::string>{"//server/share"});
  EXPECT_TRUE(shares->Contains(L"//server/share"));

  ConnectPendingShare(*shares, L"//server/share/");
  EXPECT_EQ(program_.Calls(), 2) << "the retry did not wait for the program";
  EXPECT_EQ(shares->Size(), 0u);
  ConnectPendingShare(*shares, L"//server/share");  // once only
  EXPECT_EQ(program_.Calls(), 2);

  // A retry connects the share of the destination, and only with both credentials.
  shares->Store(L"/mnt/nas/backup", L"u", L"");
  ConnectPendingShare(*shares, L"/mnt/nas/backup/");
  EXPECT_FALSE(shares->Contains(L"/mnt/nas/backup"));
  EXPECT_EQ(program_.Calls(), 2);
  shares->Store(L"/mnt/nas/backup", L"u", L"p");
  ConnectPendingShare(*shares, L"/mnt/nas/backup/");
  EXPECT_EQ(program_.Calls(), 3);
  EXPECT_EQ(program_.Args(), std::vector<std::string>{"/mnt/nas"});
}

}  // namespace
