// Connecting a destination's share: credentials, the probe, probing on the fake clock, parked
// retries and stopping.
#include "platform/share_connection.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <future>

#include "os/clock.h"
#include "os/temp_name.h"
#include "os/volumes.h"
#include "stand_in.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::PollUntil;
using testing_support::ReadFile;
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

  // Lets each probe wait run out as soon as it starts, until done() holds.
  bool DriveUntil(const std::function<bool()>& done) {
    return PollUntil(
        [&] {
          if (clock_.Waits().size() > released_) {
            ++released_;
            clock_.fake.Advance(1000ms);
          }
          return done();
        },
        20s);
  }
  template <typename T>
  T Drive(std::future<T>& result) {
    DriveUntil([&] { return result.wait_for(0s) == std::future_status::ready; });
    return result.get();
  }
  bool ProbedSixTimesASecondApart() const {
    return clock_.Waits() == std::vector<os::Duration>(6, 1000ms);
  }

  RecordingClock clock_;
  std::size_t released_ = 0;  // probe waits let run out so far
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
  // Where mount.cifs reads them; the share user replaces the account's USER.
  std::vector<std::string> credentials;
  for (const std::string& entry : program_.Environment()) {
    if (entry.starts_with("USER=") || entry.find("rm -rf") != std::string::npos) {
      credentials.push_back(entry);
    }
  }
  EXPECT_EQ(credentials,
            (std::vector<std::string>{"USER=dom\\an n\"e",
                                      "PASSWD=p w'd\"$(touch $out/pwned);`touch $out/pwned`; "
                                      "rm -rf /nonexistent\nline2\t\xC3\xA9\x80"}));
  EXPECT_FALSE(fs::exists(program_.out() / "pwned"));
  EXPECT_TRUE(fs::is_empty(dest)) << "the probe was left behind";
  for (const std::string& line : trace.Lines()) {
    EXPECT_EQ(line.find("rm -rf"), std::string::npos) << "password in the trace: " << line;
  }
}

TEST_F(ShareConnectionTest, SixFailedProbesASecondApartAndWithoutAPasswordNothingRunsOrIsParked) {
  const fs::path share = dest_.path() / "share";  // not there yet: every probe fails
  auto shares = std::make_shared<CPendingShareMap>();
  TraceCapture trace;
  auto thread = std::async(std::launch::async, [&] {
    return ConnectShareThread(std::make_unique<ShareConnectParam>(
        ShareConnectParam{shares, share.wstring() + L"/", L"user", L""}));
  });
  EXPECT_EQ(Drive(thread), 1u);
  EXPECT_TRUE(ProbedSixTimesASecondApart());
  EXPECT_FALSE(trace.Contains(">> CProcessStarter::Run"));
  EXPECT_EQ(shares->Size(), 0u);

  fs::create_directory(share);
  EXPECT_TRUE(ConnectShare(share.wstring() + L"/", L"", L""));
  EXPECT_TRUE(fs::is_empty(share)) << "the probe was left behind";
}

// What inotify reports as created in dir while action runs.
std::vector<std::string> NamesCreatedDuring(const fs::path& dir,
                                            const std::function<void()>& action) {
  const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(::inotify_add_watch(fd, dir.c_str(), IN_CREATE), 0);
  action();
  std::vector<std::string> names;
  alignas(inotify_event) char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
    for (const char* at = buffer; at < buffer + n;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      names.emplace_back(event->name);
      at += sizeof(inotify_event) + event->len;
    }
  }
  ::close(fd);
  return names;
}

TEST_F(ShareConnectionTest, TheProbeLeavesEverythingAtTheDestinationAsItWasAndIsNeverReported) {
  TempDir outside;
  const fs::path target = outside.path() / "target";
  const fs::path absent = outside.path() / "absent";
  std::ofstream(target) << "outside";
  // "detect" is where the probe once went: a user's file, or a link planted there.
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> plant;
  };
  const Case cases[] = {
      {"an empty destination", [](const fs::path&) {}},
      {"a user's detect file", [](const fs::path& at) { std::ofstream(at) << "mine"; }},
      {"a detect link to a file outside",
       [&](const fs::path& at) { fs::create_symlink(target, at); }},
      {"a dangling detect link", [&](const fs::path& at) { fs::create_symlink(absent, at); }},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = dest_.path() / std::to_string(++n);
    fs::create_directory(dir);
    c.plant(dir / "detect");
    const bool planted = fs::exists(fs::symlink_status(dir / "detect"));
    const auto before = fs::symlink_status(dir / "detect").type();

    const auto created = NamesCreatedDuring(dir, [&] {
      auto probed =
          std::async(std::launch::async, [&] { return ConnectShare(dir.wstring(), L"", L""); });
      EXPECT_TRUE(Drive(probed));
    });
    EXPECT_FALSE(created.empty()) << "no probe was made";
    for (const std::string& name : created) {
      EXPECT_TRUE(os::IsTempName(name)) << name;
    }

    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir)) left.push_back(entry.path().filename());
    EXPECT_EQ(left, planted ? std::vector<std::string>{"detect"} : std::vector<std::string>{});
    EXPECT_EQ(fs::symlink_status(dir / "detect").type(), before);
    if (before == fs::file_type::regular) {
      EXPECT_EQ(ReadFile(dir / "detect"), "mine");
    }
    EXPECT_EQ(ReadFile(target), "outside");
    EXPECT_FALSE(fs::exists(fs::symlink_status(absent)));
  }
}

TEST_F(ShareConnectionTest, StoppingCutsTheProbeWaitShortJoinsTheThreadsAndAllowsANewStart) {
  const std::wstring missing = dest_.wstr() + L"/missing";
  auto shares = std::make_shared<CPendingShareMap>();
  auto param = [&](const wchar_t* user, const wchar_t* password) {
    return std::make_unique<ShareConnectParam>(ShareConnectParam{shares, missing, user, password});
  };
  ShareConnectThreads threads;
  threads.Start(param(L"", L""));
  ASSERT_TRUE(PollUntil([&] { return clock_.Waits().size() == 1; }));
  auto stop = std::async(std::launch::async, [&] { threads.StopAll(); });
  const bool cut_short = stop.wait_for(5s) == std::future_status::ready;
  EXPECT_TRUE(cut_short) << "the stop waited for the probe's wait to run out";
  if (!cut_short) Drive(stop);
  EXPECT_EQ(clock_.Waits().size(), 1u);
  EXPECT_EQ(clock_.fake.TimedWaiters(), 0u);

  // A new start probes in full again, and parks its failure.
  threads.Start(param(L"u", L"p"));
  EXPECT_TRUE(DriveUntil([&] { return shares->Contains(missing); }));
  EXPECT_EQ(clock_.Waits(), std::vector<os::Duration>(7, 1000ms));
  EXPECT_TRUE(program_.WaitForCalls(1));
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
  shares->Store(L"//server/share/sub/dir", L"u", L"p");
  ConnectPendingShare(*shares, L"//server/share/sub/dir");
  EXPECT_EQ(program_.Args(), std::vector<std::string>{"//server/share"});  // as fstab names it

  // A retry connects the share of the destination, and only with both credentials.
  shares->Store(L"/mnt/nas/backup", L"u", L"");
  ConnectPendingShare(*shares, L"/mnt/nas/backup/");
  EXPECT_FALSE(shares->Contains(L"/mnt/nas/backup"));
  EXPECT_EQ(program_.Calls(), 3);
  shares->Store(L"/mnt/nas/backup", L"u", L"p");
  ConnectPendingShare(*shares, L"/mnt/nas/backup/");
  EXPECT_EQ(program_.Calls(), 4);
  EXPECT_EQ(program_.Args(), std::vector<std::string>{"/mnt/nas"});
}

}  // namespace
