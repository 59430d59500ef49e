// What the tests of the strandel program share: a fixture with a data
// directory and two trees, and the daemon as a child process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace cli_testing {

namespace fs = std::filesystem;
using testing_support::PollUntil;
using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::TempDir;

inline bool Has(const ProcessResult& run, const std::string& text) {
  return run.output.find(text) != std::string::npos;
}

inline std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

class CliTest : public ::testing::Test {
 protected:
  CliTest() {
    fs::create_directories(src_);
    fs::create_directories(other_);
  }

  ProcessResult Strandel(std::vector<std::string> args, const std::string& cwd = "") {
    args.insert(args.begin(), {"--data-dir", data_.string()});
    return testing_support::RunProcess(STRANDEL_CLI, args, cwd);
  }

  // Through a shell, for what needs standard input or the environment.
  ProcessResult Shell(const std::string& script) {
    return testing_support::RunProcess("/bin/sh", {"-c", script, STRANDEL_CLI});
  }

  void ExpectRefusals();

  TempDir dir_;
  const fs::path data_ = dir_.path() / "state" / "strandel";
  const fs::path src_ = dir_.path() / "src";
  const fs::path dst_ = dir_.path() / "dst";
  const fs::path other_ = dir_.path() / "other";
};

// The daemon as a child whose output goes to a file.
class Daemon {
 public:
  // extra_env: NAME=VALUE entries added to this process's environment;
  // options: more options of run.
  Daemon(const fs::path& data, const fs::path& log, std::vector<std::string> extra_env = {},
         const std::vector<std::string>& options = {})
      : log_(log) {
    std::vector<char*> env;
    for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
    for (std::string& entry : extra_env) env.push_back(entry.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    const std::string dir = data.string();
    std::vector<const char*> argv = {STRANDEL_CLI, "--data-dir", dir.c_str(), "run"};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    posix_spawn(&pid_, STRANDEL_CLI, &actions, nullptr, const_cast<char**>(argv.data()),
                env.data());
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Daemon() {
    if (pid_ > 0) Stop();
  }
  std::string Output() const { return ReadFile(log_); }
  pid_t pid() const { return pid_; }
  bool Running() const { return Output().find("stop with Ctrl-C") != std::string::npos; }

  // Exit status, or -1 if it did not stop within the deadline.
  int Stop(std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    ::kill(pid_, SIGTERM);
    const auto give_up = std::chrono::steady_clock::now() + deadline;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > give_up) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  fs::path log_;
  pid_t pid_ = -1;
};

}  // namespace cli_testing
