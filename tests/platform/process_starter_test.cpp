// Starting programs as the console user, finding that user, and acting as them on one thread.
#include "platform/process_starter.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <latch>
#include <thread>

#include "os/process.h"
#include "os/thread_identity.h"
#include "platform/console_user.h"
#include "stand_in.h"
#include "test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::SeatUsers;
using testing_support::StandIn;
using testing_support::TempDir;
using testing_support::TraceCapture;

constexpr uid_t kNobody = 65534;

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user"

std::string Owner(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

bool Opens(const std::filesystem::path& path, const char* mode) {
  std::FILE* f = std::fopen(path.c_str(), mode);
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

TEST(ProcessStarter, TheFirstActiveSessionIsTheConsoleUserAndWithoutOneNothingRuns) {
  SeatUsers seat([] {
    return std::vector<os::Session>{{4, false, 0}, {8, true, ::getuid()}, {9, true, kNobody}};
  });
  DWORD id = 0;
  EXPECT_TRUE(CProcessStarter::FindActiveSessionId(id, FALSE));
  EXPECT_EQ(id, 8u);
  CWtsApiLoader loader;
  EXPECT_EQ(loader.GetActiveConsoleSessionId(), 8u);
  ASSERT_TRUE(loader.QueryUserToken(8));
  EXPECT_EQ(loader.QueryUserToken(8)->uid, ::getuid());
  EXPECT_FALSE(loader.QueryUserToken(4));  // not active

  seat.Set(SeatUsers::NoneActive());
  TraceCapture trace;
  EXPECT_FALSE(CProcessStarter::Run(L"/bin/true", FALSE, TRUE));
  EXPECT_TRUE(trace.Contains("break 1 CProcessStarter::FindActiveSessionId()"));
  EXPECT_TRUE(trace.Contains("<< CProcessStarter::Run, bRc = [FALSE]"));
  EXPECT_FALSE(trace.Contains("command = ["));
}

TEST(ProcessStarter, RunsTheProgramAsTheSeatUserWithOnlyTheAccountEnvironment) {
  REQUIRE_ROOT();
  SeatUsers seat(SeatUsers::Only(kNobody));
  TempDir host;
  const auto host_file = host.path() / "host-private";
  const int leaked = ::open(host_file.c_str(), O_CREAT | O_WRONLY, 0600);  // not close-on-exec
  ASSERT_GE(leaked, 0);
  ::setenv("STRANDEL_HOST_ONLY", "1", 1);
  StandIn program("readlink /proc/$$/fd/" + std::to_string(leaked) + " > \"$out/inherited\"");

  const std::wstring command =
      os::JoinCommandLine({program.script().wstring(), L"a b", L"", L"c\"d"});
  EXPECT_TRUE(CProcessStarter::Run(command, FALSE, TRUE));
  ::unsetenv("STRANDEL_HOST_ONLY");
  ::close(leaked);

  EXPECT_EQ(program.Calls(), 1) << "Run returned before the program ended";
  EXPECT_EQ(program.Args(), (std::vector<std::string>{"a b", "", "c\"d"}));
  EXPECT_EQ(program.Status("Uid"), "65534\t65534\t65534\t65534");
  EXPECT_EQ(program.Status("Gid"), "65534\t65534\t65534\t65534");
  EXPECT_EQ(program.Status("Groups"), "65534 ");
  const passwd* nobody = ::getpwuid(kNobody);
  ASSERT_NE(nobody, nullptr);
  std::vector<std::string> expected = {
      std::string("HOME=") + nobody->pw_dir, std::string("USER=") + nobody->pw_name,
      std::string("LOGNAME=") + nobody->pw_name, std::string("SHELL=") + nobody->pw_shell,
      "PATH=/usr/local/bin:/usr/bin:/bin"};
  if (std::filesystem::is_directory("/run/user/65534")) {
    expected.push_back("XDG_RUNTIME_DIR=/run/user/65534");
  }
  EXPECT_EQ(program.Environment(), expected);
  EXPECT_EQ(ReadFile(program.out() / "inherited").find(host_file.string()), std::string::npos);
}

// A module that is not root starts programs as itself, with the group it was
// started with (a service's Group=), which need not be its account's primary
// group; a token of anyone else is refused rather than run as itself.
TEST(ProcessStarter, AModuleThatIsNotRootStartsProgramsAsItself) {
  REQUIRE_ROOT();  // to drop a child to another user
  constexpr gid_t kServiceGroup = 4242;
  StandIn program;
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const gid_t groups[] = {kServiceGroup};
    if (::setgroups(1, groups) != 0 || ::setgid(kServiceGroup) != 0 || ::setuid(kNobody) != 0) {
      ::_exit(3);
    }
    const bool ran = CProcessStarter::Run(program.script().wstring(), FALSE, TRUE);
    const auto root = os::TokenForUid(0);
    const bool as_root = root && os::StartProcess(*root, {"/bin/true"}, {}).started;
    ::_exit(!ran ? 1 : as_root ? 2 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not drop, 1: not started, 2: ran as root";
  EXPECT_EQ(program.Calls(), 1);
  EXPECT_EQ(program.Status("Uid"), "65534\t65534\t65534\t65534");
  EXPECT_EQ(program.Status("Gid"), "4242\t4242\t4242\t4242");
  EXPECT_EQ(program.Status("Groups"), "4242 ");
}

class ImpersonationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ::chmod(dir_.str().c_str(), 0777);
  }
  SeatUsers seat_{SeatUsers::Only(kNobody)};
  TempDir dir_;
};

TEST_F(ImpersonationTest, OnlyTheScopedThreadActsAsTheUserAndOnlyWhileTheScopeLives) {
  const auto secret = dir_.path() / "root-only";
  ASSERT_TRUE(Opens(secret, "w"));
  ::chmod(secret.c_str(), 0600);
  const std::vector<gid_t> groups_before = os::CurrentGroups();
  std::latch impersonating(1);
  std::latch other_thread_done(1);
  bool secret_readable_inside = true;
  bool secret_readable_after = false;
  std::vector<gid_t> groups_inside;
  std::thread worker([&] {
    {
      CActiveUserImpersonation impersonation;
      Opens(dir_.path() / "inside", "w");
      secret_readable_inside = Opens(secret, "r");
      groups_inside = os::CurrentGroups();
      impersonating.count_down();
      other_thread_done.wait();
    }
    Opens(dir_.path() / "after", "w");
    secret_readable_after = Opens(secret, "r");
  });
  impersonating.wait();
  Opens(dir_.path() / "meanwhile", "w");
  const std::vector<gid_t> groups_meanwhile = os::CurrentGroups();
  other_thread_done.count_down();
  worker.join();

  EXPECT_EQ(Owner(dir_.path() / "inside"), "65534:65534");
  EXPECT_EQ(Owner(dir_.path() / "meanwhile"), "0:0");
  EXPECT_EQ(Owner(dir_.path() / "after"), "0:0");
  EXPECT_FALSE(secret_readable_inside) << "the impersonating thread kept root's file permissions";
  EXPECT_TRUE(secret_readable_after);
  EXPECT_EQ(groups_inside, std::vector<gid_t>{65534});
  EXPECT_EQ(groups_meanwhile, groups_before);
  EXPECT_EQ(os::CurrentGroups(), groups_before);
}

// Impersonation and the Trash helper share one answer to "who is at the
// console", and it follows the seat: a logon, a switch to another user and a
// logoff each count from the next call.
TEST_F(ImpersonationTest, TheConsoleUserFollowsTheSeat) {
  constexpr uid_t kDaemon = 1;
  seat_.Set(SeatUsers::NoneActive());
  auto impersonated_uid = [] {
    CActiveUserImpersonation impersonation;
    return os::CurrentFsUid();
  };
  EXPECT_EQ(impersonated_uid(), 0u);
  EXPECT_EQ(CurrentConsoleUser(), nullptr);

  os::SetSessionSourceForTest(SeatUsers::Only(kNobody));  // logs on
  {
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), kNobody);
    EXPECT_EQ(impersonated_uid(), kNobody);  // nested
    EXPECT_EQ(os::CurrentFsUid(), kNobody);
  }
  EXPECT_EQ(os::CurrentFsUid(), 0u);
  const auto first = CurrentConsoleUser();
  EXPECT_EQ(CurrentConsoleUser(), first) << "the same user's account is looked up once";

  os::SetSessionSourceForTest(SeatUsers::Only(kDaemon));  // another user takes the seat
  EXPECT_EQ(impersonated_uid(), kDaemon);
  ASSERT_NE(CurrentConsoleUser(), nullptr);
  EXPECT_EQ(CurrentConsoleUser()->uid, kDaemon);

  os::SetSessionSourceForTest(SeatUsers::NoneActive());  // logs off
  EXPECT_EQ(impersonated_uid(), 0u);
  EXPECT_EQ(CurrentConsoleUser(), nullptr);
}

}  // namespace
