// `strandel sync`: in a module of its own when no daemon runs, through the
// daemon when one does; the same words, statuses and questions both ways.
#include <poll.h>
#include <pty.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>

#include "cli_fixture.h"

namespace {

using namespace cli_testing;  // NOLINT(build/namespaces): the fixture's shared names

class SyncCommandTest : public CliTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    fs::create_directories(src_ / "sub");
    std::ofstream(src_ / "a.txt") << "alpha";
    std::ofstream(src_ / "sub" / "b.txt") << "beta";
    ASSERT_EQ(Strandel({"add", "docs", src_.string(), dst_.string(), "--fail-report"}).exit_code,
              0);
    // Below a link in the destination nothing may be written: these items fail.
    fs::create_directories(dst_);
    fs::create_directories(outside_);
    fs::create_directories(src_ / "trap");
    std::ofstream(src_ / "trap" / "x.txt") << "x";
    std::ofstream(src_ / "trap" / "y.txt") << "y";
    if (GetParam()) {
      daemon_ =
          std::make_unique<Daemon>(data_, dir_.path() / "daemon.out", std::vector<std::string>{},
                                   std::vector<std::string>{"--quiet", "--no-initial-sync"});
      ASSERT_TRUE(PollUntil([&] { return daemon_->Running(); })) << daemon_->Output();
    }
  }
  void TearDown() override {
    if (daemon_) {
      EXPECT_EQ(daemon_->Stop(), 0) << daemon_->Output();
    }
  }

  void PlantTrap() { fs::create_directory_symlink(outside_, dst_ / "trap"); }

  const fs::path outside_ = dir_.path() / "outside";
  std::unique_ptr<Daemon> daemon_;
};

TEST_P(SyncCommandTest, BringsTasksInStepAndTellsWhatFailed) {
  const auto first = Strandel({"sync", "docs"});
  EXPECT_EQ(first.exit_code, 0) << first.output;
  EXPECT_TRUE(Has(first, "docs: 6 of 6 items checked, 6 synchronised")) << first.output;
  EXPECT_EQ(ReadFile(dst_ / "a.txt"), "alpha");
  EXPECT_EQ(ReadFile(dst_ / "sub" / "b.txt"), "beta");
  EXPECT_EQ(ReadFile(dst_ / "trap" / "y.txt"), "y");

  // In step already: nothing to do, and a summary that says so.
  const auto again = Strandel({"sync", "docs", "--json"});
  ASSERT_EQ(again.exit_code, 0) << again.output;
  const auto summary = nlohmann::json::parse(again.output);
  EXPECT_TRUE(summary["ok"].get<bool>());
  ASSERT_EQ(summary["tasks"].size(), 1u);
  EXPECT_EQ(summary["tasks"][0]["task"], "docs");
  EXPECT_EQ(summary["tasks"][0]["checked"], 6);
  EXPECT_EQ(summary["tasks"][0]["synchronised"], 0);

  // Failed items: status 1, a line for each, the link's target untouched.
  fs::remove_all(dst_ / "trap");
  PlantTrap();
  const auto failed = Strandel({"sync", "docs"});
  EXPECT_EQ(failed.exit_code, 1) << failed.output;
  EXPECT_TRUE(Has(failed, "docs: cannot copy " + (src_ / "trap" / "x.txt").string() + " to " +
                              (dst_ / "trap" / "x.txt").string() +
                              ": a symbolic link lies on the way"))
      << failed.output;
  EXPECT_TRUE(Has(failed, "2 failed")) << failed.output;
  EXPECT_TRUE(fs::is_empty(outside_));
  const auto as_json = Strandel({"sync", "--all", "--json"});
  EXPECT_EQ(as_json.exit_code, 1);
  const auto failures = nlohmann::json::parse(as_json.output);
  EXPECT_FALSE(failures["ok"].get<bool>());
  EXPECT_EQ(failures["tasks"][0]["failures"].size(), 2u);
  const auto quiet = Strandel({"sync", "docs", "--quiet"});
  EXPECT_EQ(quiet.exit_code, 1);
  EXPECT_EQ(quiet.output, "");

  // Every task, one after the other; unknown names and no name at all.
  const fs::path dst2 = dir_.path() / "dst2";
  std::ofstream(other_ / "c.txt") << "c";
  ASSERT_EQ(Strandel({"add", "more", other_.string(), dst2.string()}).exit_code, 0);
  fs::remove(dst_ / "trap");
  const auto all = Strandel({"sync", "--all"});
  EXPECT_EQ(all.exit_code, 0) << all.output;
  EXPECT_TRUE(Has(all, "docs: ") && Has(all, "more: 1 of 1 items checked")) << all.output;
  EXPECT_EQ(ReadFile(dst2 / "c.txt"), "c");
  const auto unknown = Strandel({"sync", "nope"});
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_TRUE(Has(unknown, "no task named 'nope'")) << unknown.output;
  EXPECT_EQ(Strandel({"sync"}).exit_code, 2);
}

// A terminal session with the program: what it showed, and answers typed.
class Terminal {
 public:
  explicit Terminal(const std::vector<std::string>& args) {
    pid_ = ::forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      std::vector<char*> argv{const_cast<char*>(STRANDEL_CLI)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      ::execv(STRANDEL_CLI, argv.data());
      ::_exit(127);
    }
  }
  ~Terminal() {
    if (pid_ > 0 && Wait() < 0) ::waitpid(pid_, nullptr, 0);
    ::close(master_);
  }
  // True once the program has shown text count times in all.
  bool Shows(const std::string& text, int count = 1) {
    return PollUntil([&] { return Count(text) >= count; });
  }
  // How often the program has shown text so far.
  int Count(const std::string& text) {
    Read();
    int seen = 0;
    for (size_t at = shown_.find(text); at != std::string::npos; at = shown_.find(text, at + 1)) {
      ++seen;
    }
    return seen;
  }
  void Type(const std::string& text) {
    ASSERT_EQ(::write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }
  // The exit status, or -1.
  int Wait() {
    int status = 0;
    if (!PollUntil([&] {
          Read();
          return ::waitpid(pid_, &status, WNOHANG) == pid_;
        })) {
      ::kill(pid_, SIGKILL);
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  const std::string& shown() const { return shown_; }

 private:
  void Read() {
    char buffer[512];
    pollfd ready{master_, POLLIN, 0};
    while (::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      shown_.append(buffer, static_cast<size_t>(n));
    }
  }

  int master_ = -1;
  pid_t pid_ = -1;
  std::string shown_;
};

TEST_P(SyncCommandTest, OnATerminalAFailedItemCanBeRetriedSkippedOrAllSkipped) {
  PlantTrap();
  const std::string prompt = "[r]etry, [s]kip, skip [a]ll of this task? ";
  Terminal terminal({"--data-dir", data_.string(), "sync", "docs"});
  ASSERT_TRUE(terminal.Shows(prompt)) << terminal.shown();
  terminal.Type("r\n");  // tried again, fails again, asked again
  ASSERT_TRUE(terminal.Shows(prompt, 2)) << terminal.shown();
  terminal.Type("a\n");  // no more questions: the other item fails unasked
  EXPECT_EQ(terminal.Wait(), 1) << terminal.shown();
  EXPECT_TRUE(terminal.Shows("2 failed")) << terminal.shown();
  EXPECT_EQ(terminal.Count(prompt), 2) << terminal.shown();
  // The question after the retry is about the same item.
  std::vector<std::string> failed;
  const std::string& shown = terminal.shown();
  for (size_t at = shown.find("cannot copy "); at != std::string::npos;
       at = shown.find("cannot copy ", at + 1)) {
    failed.push_back(shown.substr(at, shown.find(" to ", at) - at));
  }
  ASSERT_EQ(failed.size(), 3u) << shown;
  EXPECT_EQ(failed[0], failed[1]);
  EXPECT_NE(failed[1], failed[2]);
  EXPECT_EQ(ReadFile(dst_ / "a.txt"), "alpha");
  EXPECT_TRUE(fs::is_empty(outside_));
}

INSTANTIATE_TEST_SUITE_P(HereAndThroughTheDaemon, SyncCommandTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Daemon" : "Here"; });

}  // namespace
