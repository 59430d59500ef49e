// What the mount monitor costs, read from /proc for its thread
// (/proc/self/task/<tid>/stat and status) and for the whole process:
//   idle   the mount table left alone: CPU time and context switches should
//          not move at all;
//   drive  a tmpfs mounted on the drive /mnt/benchstick and unmounted 50 ms
//          later, ten times a second: arrivals and removals reported (a
//          mount that lasts no longer than the monitor's pause between two
//          reads of the table may pass unseen), for under 1 % of a core;
//   churn  a tmpfs mounted and unmounted on /mnt/churn/x, which is no drive,
//          a thousand changes a second: CPU and wake-ups stay in proportion
//          to the changes (no busy loop) and nothing is reported.
// A wake-up is a voluntary context switch of the monitor's thread (one sleep
// in poll() over); the forced switches beside it are preemptions. A wake-up
// reads the whole mount table, so its cost grows with the table's size, which
// is printed first. The load is made with mount(2) and umount2(2) by a child
// process, paced by absolute deadlines, so that its CPU time is not counted
// as ours.
//
// Mounting needs no privilege: the benchmark runs itself again under
// `unshare -Urm` and puts a tmpfs on /mnt of its own namespace, whose table
// no other mount disturbs.
//   build-bench/bench/mount_monitor_bench [--idle-seconds N (60)] [--churn-seconds N (30)]
#include <sys/mount.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os/mount_monitor.h"
#include "os/volumes.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kInNamespace = "STRANDEL_MOUNT_BENCH_IN_NAMESPACE";
constexpr const char* kDrive = "/mnt/benchstick";
constexpr const char* kNotADrive = "/mnt/churn/x";
// Lets the monitor reach poll() before a window opens, and finish with the
// last change before it closes.
constexpr auto kSettle = std::chrono::milliseconds(200);

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "mount_monitor_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  if (!in) Fail("cannot read " + path);
  return {std::istreambuf_iterator<char>(in), {}};
}

// utime + stime of a /proc stat file, in clock ticks.
long StatTicks(const std::string& path) {
  const std::string text = ReadText(path);
  // The command name in parentheses may hold spaces; the fields after it start at the third.
  std::istringstream fields(text.substr(text.rfind(')') + 1));
  std::string skipped;
  for (int field = 3; field < 14; ++field) fields >> skipped;
  long utime = 0, stime = 0;
  if (!(fields >> utime >> stime)) Fail("cannot parse " + path);
  return utime + stime;
}

long StatusField(const std::string& text, const std::string& name) {
  const size_t at = text.find("\n" + name + ":");
  if (at == std::string::npos) Fail("no " + name + " in a task status");
  return std::atol(text.c_str() + at + name.size() + 2);
}

std::set<std::string> Tasks() {
  std::set<std::string> tasks;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    tasks.insert(task.path().filename());
  }
  return tasks;
}

// What the monitor's callback saw; it runs on the monitor's thread.
struct Reports {
  std::atomic<long> calls{0}, arrived{0}, removed{0};
};

struct Sample {
  Clock::time_point at;
  long thread_ticks, process_ticks, voluntary, forced, calls, arrived, removed;
};

Sample Take(const std::string& task, const Reports& reports) {
  const std::string status = ReadText(task + "/status");
  return {Clock::now(),
          StatTicks(task + "/stat"),
          StatTicks("/proc/self/stat"),
          StatusField(status, "voluntary_ctxt_switches"),
          StatusField(status, "nonvoluntary_ctxt_switches"),
          reports.calls,
          reports.arrived,
          reports.removed};
}

void Row(const char* name, long changes, const Sample& a, const Sample& b) {
  const double seconds = std::chrono::duration<double>(b.at - a.at).count();
  const double tick_ms = 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
  const auto percent = [&](long ticks) { return ticks * tick_ms / 10 / seconds; };
  std::printf("%-6s %7.1f %8ld %8.0f %8.3f %9.3f %7ld+%-7ld %9.1f %9ld %8ld %8ld\n", name, seconds,
              changes, (b.thread_ticks - a.thread_ticks) * tick_ms,
              percent(b.thread_ticks - a.thread_ticks), percent(b.process_ticks - a.process_ticks),
              b.voluntary - a.voluntary, b.forced - a.forced, (b.voluntary - a.voluntary) / seconds,
              b.calls - a.calls, b.arrived - a.arrived, b.removed - a.removed);
}

// Mounts a tmpfs on path and unmounts it half a period later, cycles times,
// from a child process. The parent has threads, so the child makes system
// calls only; it exits 1 when the kernel refuses one.
void MountCycles(const char* path, long cycles, long period_ns) {
  const pid_t pid = ::fork();
  if (pid < 0) Fail("fork failed");
  if (pid == 0) {
    timespec next{};
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    for (long change = 0; change < 2 * cycles; ++change) {
      next.tv_nsec += period_ns / 2;
      next.tv_sec += next.tv_nsec / 1000000000;
      next.tv_nsec %= 1000000000;
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
      }
      const int rc =
          change % 2 == 0 ? ::mount("tmpfs", path, "tmpfs", 0, nullptr) : ::umount2(path, 0);
      if (rc != 0) ::_exit(1);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail(std::string("mounting on ") + path);
}

// Runs this program again in a user and mount namespace of its own.
[[noreturn]] void ReexecInNamespace(int argc, char** argv) {
  const std::string self = fs::read_symlink("/proc/self/exe");
  std::vector<char*> args{const_cast<char*>("unshare"), const_cast<char*>("-Urm"),
                          const_cast<char*>(self.c_str())};
  args.insert(args.end(), argv + 1, argv + argc);
  args.push_back(nullptr);
  ::setenv(kInNamespace, "1", 1);
  ::execv("/usr/bin/unshare", args.data());
  Fail("cannot run /usr/bin/unshare");
}

}  // namespace

int main(int argc, char** argv) {
  long idle_seconds = 60, churn_seconds = 30;
  bool known = argc % 2 == 1;
  for (int i = 1; known && i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--idle-seconds") {
      idle_seconds = std::atol(argv[i + 1]);
    } else if (option == "--churn-seconds") {
      churn_seconds = std::atol(argv[i + 1]);
    } else {
      known = false;
    }
  }
  if (!known || idle_seconds <= 0 || churn_seconds <= 0) {
    std::fprintf(stderr, "usage: mount_monitor_bench [--idle-seconds N] [--churn-seconds N]\n");
    return 2;
  }
  if (std::getenv(kInNamespace) == nullptr) ReexecInNamespace(argc, argv);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // A tmpfs over /mnt lets the drive directories be made.
  if (::mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) != 0) Fail("cannot mount a tmpfs on /mnt");
  fs::create_directories(kDrive);
  fs::create_directories(kNotADrive);

  Reports reports;
  os::MountMonitor monitor([&reports](const os::DriveChanges& changes) {
    ++reports.calls;
    reports.arrived += static_cast<long>(changes.arrived.size());
    reports.removed += static_cast<long>(changes.removed.size());
  });
  const auto before = Tasks();
  if (!monitor.Start()) Fail("the monitor did not start");
  std::vector<std::string> started;
  for (const auto& task : Tasks()) {
    if (before.count(task) == 0) started.push_back(task);
  }
  if (started.size() != 1) Fail("cannot tell the monitor's thread");
  const std::string task = "/proc/self/task/" + started[0];
  std::this_thread::sleep_for(kSettle);

  std::printf("mount table: %zu entries; monitor thread %s; CPU time in %ld ms ticks\n",
              os::ReadMountTable().size(), started[0].c_str(), 1000 / ::sysconf(_SC_CLK_TCK));
  std::printf("%-6s %7s %8s %8s %8s %9s %15s %9s %9s %8s %8s\n", "case", "secs", "changes",
              "mon ms", "mon CPU%", "proc CPU%", "switches v+n", "wakes/s", "callbacks", "arrived",
              "removed");

  Sample start = Take(task, reports);
  std::this_thread::sleep_for(std::chrono::seconds(idle_seconds));
  Row("idle", 0, start, Take(task, reports));

  start = Take(task, reports);
  MountCycles(kDrive, 10 * churn_seconds, 100'000'000);
  std::this_thread::sleep_for(kSettle);
  Row("drive", 20 * churn_seconds, start, Take(task, reports));

  start = Take(task, reports);
  MountCycles(kNotADrive, 500 * churn_seconds, 2'000'000);
  std::this_thread::sleep_for(kSettle);
  Row("churn", 1000 * churn_seconds, start, Take(task, reports));
  return 0;
}
