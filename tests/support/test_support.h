// Helpers shared by the test suites: a scratch directory that is removed
// afterwards, a recorder of trace lines, and polling with a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "os/clock.h"
#include "os/trace_sink.h"

namespace testing_support {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::wstring wstr() const;  // through the module's lossless conversion

 private:
  std::filesystem::path path_;
};

// Installs itself as the trace sink for its lifetime and keeps every message.
class TraceCapture {
 public:
  TraceCapture();
  ~TraceCapture();
  std::vector<std::string> Lines() const;
  bool Contains(const std::string& needle) const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  os::TraceSink previous_;
};

// Calls condition until it holds or timeout passes; true when it held.
bool PollUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Moves clock on a step at a time until condition holds (at most 3000 steps),
// so that the short waits the threads under test make on it pass; true when
// it held.
bool StepClockUntil(os::FakeClock& clock, const std::function<bool()>& condition,
                    std::chrono::milliseconds step = std::chrono::milliseconds(100));

// Moves clock on in small steps while it lives, so that the short pauses of
// the threads under test pass while the test waits on them.
class ClockDriver {
 public:
  explicit ClockDriver(os::FakeClock& clock);
  ~ClockDriver();
  ClockDriver(const ClockDriver&) = delete;
  ClockDriver& operator=(const ClockDriver&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Whether the tests run under Wine, whose services differ from Windows in a
// few measured ways; a test that meets one says so instead of failing.
bool RunningUnderWine();

// A path written with "/" between levels, in the platform's own spelling.
std::wstring NativePath(std::wstring path);

std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& content);

// Everything a folder holds as one text: names, kinds, modes, owners, times
// and contents. Equal texts mean nothing in it changed.
std::string TreeFingerprint(const std::filesystem::path& dir);

}  // namespace testing_support

namespace testing_support {

struct ProcessResult {
  int exit_code = -1;  // -1 when killed by a signal or by the time-out
  int signal = 0;
  bool timed_out = false;
  std::string output;  // standard output and standard error together
  std::chrono::milliseconds elapsed{0};
};

// Runs program with args in directory cwd (empty: this one), killing it after
// timeout. No shell is involved.
ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const std::string& cwd = "",
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Runs this test program again inside new user and mount namespaces, where
// tmpfs can be mounted without privileges, with only the tests that filter
// names (DISABLED_ ones, which the ordinary run leaves out). env holds
// NAME=value pairs for the child. refused: the kernel gives no such namespace
// here, and the calling test should skip.
struct NamespaceRun {
  bool refused = false;
  ProcessResult process;
  // The child ended well, and exactly `tests` tests passed in it.
  bool AllPassed(int tests) const;
};
NamespaceRun RunTestsInMountNamespace(const std::string& gtest_filter,
                                      const std::vector<std::string>& env = {},
                                      std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Mounts a fresh tmpfs on dir (inside such a namespace); options as for mount -o.
bool MountTmpfs(const std::filesystem::path& dir, const std::string& options = "");

// Inside such a namespace: shadows the block-device tables of sysfs so that
// they describe a device named device (say "sdz1") on a USB bus, then mounts
// a fresh tmpfs on dir whose source is /dev/<device>. The volume lookups then
// take dir for a USB stick, as no test machine has one to plug in.
bool MountFakeUsbVolume(const std::filesystem::path& dir, const std::string& device);

// mount --bind: the volume stays intact while the bind comes and goes.
bool BindMount(const std::filesystem::path& from, const std::filesystem::path& to);

}  // namespace testing_support
