// The strandel program end to end: its commands on temporary data
// directories, their words and exit statuses, and the daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli_fixture.h"

namespace {

using namespace cli_testing;  // NOLINT(build/namespaces): the fixture's shared names

TEST_F(CliTest, TasksAreAddedListedShownEditedAndRemoved) {
  // Relative paths are taken from the caller's directory.
  const auto added = Strandel({"add", "docs", "src", "dst", "--exclude", "*.tmp", "--on-delete",
                               "trash", "--every", "1h30m"},
                              dir_.str());
  ASSERT_EQ(added.exit_code, 0) << added.output;
  const std::string index = Trimmed(added.output);
  EXPECT_GE(std::stol(index), 20000);
  struct stat st;
  ASSERT_EQ(::stat(data_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  const auto table = Strandel({"list"});
  EXPECT_EQ(table.exit_code, 0);
  for (const std::string& cell :
       std::vector<std::string>{"NAME", "docs", index, src_.string(), dst_.string(), "one-way",
                                "-*.tmp", "delete=trash", "realtime, every 1h30m"}) {
    EXPECT_TRUE(Has(table, cell)) << cell << " missing from\n" << table.output;
  }

  // A share password goes in through standard input and never comes out.
  const auto edited = Shell("printf 'pa55word\\n' | \"$0\" --data-dir '" + data_.string() +
                            "' edit docs --two-way --every off --share-user alice "
                            "--share-password-stdin");
  ASSERT_EQ(edited.exit_code, 0) << edited.output;
  const auto json = Strandel({"list", "--json"});
  ASSERT_EQ(json.exit_code, 0);
  const auto tasks = nlohmann::json::parse(json.output);
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0]["index"].get<long>(), std::stol(index));  // edit keeps the index
  EXPECT_EQ(tasks[0]["direction"], "two-way");
  EXPECT_EQ(tasks[0]["every_seconds"], 0);
  EXPECT_EQ(tasks[0]["exclude"], "*.tmp");
  EXPECT_EQ(tasks[0]["on_delete"], "trash");
  EXPECT_EQ(tasks[0]["share_user"], "alice");
  EXPECT_EQ(tasks[0]["share_password_set"], true);
  const auto shown = Strandel({"show", "docs"});
  EXPECT_TRUE(Has(shown, "share password:  (set)")) << shown.output;
  EXPECT_FALSE(Has(shown, "pa55word") || Has(json, "pa55word"));

  EXPECT_EQ(Strandel({"remove", "docs"}).exit_code, 0);
  const auto again = Strandel({"remove", "docs"});
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_TRUE(Has(again, "no task named 'docs'"));
  EXPECT_EQ(nlohmann::json::parse(Strandel({"list", "--json"}).output).size(), 0u);
}

}  // namespace

namespace cli_testing {

// The refusals and their words, the same whether the task store or a running
// daemon carries the command out; "docs" (src_ -> dst_) exists.
void CliTest::ExpectRefusals() {
  fs::create_directories(dst_);  // the source of the task below
  const auto feed = Strandel({"add", "back", dst_.string(), (src_ / "in").string()});
  EXPECT_EQ(feed.exit_code, 1);
  EXPECT_TRUE(Has(feed, "strandel: refused: " + (src_ / "in").string() + " would feed back into " +
                            dst_.string() + " through task 'docs' (" + src_.string() + " -> " +
                            dst_.string() + ")"))
      << feed.output;

  const struct {
    std::vector<std::string> args;
    int status;
    std::string says;
  } cases[] = {
      {{"add", "docs", src_.string(), (dir_.path() / "d2").string()},
       1,
       "strandel: a task named 'docs' already exists"},
      {{"add", "inside", src_.string(), (src_ / "sub").string()},
       1,
       "strandel: refused: " + (src_ / "sub").string() + " lies inside " + src_.string()},
      {{"add", "same", other_.string(), other_.string()},
       1,
       "strandel: refused: the source and the destination are both " + other_.string()},
      {{"edit", "docs", "--dest", (src_ / "sub").string()},
       1,
       "strandel: refused: " + (src_ / "sub").string() + " lies inside " + src_.string()},
      {{"add", "gone", (dir_.path() / "missing").string(), dst_.string()},
       1,
       "source directory " + (dir_.path() / "missing").string() + " does not exist"},
      {{"add", "x", src_.string(), other_.string(), "--every", "10s"}, 2, "at least one minute"},
      {{"add", "x", src_.string(), other_.string(), "--on-add", "merge"}, 2, "--on-add"},
      {{"add", "x", src_.string()}, 2, "DEST"},
      {{"add", "x", src_.string(), other_.string(), "--share-password-stdin"}, 2, "--share-user"},
      {{"edit", "nobody", "--two-way"}, 1, "strandel: no task named 'nobody'"},
      {{"show", "nobody"}, 1, "strandel: no task named 'nobody'"},
      {{"remove", "nobody"}, 1, "strandel: no task named 'nobody'"},
      {{"log", "--since", "yesterday-ish"}, 2, "--since"},
      {{"frobnicate"}, 2, ""},
  };
  for (const auto& c : cases) {
    const auto run = Strandel(c.args);
    EXPECT_EQ(run.exit_code, c.status) << c.args[0] << ": " << run.output;
    EXPECT_TRUE(Has(run, c.says)) << c.says << " not in: " << run.output;
  }
  EXPECT_EQ(nlohmann::json::parse(Strandel({"list", "--json"}).output).size(), 1u);
  EXPECT_TRUE(Has(Strandel({"show", "docs"}), dst_.string()));  // the refused edit changed nothing

  // Up to the limit, and not one more.
  for (int i = 2; i <= 51; ++i) {
    const fs::path source = dir_.path() / ("s" + std::to_string(i));
    fs::create_directories(source);
    const auto run = Strandel({"add", "t" + std::to_string(i), source.string(),
                               (dir_.path() / ("d" + std::to_string(i))).string()});
    if (i <= 50) {
      ASSERT_EQ(run.exit_code, 0) << i << ": " << run.output;
    } else {
      EXPECT_EQ(run.exit_code, 1);
      EXPECT_TRUE(
          Has(run, "strandel: there are already 50 tasks, the most one data directory holds"))
          << run.output;
    }
  }
}

}  // namespace cli_testing

namespace {

TEST_F(CliTest, RefusalsSayWhyAndUsageErrorsExitWithTwo) {
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  ExpectRefusals();
  const auto help = Strandel({"add", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_TRUE(Has(help, "Example:"));
}

TEST_F(CliTest, ARunningDaemonRefusesInTheSameWords) {
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  Daemon daemon(data_, dir_.path() / "daemon.out");
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
  ExpectRefusals();
}

TEST_F(CliTest, TheDefaultDataDirectoryFollowsXdgStateHome) {
  if (::geteuid() == 0 && fs::is_directory("/var/lib/strandel")) {
    GTEST_SKIP() << "root keeps its tasks in /var/lib/strandel on this machine";
  }
  const auto run = Shell("XDG_STATE_HOME='" + dir_.str() + "/xdg' \"$0\" list");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(fs::exists(dir_.path() / "xdg" / "strandel" / "Strandel.db"));
}

// Data directories that anybody but their owner could change, and names of
// the files kept there planted as links to a file outside.
class RefusedDataDirTest : public CliTest {
 protected:
  struct Case {
    std::string what;
    std::function<void(const fs::path& data)> spoil;
    std::string says;  // empty: accepted
  };

  void ExpectVerdicts(const std::vector<Case>& cases) {
    const fs::path outside = dir_.path() / "outside";
    for (std::size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      std::ofstream(outside) << "untouched";
      const fs::path data = dir_.path() / ("case" + std::to_string(i)) / "data";
      fs::create_directories(data);
      ::chmod(data.c_str(), 0700);
      ::chmod(data.parent_path().c_str(), 0755);
      c.spoil(data);
      const auto run = testing_support::RunProcess(STRANDEL_CLI, {"--data-dir", data, "list"});
      if (c.says.empty()) {
        EXPECT_EQ(run.exit_code, 0) << c.what << ": " << run.output;
        continue;
      }
      EXPECT_EQ(run.exit_code, 1) << c.what << ": " << run.output;
      EXPECT_TRUE(Has(run, "refusing " + data.string() + ": ")) << c.what << ": " << run.output;
      EXPECT_TRUE(Has(run, c.says)) << c.what << ": " << c.says << " not in " << run.output;
      EXPECT_EQ(ReadFile(outside), "untouched") << c.what;
      // Nothing was made there: it holds at most the planted link.
      EXPECT_LE(std::distance(fs::directory_iterator(data), fs::directory_iterator()), 1) << c.what;
    }
  }

  static std::function<void(const fs::path&)> Link(const std::string& name, const fs::path& to) {
    return [name, to](const fs::path& data) { fs::create_symlink(to, data / name); };
  }
  static std::function<void(const fs::path&)> Mode(mode_t mode, bool parent = false) {
    return [mode, parent](const fs::path& data) {
      ::chmod((parent ? data.parent_path() : data).c_str(), mode);
    };
  }
};

TEST_F(RefusedDataDirTest, LooseModesAndPlantedLinksAreRefused) {
  const fs::path outside = dir_.path() / "outside";
  std::vector<Case> cases = {
      {"group-writable", Mode(0770), "is writable by its group (mode 0770)"},
      {"other-writable", Mode(0703), "is writable by others (mode 0703)"},
      {"loose parent", Mode(0777, true), "/data, is writable by others (mode 0777)"},
      {"group-writable parent", Mode(0775, true), "/data, is writable by its group (mode 0775)"},
      // Sticky, as /tmp is: nobody else may rename or remove what is ours.
      {"sticky parent", Mode(01777, true), ""},
      {"readable by all", Mode(0755), ""},
  };
  for (const char* name :
       {"Report.dat", "Strandel.db.lock", "strandel.sock", "strandel-run.lock", "Strandel.db"}) {
    cases.push_back({std::string(name) + " planted as a link", Link(name, outside),
                     std::string(name) + " is a symbolic link"});
  }
  ExpectVerdicts(cases);
}

TEST_F(RefusedDataDirTest, DirectoriesOfAnotherUserAreRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory to another user";
  const auto give = [](bool parent) {
    return [parent](const fs::path& data) {
      ASSERT_EQ(::chown((parent ? data.parent_path() : data).c_str(), 65534, 65534), 0);
    };
  };
  const std::string nobody = ::getpwuid(65534) ? ::getpwuid(65534)->pw_name : "65534";
  ExpectVerdicts({
      {"owned by another user", give(false), "belongs to " + nobody + ", not to root"},
      {"parent owned by another user", give(true), "belongs to " + nobody + ", not to root"},
  });
}

// The password prompt on a terminal: no echo while it is typed, and the echo
// back afterwards, also after Ctrl-C, with which the command ends as an
// interrupted one does: by SIGINT (130 in a shell).
TEST_F(CliTest, ThePasswordPromptGivesTheEchoBackEvenAfterCtrlC) {
  const std::string data = data_.string(), src = src_.string(), dst = dst_.string();
  const struct {
    const char* name;
    const char* typed;
    bool interrupted;
  } cases[] = {{"typed", "pa55word\n", false}, {"interrupted", "\x03", true}};
  for (const auto& c : cases) {
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::execl(STRANDEL_CLI, STRANDEL_CLI, "--data-dir", data.c_str(), "add", c.name, src.c_str(),
              dst.c_str(), "--share-user", "alice", nullptr);
      ::_exit(127);
    }
    const int terminal = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string shown;
    const bool prompted = PollUntil([&] {
      char buffer[256];
      pollfd ready{master, POLLIN, 0};
      while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        shown.append(buffer, static_cast<std::size_t>(n));
      }
      return shown.find("Password for alice: ") != std::string::npos;
    });
    termios mode{};
    EXPECT_TRUE(prompted) << c.name << ": " << shown;
    if (prompted) {
      ASSERT_EQ(::tcgetattr(terminal, &mode), 0);
      EXPECT_EQ(mode.c_lflag & ECHO, 0u) << c.name << ": the password would show";
      ASSERT_GT(::write(master, c.typed, std::strlen(c.typed)), 0);
    }
    int status = 0;
    if (!PollUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; })) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
    }
    if (c.interrupted) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "wait status " << status;
    } else {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
    }
    ASSERT_EQ(::tcgetattr(terminal, &mode), 0);
    EXPECT_NE(mode.c_lflag & ECHO, 0u) << c.name << ": the terminal was left without echo";
    ::close(terminal);
    ::close(master);
  }
  const auto shown = Strandel({"show", "typed"});
  EXPECT_TRUE(Has(shown, "share password:  (set)")) << shown.output;
  EXPECT_EQ(Strandel({"show", "interrupted"}).exit_code, 1);
}

TEST_F(CliTest, RunMirrorsTakesCommandsThroughItsSocketAndStopsOnSigterm) {
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  // Without an initial sync that could bring a.txt first, its change is what copies it.
  Daemon daemon(data_, dir_.path() / "daemon.out", {}, {"--no-initial-sync"});
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();

  std::ofstream(src_ / "a.txt") << "hello";
  ASSERT_TRUE(PollUntil([&] { return fs::exists(dst_ / "a.txt"); }));
  EXPECT_EQ(ReadFile(dst_ / "a.txt"), "hello");
  EXPECT_TRUE(PollUntil([&] {
    return daemon.Output().find("docs  added     a.txt") != std::string::npos;
  })) << daemon.Output();

  // Another terminal's add reaches the running module: the new task mirrors at once.
  struct stat st;
  ASSERT_EQ(::stat((data_ / "strandel.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const fs::path dst2 = dir_.path() / "dst2";
  const auto added = Strandel({"add", "more", other_.string(), dst2.string()});
  ASSERT_EQ(added.exit_code, 0) << added.output;
  std::ofstream(other_ / "b.txt") << "b";
  EXPECT_TRUE(PollUntil([&] { return fs::exists(dst2 / "b.txt"); }));
  EXPECT_TRUE(Has(Strandel({"list"}), "more"));
  const auto second = Strandel({"run"});
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_TRUE(Has(second, "already running")) << second.output;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(daemon.Stop(), 0) << daemon.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_TRUE(Has(ProcessResult{0, 0, false, daemon.Output()}, "strandel: stopped"));
  // With the daemon gone, commands work on the task store again.
  EXPECT_EQ(Strandel({"remove", "more"}).exit_code, 0);
}

// What was there before the daemon ran arrives with its first full sync of
// every task; --no-initial-sync leaves it to later changes.
TEST_F(CliTest, RunStartsWithAFullSyncOfEveryTaskUnlessToldNot) {
  fs::create_directories(src_ / "sub");
  std::ofstream(src_ / "a.txt") << "a";
  std::ofstream(src_ / "sub" / "b.txt") << "b";
  std::ofstream(other_ / "c.txt") << "c";
  const fs::path dst2 = dir_.path() / "dst2";
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  ASSERT_EQ(Strandel({"add", "more", other_.string(), dst2.string()}).exit_code, 0);
  {
    Daemon daemon(data_, dir_.path() / "daemon.out");
    EXPECT_TRUE(PollUntil([&] {
      return fs::exists(dst_ / "a.txt") && fs::exists(dst_ / "sub" / "b.txt") &&
             fs::exists(dst2 / "c.txt");
    })) << daemon.Output();
    EXPECT_EQ(daemon.Stop(), 0);
  }
  std::ofstream(src_ / "while-stopped.txt") << "w";
  Daemon daemon(data_, dir_.path() / "daemon2.out", {}, {"--no-initial-sync"});
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
  std::ofstream(src_ / "marker.txt") << "m";
  ASSERT_TRUE(PollUntil([&] { return fs::exists(dst_ / "marker.txt"); })) << daemon.Output();
  EXPECT_FALSE(fs::exists(dst_ / "while-stopped.txt"));
}

// More changes than the kernel's event queue holds, made while the daemon is
// stopped: the lost batch ends in a full sync that brings every one across.
TEST_F(CliTest, ChangesBeyondTheEventQueueAllArrive) {
  int count = 20000;
  const int queue = std::stoi(ReadFile("/proc/sys/fs/inotify/max_queued_events"));
  count = std::max(count, queue + 4000);
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  // Without the first full sync, only the watch can bring anything across.
  Daemon daemon(data_, dir_.path() / "daemon.out", {}, {"--quiet", "--no-initial-sync"});
  // Written again until it arrives: at first the daemon may not watch yet.
  ASSERT_TRUE(PollUntil([&] {
    std::ofstream(src_ / "watching.txt") << "w";
    return PollUntil([&] { return fs::exists(dst_ / "watching.txt"); },
                     std::chrono::milliseconds(200));
  })) << daemon.Output();

  ASSERT_EQ(::kill(daemon.pid(), SIGSTOP), 0);
  for (int i = 0; i < count; ++i) std::ofstream(src_ / ("f" + std::to_string(i))) << i;
  ASSERT_EQ(::kill(daemon.pid(), SIGCONT), 0);
  const auto entries = [&] {
    // Listing 20,000 names is work: leave the daemon the machine in between.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::error_code error;
    return std::distance(fs::directory_iterator(dst_, error), fs::directory_iterator());
  };
  ASSERT_TRUE(PollUntil([&] { return entries() == count + 1; }, std::chrono::seconds(100)))
      << entries() << " of " << count + 1 << " arrived\n"
      << daemon.Output();
  int wrong = 0;
  for (int i = 0; i < count; ++i) {
    wrong += ReadFile(dst_ / ("f" + std::to_string(i))) != std::to_string(i);
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(daemon.Stop(), 0);
}

// Environment entries that preload the inotify probe: the file mark appears
// when the process makes an inotify instance, which a started module always
// does, and watch_mark when it watches a directory.
std::vector<std::string> InotifyProbeEnv(const fs::path& mark, const fs::path& watch_mark = {}) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  // AddressSanitizer wants to be the first library; the probe only wraps libc.
  return {std::string("LD_PRELOAD=") + INOTIFY_PROBE, "STRANDEL_TEST_INOTIFY_MARK=" + mark.string(),
          "STRANDEL_TEST_INOTIFY_WATCH_MARK=" + watch_mark.string(),
          "ASAN_OPTIONS=" + std::string(asan != nullptr ? std::string(asan) + ":" : "") +
              "verify_asan_link_order=0"};
}

// A one-off sync ends with its process: a watch of the trees would only slow
// it down.
TEST_F(CliTest, ASyncWithoutADaemonCopiesTheTreeAndWatchesNothing) {
  fs::create_directories(src_ / "sub" / "deeper");
  std::ofstream(src_ / "sub" / "deeper" / "f") << "deep";
  ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string()}).exit_code, 0);
  const fs::path mark = dir_.path() / "inotify.mark";
  const fs::path watched = dir_.path() / "watch.mark";
  std::string env;
  for (const std::string& entry : InotifyProbeEnv(mark, watched)) env += "'" + entry + "' ";
  const auto run =
      Shell("env " + env + "\"$0\" --data-dir '" + data_.string() + "' sync docs --quiet");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(ReadFile(dst_ / "sub" / "deeper" / "f"), "deep");
  EXPECT_FALSE(fs::exists(watched)) << "the one-off sync watched a directory";

  // The probe sees the watches of a daemon.
  {
    Daemon daemon(data_, dir_.path() / "daemon.out", InotifyProbeEnv(mark, watched),
                  {"--quiet", "--no-initial-sync"});
    ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
    EXPECT_TRUE(PollUntil([&] { return fs::exists(watched); }));
    EXPECT_EQ(daemon.Stop(), 0);
  }
  // A daemon left with the switch in its environment says what it means.
  Daemon unwatched(data_, dir_.path() / "unwatched.out", {"STRANDEL_REALTIME=0"},
                   {"--quiet", "--no-initial-sync"});
  ASSERT_TRUE(PollUntil([&] { return unwatched.Running(); })) << unwatched.Output();
  EXPECT_TRUE(PollUntil([&] {
    return unwatched.Output().find("STRANDEL_REALTIME=0 is set: no change is followed") !=
           std::string::npos;
  })) << unwatched.Output();
  EXPECT_EQ(unwatched.Stop(), 0);
}

TEST_F(CliTest, CommandsWithoutADaemonNeverStartTheModule) {
  fs::create_directories(src_ / "sub" / "deeper");
  fs::create_directories(dir_.path() / "more");
  const fs::path mark = dir_.path() / "inotify.mark";
  std::string env;
  for (const std::string& entry : InotifyProbeEnv(mark)) env += "'" + entry + "' ";
  const std::string data = " --data-dir '" + data_.string() + "' ";
  for (const std::string& command : std::vector<std::string>{
           "add docs '" + src_.string() + "' '" + dst_.string() + "' --every 1h",
           "add more '" + (dir_.path() / "more").string() + "' '" + other_.string() + "'", "list",
           "list --json", "show docs", "edit docs --two-way", "remove more", "log"}) {
    const auto run = Shell("env " + env + "\"$0\"" + data + command);
    EXPECT_EQ(run.exit_code, 0) << command << ": " << run.output;
    EXPECT_FALSE(fs::exists(mark)) << command << " started watching";
  }

  // The probe sees a module that does start.
  Daemon daemon(data_, dir_.path() / "daemon.out", InotifyProbeEnv(mark));
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
  EXPECT_TRUE(fs::exists(mark));
}

TEST_F(CliTest, ATaskAddedWithoutADaemonIsTheOneTheDaemonRuns) {
  // Indexes as a module started now would give them: one above the largest
  // stored, whatever was removed below it.
  ASSERT_EQ(Trimmed(Strandel({"add", "old", other_.string(), (dir_.path() / "o").string()}).output),
            "20000");
  const auto added = Shell("printf 'pa55word\\n' | \"$0\" --data-dir '" + data_.string() +
                           "' add docs '" + src_.string() + "' '" + dst_.string() +
                           "' --two-way --include '*.txt' --exclude 'skip*' --top-level-only "
                           "--on-add backup --on-delete trash --on-rename backup --every 1h --usb "
                           "--fail-report --share-user alice --share-password-stdin");
  ASSERT_EQ(added.exit_code, 0) << added.output;
  EXPECT_EQ(Trimmed(added.output), "20001");
  ASSERT_EQ(Strandel({"remove", "old"}).exit_code, 0);
  EXPECT_EQ(Trimmed(Strandel({"add", "old", other_.string(), (dir_.path() / "o").string()}).output),
            "20002");
  const auto stored = nlohmann::json::parse(Strandel({"show", "docs", "--json"}).output);
  EXPECT_TRUE(Has(Strandel({"log", "--task", "docs"}), "task added"));
  EXPECT_TRUE(Has(Strandel({"log", "--task", "old"}), "task removed"));

  fs::create_directories(src_ / "sub");
  Daemon daemon(data_, dir_.path() / "daemon.out");
  ASSERT_TRUE(PollUntil([&] { return daemon.Running(); })) << daemon.Output();
  EXPECT_EQ(nlohmann::json::parse(Strandel({"show", "docs", "--json"}).output), stored);
  const nlohmann::json given = {{"name", "docs"},
                                {"index", 20001},
                                {"source", src_.string()},
                                {"destination", dst_.string()},
                                {"direction", "two-way"},
                                {"include", "*.txt"},
                                {"exclude", "skip*"},
                                {"top_level_only", true},
                                {"on_add", "backup"},
                                {"on_delete", "trash"},
                                {"on_rename", "backup"},
                                {"every_seconds", 3600},
                                {"usb", true},
                                {"waits_for_volumes", nlohmann::json::array()},
                                {"realtime", true},
                                {"fail_report", true},
                                {"share_user", "alice"},
                                {"share_password_set", true}};
  EXPECT_EQ(stored, given);

  // Filters, levels and direction as stored: only top-level *.txt not named
  // skip* goes across, and the destination's files come back.
  for (const char* name : {"skip.txt", "b.md", "sub/c.txt", "a.txt"}) {
    std::ofstream(src_ / name) << name;
  }
  ASSERT_TRUE(PollUntil([&] { return fs::exists(dst_ / "a.txt"); })) << daemon.Output();
  std::ofstream(dst_ / "back.txt") << "back";
  ASSERT_TRUE(PollUntil([&] { return fs::exists(src_ / "back.txt"); })) << daemon.Output();
  for (const char* name : {"skip.txt", "b.md", "sub/c.txt"}) {
    EXPECT_FALSE(fs::exists(dst_ / name)) << name;
  }
  // The module holds the task under its index: it can change it.
  const auto edited = Strandel({"edit", "docs", "--every", "off"});
  EXPECT_EQ(edited.exit_code, 0) << edited.output;
  fs::create_directories(dir_.path() / "fresh");
  EXPECT_EQ(Trimmed(Strandel({"add", "new", (dir_.path() / "fresh").string(),
                              (dir_.path() / "n").string()})
                        .output),
            "20003");
}

TEST_F(CliTest, TheStoreIsChangedOnlyUnderTheModulesDatabaseLock) {
  fs::create_directories(data_);
  const int lock = ::open((data_ / "Strandel.db.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(lock, 0);
  ASSERT_EQ(::flock(lock, LOCK_EX), 0);  // as a module in another process holds it

  const std::string data = data_.string(), src = src_.string(), dst = dst_.string();
  const char* argv[] = {STRANDEL_CLI, "--data-dir", data.c_str(), "add",
                        "docs",       src.c_str(),  dst.c_str(),  nullptr};
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, STRANDEL_CLI, &quiet, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&quiet);
  int status = 0;
  // Far longer than the add takes when nothing holds the lock.
  const bool waited = !PollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; },
                                 std::chrono::milliseconds(500));
  ::flock(lock, LOCK_UN);
  ::close(lock);
  ASSERT_TRUE(waited) << "the add went ahead while another process held the lock";
  ASSERT_TRUE(PollUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(Has(Strandel({"show", "docs"}), dst_.string()));
}

// History written the way the module writes it, read back through log.
TEST_F(CliTest, LogFiltersAndFormatsTheHistory) {
  fs::create_directories(data_);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((data_ / "Strandel.db").c_str(), &db), SQLITE_OK);
  const char* sql =
      "CREATE TABLE SyncLog (SN INTEGER PRIMARY KEY AUTOINCREMENT, InternalUsed INTEGER,"
      " lDateTime TEXT, lTaskName TEXT, lFromFile TEXT, lToFile TEXT, lChangedFile TEXT,"
      " lNewFile TEXT, lSourceDirChanged INTEGER, lAction INTEGER, lOperation TEXT,"
      " lErrorNO INTEGER, lLineNO INTEGER, lInfo TEXT);"
      "INSERT INTO SyncLog VALUES (NULL,1,'2026-01-01 10:00:00','docs','/s','/d','','',0,-2,"
      " 'SyncFinish',0,3463,' ');"
      "INSERT INTO SyncLog VALUES (NULL,1,'2026-01-02 10:00:00','docs','/s','/d','a.txt','',1,1,"
      " 'SyncFinish',0,2138,'ok');"
      "INSERT INTO SyncLog VALUES (NULL,1,'2026-01-03 10:00:00','docs','/s/big','/d/big','big','',"
      " 1,1,'CopyData',112,1976,'Copy file failed');"
      "INSERT INTO SyncLog VALUES (NULL,1,'2026-01-04 10:00:00','pics','/d','/s','x.jpg','y.jpg',"
      " 0,5,'SyncFinish',0,2161,'ok');";
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);

  const auto all = Shell("TZ=UTC \"$0\" --data-dir '" + data_.string() + "' log");
  ASSERT_EQ(all.exit_code, 0) << all.output;
  EXPECT_EQ(all.output,
            "2026-01-01 10:00:00  docs  task added  /s -> /d\n"
            "2026-01-02 10:00:00  docs  added     a.txt\n"
            "2026-01-03 10:00:00  docs  error     CopyData big: Copy file failed (error 112)\n"
            "2026-01-04 10:00:00  pics  renamed   x.jpg -> y.jpg  (from the destination)\n");

  const auto lines = [](const ProcessResult& run) {
    return std::count(run.output.begin(), run.output.end(), '\n');
  };
  EXPECT_EQ(lines(Strandel({"log", "--task", "docs"})), 3);
  EXPECT_EQ(lines(Strandel({"log", "--failed"})), 1);
  EXPECT_EQ(lines(Strandel({"log", "--since", "2026-01-03"})), 2);
  // Longer ago than the epoch: everything, not a time that wrapped around.
  EXPECT_EQ(lines(Strandel({"log", "--since", "9223372036854775807d"})), 4);
  const auto newest = nlohmann::json::parse(Strandel({"log", "--limit", "2", "--json"}).output);
  ASSERT_EQ(newest.size(), 2u);
  EXPECT_EQ(newest[0]["error"], 112);  // newest last
  EXPECT_EQ(newest[1]["new_name"], "y.jpg");
  EXPECT_EQ(newest[1]["side"], "destination");
}

}  // namespace
