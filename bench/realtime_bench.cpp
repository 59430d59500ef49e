// End-to-end speed of a one-way task, measured as a host sees it: the library
// is loaded with dlopen, started through its exports and given a task over two
// fresh directories. Two figures:
//   latency  one new 4 KiB file at a time, from just before open() in the
//            source to a byte-identical copy in the destination;
//   burst    10,000 files of 4 KiB written as fast as possible into 10 new
//            subdirectories, until the destination holds them all, beside
//            `cp -r` of the same tree as the reference.
// With --external SRC DST nothing is loaded: some other syncer (started by
// bench/realtime_peers.sh) is expected to mirror SRC into DST, and the same
// measurements run against it.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "strandel/strandel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kLatencyFiles = 100;
constexpr int kBurstFiles = 10000;
constexpr int kBurstDirs = 10;
constexpr size_t kFileSize = 4096;
// Every wait gives up after this long, so a syncer that stalls cannot hang the run.
constexpr int kTimeoutSeconds = 60;
constexpr auto kTimeout = std::chrono::seconds(kTimeoutSeconds);

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string RandomBytes(std::mt19937_64& rng) {
  std::string data(kFileSize, '\0');
  for (size_t i = 0; i < kFileSize; i += sizeof(uint64_t)) {
    const uint64_t word = rng();
    std::memcpy(&data[i], &word, sizeof(word));
  }
  return data;
}

// Plain syscalls, so the timed part holds nothing but the work itself.
bool WriteFile(const std::string& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && ok;
}

bool HasSize(const std::string& path, size_t size) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         static_cast<size_t>(st.st_size) == size;
}

bool HasContent(const std::string& path, const std::string& data, std::string& buffer) {
  if (!HasSize(path, data.size())) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  buffer.resize(data.size() + 1);
  size_t got = 0;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
    if (got == buffer.size()) break;
  }
  ::close(fd);
  return got == data.size() && std::memcmp(buffer.data(), data.data(), got) == 0;
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const size_t rank = static_cast<size_t>(p * static_cast<double>(values.size()) + 0.999999);
  return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

// Waits until the syncer is watching: a file written now must come across.
// A syncer still starting may miss one write, so the probe is written again
// every half second until a copy appears.
bool WaitReady(const fs::path& src, const fs::path& dst) {
  std::mt19937_64 rng(7);
  const std::string data = RandomBytes(rng);
  std::string buffer;
  const auto deadline = Clock::now() + kTimeout;
  auto next_write = Clock::now();
  while (Clock::now() < deadline) {
    if (Clock::now() >= next_write) {
      if (!WriteFile(src / "ready.probe", data)) return false;
      next_write = Clock::now() + std::chrono::milliseconds(500);
    }
    if (HasContent(dst / "ready.probe", data, buffer)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

void MeasureLatency(const std::string& label, const fs::path& src, const fs::path& dst) {
  fs::create_directory(src / "latency");
  // The directory itself must reach the destination before the clock starts
  // for its first file.
  const auto deadline = Clock::now() + kTimeout;
  while (!fs::is_directory(dst / "latency") && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (watch < 0 ||
      ::inotify_add_watch(watch, (dst / "latency").c_str(), IN_CLOSE_WRITE | IN_MOVED_TO) < 0) {
    std::perror("inotify");
    std::exit(1);
  }
  alignas(inotify_event) char events[4096];
  std::mt19937_64 rng(1);
  std::vector<double> samples;
  std::string buffer;
  int missing = 0;
  for (int i = 0; i < kLatencyFiles; ++i) {
    const std::string name = "/latency/f" + std::to_string(i);
    const std::string data = RandomBytes(rng);
    const std::string to = dst.string() + name;
    const auto start = Clock::now();
    if (!WriteFile(src.string() + name, data)) {
      std::fprintf(stderr, "cannot write %s\n", (src.string() + name).c_str());
      std::exit(1);
    }
    // Sleep on the destination's events rather than spin: on a small machine
    // a spinning reader takes the core the syncer needs and measures that.
    const auto give_up = start + std::chrono::seconds(10);
    bool arrived = false;
    while (!(arrived = HasContent(to, data, buffer)) && Clock::now() < give_up) {
      pollfd pfd{watch, POLLIN, 0};
      if (::poll(&pfd, 1, 10) > 0) {
        while (::read(watch, events, sizeof events) > 0) {
        }
      }
    }
    if (arrived) {
      samples.push_back(Ms(Clock::now() - start));
    } else {
      ++missing;
    }
    // A short pause, so each file is a change on its own and not part of a train.
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::close(watch);
  if (samples.empty()) {
    std::printf("%-16s latency: no file arrived within 10 s (%d of %d missing)\n", label.c_str(),
                missing, kLatencyFiles);
    return;
  }
  std::printf("%-16s latency over %zu files: p50 %.2f ms  p95 %.2f ms  max %.2f ms", label.c_str(),
              samples.size(), Percentile(samples, 0.50), Percentile(samples, 0.95),
              *std::max_element(samples.begin(), samples.end()));
  if (missing > 0) std::printf("  (%d did not arrive within 10 s)", missing);
  std::printf("\n");
}

double RunTimed(const std::vector<std::string>& args) {
  const auto start = Clock::now();
  RunCommand(args);
  return Ms(Clock::now() - start);
}

std::string BurstName(int i) {
  return "/burst/d" + std::to_string(i % kBurstDirs) + "/f" + std::to_string(i);
}

void MeasureBurst(const std::string& label, const fs::path& src, const fs::path& dst,
                  const fs::path& scratch) {
  std::mt19937_64 rng(2);
  std::vector<std::string> contents;
  contents.reserve(kBurstFiles);
  for (int i = 0; i < kBurstFiles; ++i) contents.push_back(RandomBytes(rng));
  std::vector<std::string> targets;
  targets.reserve(kBurstFiles);
  for (int i = 0; i < kBurstFiles; ++i) targets.push_back(dst.string() + BurstName(i));

  const auto start = Clock::now();
  ::mkdir((src / "burst").c_str(), 0755);
  for (int d = 0; d < kBurstDirs; ++d) {
    ::mkdir((src.string() + "/burst/d" + std::to_string(d)).c_str(), 0755);
  }
  for (int i = 0; i < kBurstFiles; ++i) {
    if (!WriteFile(src.string() + BurstName(i), contents[i])) {
      std::fprintf(stderr, "cannot write %s\n", (src.string() + BurstName(i)).c_str());
      std::exit(1);
    }
  }
  const double written_ms = Ms(Clock::now() - start);

  // Files only ever appear, so each pass resumes at the first one not yet
  // seen and stops at the next one still absent: polling stays cheap and
  // leaves the CPU to the syncer, and the pass after the last arrival finds
  // the rest.
  size_t seen = 0;
  const auto deadline = start + kTimeout;
  while (seen < targets.size() && Clock::now() < deadline) {
    while (seen < targets.size() && HasSize(targets[seen], kFileSize)) ++seen;
    if (seen < targets.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const double synced_ms = Ms(Clock::now() - start);
  // A pass stops at the first absent file, so on a timeout count them all.
  const size_t missing = static_cast<size_t>(
      std::count_if(targets.begin() + static_cast<ptrdiff_t>(seen), targets.end(),
                    [](const std::string& t) { return !HasSize(t, kFileSize); }));

  // Outside the clock: every file that arrived must be byte-identical.
  int different = 0;
  std::string buffer;
  for (int i = 0; i < kBurstFiles; ++i) {
    if (HasSize(targets[i], kFileSize) && !HasContent(targets[i], contents[i], buffer)) {
      ++different;
    }
  }

  // The burst's own dirty pages are flushed first, so that cp is not timed
  // against their writeback.
  ::sync();
  const fs::path copy = scratch / "cp-copy";
  const double cp_ms = RunTimed({"cp", "-r", (src / "burst").string(), copy.string()});
  fs::remove_all(copy);

  std::printf("%-16s burst of %d files (written in %.0f ms): ", label.c_str(), kBurstFiles,
              written_ms);
  if (missing == 0) {
    std::printf("all in destination after %.0f ms", synced_ms);
  } else {
    std::printf("did not finish within %d s: %d of %d present, %zu missing", kTimeoutSeconds,
                kBurstFiles - static_cast<int>(missing), kBurstFiles, missing);
  }
  std::printf("; cp -r %.0f ms", cp_ms);
  if (missing == 0) std::printf("; ratio %.2fx cp -r", synced_ms / cp_ms);
  if (different > 0) std::printf("; %d files differ", different);
  std::printf("\n");
}

int RunOurs(const char* library_path) {
  const fs::path data = ScratchDir();
  const fs::path scratch = ScratchDir();
  const fs::path src = scratch / "src";
  const fs::path dst = scratch / "dst";
  fs::create_directories(src);
  fs::create_directories(dst);

  int rc = 0;
  {
    HostedModule module(library_path, data);
    WatchTaskInfo info = module.Info(L"realtime-bench", src, dst);
    info.bSyncNow = TRUE;
    module.AddTask(info);
    if (!WaitReady(src, dst)) {
      std::printf("strandel         did not start mirroring within %d s\n", kTimeoutSeconds);
      rc = 1;
    } else {
      MeasureLatency("strandel", src, dst);
      MeasureBurst("strandel", src, dst, data);
    }
    std::fflush(stdout);
  }
  fs::remove_all(scratch);
  fs::remove_all(data);
  return rc;
}

int RunExternal(const std::string& label, const fs::path& src, const fs::path& dst) {
  if (!fs::is_directory(src) || !fs::is_directory(dst)) {
    std::fprintf(stderr, "%s and %s must both be directories\n", src.c_str(), dst.c_str());
    return 2;
  }
  if (!WaitReady(src, dst)) {
    std::printf("%-16s did not start mirroring within %d s\n", label.c_str(), kTimeoutSeconds);
    return 1;
  }
  const fs::path scratch = ScratchDir();
  MeasureLatency(label, src, dst);
  MeasureBurst(label, src, dst, scratch);
  fs::remove_all(scratch);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc >= 4 && std::strcmp(argv[1], "--external") == 0) {
    return RunExternal(argc >= 5 ? argv[4] : "external", argv[2], argv[3]);
  }
  if (argc != 1) {
    std::fprintf(stderr, "usage: realtime_bench [--external SRC DST [LABEL]]\n");
    return 2;
  }
  return RunOurs(STRANDEL_LIBRARY);
}
