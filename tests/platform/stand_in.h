// Stand-ins for what a test machine lacks or must not touch: the seat's user, started programs.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "os/session.h"
#include "platform/console_user.h"
#include "platform/process_starter.h"
#include "test_support.h"

namespace testing_support {

// A program the module starts: a shell script (the test's own; the module
// never uses a shell) that records its arguments, environment and
// credentials as the kernel holds them, runs `extra` ("$out" is the record
// directory, "$1" the first argument) and then counts the call.
class StandIn {
 public:
  explicit StandIn(const std::string& extra = "") {
    ::chmod(dir_.str().c_str(), 0755);  // readable by any user it may run as
    std::filesystem::create_directory(out());
    ::chmod(out().c_str(), 0777);
    std::ofstream(script()) << "#!/bin/sh\nout='" << out().string() << "'\n"
                            << "for f in cmdline environ status; do cat /proc/$$/$f > \"$out/$f\"; "
                               "done\n"
                            << extra << "\necho x >> \"$out/calls\"\n";
    ::chmod(script().c_str(), 0755);
  }

  std::filesystem::path script() const { return dir_.path() / "stand-in.sh"; }
  std::filesystem::path out() const { return dir_.path() / "out"; }

  int Calls() const {
    const std::string calls = ReadFile(out() / "calls");
    return static_cast<int>(std::count(calls.begin(), calls.end(), '\n'));
  }
  bool WaitForCalls(int n) const {
    return PollUntil([&] { return Calls() >= n; });
  }
  // The arguments after the script's own name.
  std::vector<std::string> Args() const {
    auto all = NulList("cmdline");
    return all.size() >= 2 ? std::vector<std::string>(all.begin() + 2, all.end()) : all;
  }
  std::vector<std::string> Environment() const { return NulList("environ"); }
  // A line of /proc/<pid>/status after its "Name:\t", e.g. Status("Uid").
  std::string Status(const std::string& name) const {
    std::istringstream in(ReadFile(out() / "status"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(name + ":\t", 0) == 0) return line.substr(name.size() + 2);
    }
    return {};
  }

 private:
  std::vector<std::string> NulList(const char* file) const {
    std::vector<std::string> items;
    std::istringstream in(ReadFile(out() / file));
    for (std::string item; std::getline(in, item, '\0');) items.push_back(item);
    return items;
  }

  TempDir dir_;
};

// Pretends who is logged on, for the life of the object.
class SeatUsers {
 public:
  explicit SeatUsers(os::SessionSource source) { Set(std::move(source)); }
  ~SeatUsers() { Set({}); }
  static os::SessionSource Only(uid_t uid) {
    return [uid] { return std::vector<os::Session>{{7, true, uid}}; };
  }
  static os::SessionSource NoneActive() {
    return [] { return std::vector<os::Session>{}; };
  }
  void Set(os::SessionSource source) {
    os::SetSessionSourceForTest(std::move(source));
    ForgetConsoleUserForTest();
  }
};

}  // namespace testing_support
