#include "platform/process_starter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <latch>
#include <thread>

#include "os/clock.h"
#include "os/process.h"
#include "os/text.h"
#include "os/thread_identity.h"
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

// True when every needle occurs in lines, in this order.
bool InOrder(const std::vector<std::string>& lines, const std::vector<std::string>& needles) {
  std::size_t next = 0;
  for (const std::string& line : lines) {
    if (next < needles.size() && line.find(needles[next]) != std::string::npos) ++next;
  }
  return next == needles.size();
}

std::string Owner(const std::filesystem::path& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return "missing";
  return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

bool CanRead(const std::filesystem::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

bool Create(const std::filesystem::path& path) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

TEST(CommandLine, SplitsByTheRuntimeQuotingRules) {
  const std::vector<std::pair<std::wstring, std::vector<std::wstring>>> cases = {
      {L"\"/opt/my tools/binhaul\" /path \"/home/u/a b.txt\" ",
       {L"/opt/my tools/binhaul", L"/path", L"/home/u/a b.txt"}},
      {L"  a\t\tb  ", {L"a", L"b"}},
      {L"a \"\" b", {L"a", L"", L"b"}},
      {L"say \\\"hi\\\"", {L"say", L"\"hi\""}},
      {L"a\\\\b \\\\\\\\\"x y\"", {L"a\\\\b", L"\\\\x y"}},
      {L"\"one \"\"quoted\"\" word\"", {L"one \"quoted\" word"}},
      {L"open\"ended arg", {L"openended arg"}},
      {L"", {}},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(os::SplitCommandLine(line), expected) << os::ToUtf8(line);
  }
}

TEST(CommandLine, JoinedArgumentsSplitBackToThemselves) {
  const std::vector<std::wstring> args = {L"plain",      L"",
                                          L"two words",  L"q\"uote",
                                          L"trailing\\", L"\\\\server\\share\\",
                                          L"tab\there",  L"$(touch x); rm -rf / \n",
                                          L"\\\"",       std::wstring(L"\u00e9") + wchar_t(0xDC80)};
  EXPECT_EQ(os::SplitCommandLine(os::JoinCommandLine(args)), args);
}

TEST(ProcessStarter, WithNobodyActiveRunFailsThroughTheTraceChain) {
  SeatUsers seat(SeatUsers::NoneActive());
  TraceCapture trace;
  EXPECT_FALSE(CProcessStarter::Run(L"/bin/true", FALSE, TRUE));
  EXPECT_TRUE(InOrder(trace.Lines(),
                      {">> CProcessStarter::Run", ">> CProcessStarter::GetCurrentUserToken()",
                       ">> CProcessStarter::FindActiveSessionId()",
                       "break 1 CProcessStarter::FindActiveSessionId()",
                       "bFindActiveSession = [FALSE], dwSessionId = -1",
                       "break 0 CProcessStarter::GetCurrentUserToken()",
                       "break 1 CProcessStarter::Run", "<< CProcessStarter::Run, bRc = [FALSE]"}));
  EXPECT_FALSE(trace.Contains("command = ["));

  seat.Set(SeatUsers::Unlistable());
  TraceCapture unlistable;
  EXPECT_FALSE(CProcessStarter::Run(L"/bin/true", FALSE, TRUE));
  EXPECT_TRUE(InOrder(unlistable.Lines(), {"break 0 CProcessStarter::FindActiveSessionId()",
                                           "break 0 CProcessStarter::GetCurrentUserToken()",
                                           "break 1 CProcessStarter::Run"}));
}

TEST(ProcessStarter, RealSessionServiceWithNobodyAtTheSeatFails) {
  REQUIRE_ROOT();
  if (std::filesystem::exists("/run/systemd/seats/seat0"))
    GTEST_SKIP() << "this machine has a seat";
  TraceCapture trace;
  EXPECT_FALSE(CProcessStarter::Run(L"/bin/true", FALSE, TRUE));
  EXPECT_TRUE(trace.Contains("break 1 CProcessStarter::FindActiveSessionId()") ||
              trace.Contains("break 0 CProcessStarter::FindActiveSessionId()"));
  EXPECT_TRUE(trace.Contains("break 1 CProcessStarter::Run"));
}

TEST(ProcessStarter, FirstActiveSessionInListOrderIsTheConsoleUser) {
  SeatUsers seat([] {
    return std::vector<os::Session>{{3, false, 0}, {8, true, ::getuid()}, {9, true, kNobody}};
  });
  TraceCapture trace;
  DWORD id = 0;
  EXPECT_TRUE(CProcessStarter::FindActiveSessionId(id, TRUE));
  EXPECT_EQ(id, 8u);
  EXPECT_TRUE(trace.Contains("bFindActiveSession = [TRUE], dwSessionId = 8"));
  const UserTokenHandle token = CProcessStarter::GetCurrentUserToken();
  ASSERT_TRUE(token);
  EXPECT_EQ(token->uid, ::getuid());
}

TEST(WtsApiLoader, ReportsAMissingLibraryAndAMissingEntryPoint) {
  REQUIRE_ROOT();  // only root loads the session library
  struct Restore {
    ~Restore() { os::SetSessionLibraryNameForTest(""); }
  } restore;
  {
    os::SetSessionLibraryNameForTest("libstrandel-absent.so.0");
    CActiveUserImpersonation::ResetCachedTokenForTest();
    TraceCapture trace;
    CWtsApiLoader loader;
    EXPECT_EQ(loader.GetActiveConsoleSessionId(), 0xFFFFFFFFu);
    EXPECT_FALSE(loader.QueryUserToken(1));
    EXPECT_TRUE(trace.Contains("m_hWtsApiDLL is null"));
    DWORD id = 0;
    EXPECT_FALSE(CProcessStarter::FindActiveSessionId(id, TRUE));
    EXPECT_TRUE(trace.Contains("break 0 CProcessStarter::FindActiveSessionId()"));
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), 0u);
  }
  {
    os::SetSessionLibraryNameForTest("libc.so.6");
    TraceCapture trace;
    CWtsApiLoader loader;
    EXPECT_EQ(loader.GetActiveConsoleSessionId(), 0xFFFFFFFFu);
    EXPECT_FALSE(loader.QueryUserToken(1));
    EXPECT_TRUE(trace.Contains("get WTSQueryUserToken failed"));
  }
}

TEST(WtsApiLoader, QueriesTheUserOfAnActiveSessionOnly) {
  SeatUsers seat([] {
    return std::vector<os::Session>{{4, false, ::getuid()}, {5, true, ::getuid()}};
  });
  CWtsApiLoader loader;
  EXPECT_EQ(loader.GetActiveConsoleSessionId(), 5u);
  const UserTokenHandle token = loader.QueryUserToken(5);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->uid, ::getuid());
  TraceCapture trace;
  EXPECT_FALSE(loader.QueryUserToken(4));
  EXPECT_TRUE(trace.Contains("QueryUserToken failed:0x000003F0"));
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

  TraceCapture trace;
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
  EXPECT_TRUE(trace.Contains("command = [" + os::ToUtf8(command) + "]"));
  EXPECT_TRUE(InOrder(trace.Lines(), {"CreateProcessAsUserA = TRUE", "bRc = [TRUE]"}));
}

TEST(ProcessStarter, WithoutWaitingReturnsWhileTheProgramRunsAndLeavesNoChild) {
  SeatUsers seat(SeatUsers::Only(::getuid()));
  StandIn program("while [ ! -e \"$out/go\" ]; do sleep 0.01; done");
  EXPECT_TRUE(CProcessStarter::Run(program.script().wstring(), FALSE, FALSE));
  EXPECT_EQ(program.Calls(), 0);
  Create(program.out() / "go");
  EXPECT_TRUE(program.WaitForCalls(1));
  int status = 0;
  EXPECT_EQ(::waitpid(-1, &status, WNOHANG), -1) << "a child was left to reap";
}

TEST(ProcessStarter, ProgramThatCannotBeExecutedIsNotStarted) {
  SeatUsers seat(SeatUsers::Only(::getuid()));
  StandIn program;
  ::chmod(program.script().c_str(), 0644);
  for (const std::wstring& command :
       {std::wstring(L"/nonexistent/program"), program.script().wstring(), std::wstring(L"  ")}) {
    TraceCapture trace;
    EXPECT_FALSE(CProcessStarter::Run(command, FALSE, TRUE)) << os::ToUtf8(command);
    EXPECT_TRUE(trace.Contains("<< CProcessStarter::Run, bRc = [FALSE]"));
  }
  EXPECT_EQ(program.Calls(), 0);
}

TEST(ProcessStarter, OutputIsShownOnlyWithAWindow) {
  SeatUsers seat(SeatUsers::Only(::getuid()));
  StandIn program("echo shown");
  TempDir dir;
  const auto captured = dir.path() / "stdout";
  std::fflush(stdout);
  const int saved = ::dup(1);
  const int file = ::open(captured.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ::dup2(file, 1);
  const BOOL hidden = CProcessStarter::Run(program.script().wstring(), FALSE, TRUE);
  const std::string after_hidden = ReadFile(captured);
  const BOOL shown = CProcessStarter::Run(program.script().wstring(), TRUE, TRUE);
  ::dup2(saved, 1);
  ::close(saved);
  ::close(file);
  EXPECT_TRUE(hidden);
  EXPECT_TRUE(shown);
  EXPECT_EQ(after_hidden, "");
  EXPECT_EQ(ReadFile(captured), "shown\n");
}

TEST(Privilege, EnabledOnlyWhenTheThreadMayHoldIt) {
  REQUIRE_ROOT();
  EXPECT_TRUE(EnablePrivilege(L"SeTcbPrivilege"));
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege"));
  // Capabilities belong to a thread: drop CAP_SETUID from one and ask there.
  BOOL without = TRUE;
  std::thread([&] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    ::syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1u << CAP_SETUID);
    data[0].permitted &= ~(1u << CAP_SETUID);
    ASSERT_EQ(::syscall(SYS_capset, &header, data), 0);
    without = EnablePrivilege(L"SeTcbPrivilege");
  }).join();
  EXPECT_FALSE(without);
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
  ASSERT_TRUE(Create(secret));
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
      Create(dir_.path() / "inside");
      secret_readable_inside = CanRead(secret);
      groups_inside = os::CurrentGroups();
      impersonating.count_down();
      other_thread_done.wait();
    }
    Create(dir_.path() / "after");
    secret_readable_after = CanRead(secret);
  });
  impersonating.wait();
  Create(dir_.path() / "meanwhile");
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
  EXPECT_EQ(os::CurrentFsUid(), 0u);
}

TEST_F(ImpersonationTest, NoUserMeansNoImpersonationAndTheFirstUserFoundStays) {
  os::FakeClock clock;
  os::SetClock(&clock);
  seat_.Set(SeatUsers::NoneActive());
  {
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), 0u);
  }
  os::SetSessionSourceForTest(SeatUsers::Only(kNobody));  // logs on; cache still empty
  {
    // Nobody was found a moment ago: the session manager is not asked again yet.
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), 0u);
  }
  clock.Advance(std::chrono::seconds(5));
  {
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), kNobody);
    {
      CActiveUserImpersonation nested;
      EXPECT_EQ(os::CurrentFsUid(), kNobody);
    }
    EXPECT_EQ(os::CurrentFsUid(), kNobody);
  }
  EXPECT_EQ(os::CurrentFsUid(), 0u);
  os::SetSessionSourceForTest(SeatUsers::Only(1));  // another user; the token is kept
  clock.Advance(std::chrono::seconds(5));
  {
    CActiveUserImpersonation impersonation;
    EXPECT_EQ(os::CurrentFsUid(), kNobody);
  }
  os::SetClock(nullptr);
}

}  // namespace
