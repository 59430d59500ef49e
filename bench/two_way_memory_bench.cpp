// Whether a two-way task's bookkeeping stays bounded over a long run. The
// module is loaded with dlopen, as a host loads it, and given a two-way task
// over two fresh directories holding 2,000 small files. A generator then makes
// changes as fast as it can, alternating sides: mostly one of those files
// rewritten in place with new content, now and then a create, delete or
// rename among a few temporary names of that side. Each side rewrites its own
// half of the files: two writes of one file on both sides within one tick of
// the file system's clock are a true conflict, which the module keeps as two
// versions, and the trees would rightly never agree. After the first 10,000
// changes and then every 10,000, the module is left to settle (both trees
// equal, every name holding what was last written to it) and the process's
// resident memory, open descriptors, threads and inotify watches are sampled;
// every tenth sample is printed. Every copy the module makes leaves an echo
// to suppress; if that bookkeeping kept anything per change, the resident
// memory would climb with the count. After the first sample (the warm-up)
// memory may move within 10 MiB and the other three not at all.
// The generator never sleeps: every few thousand changes it waits for the
// trees to agree, so the kernel's event queue does not overflow. An overflow
// would still be survived (the task is brought back by a full sync), and the
// full syncs seen through the host window are reported.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "strandel/strandel.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFiles = 2000;
constexpr int kTempNames = 8;  // per side
// One change in this many is to a temporary name rather than a rewrite.
constexpr long kTempEvery = 20;
constexpr long kSampleEvery = 10000;
constexpr long kPrintEvery = 100000;
constexpr long kPaceEvery = 2000;
constexpr long kDefaultChanges = 1000000;
constexpr double kGrowthLimitMiB = 10;
constexpr auto kSettleTimeout = std::chrono::seconds(120);
constexpr auto kPollInterval = std::chrono::milliseconds(10);

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool WriteFile(const std::string& path, const std::string& data, int flags) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
  if (fd < 0) return false;
  const bool ok = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
  return ::close(fd) == 0 && ok;
}

// Name -> content of every entry in a flat directory; an entry that vanishes
// while it is read is left out, so a tree still changing compares unequal.
using Tree = std::map<std::string, std::string>;

Tree ReadTree(const fs::path& root) {
  Tree tree;
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return tree;
  std::array<char, 4096> buffer;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    const int fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    std::string& content = tree[name];
    ssize_t n;
    while ((n = ::read(fd, buffer.data(), buffer.size())) > 0) content.append(buffer.data(), n);
    ::close(fd);
  }
  ::closedir(dir);
  return tree;
}

// The names whose entries differ between two trees, missing ones included.
void PrintDifferences(const char* what, const Tree& a, const Tree& b) {
  for (const auto& [name, content] : a) {
    const auto it = b.find(name);
    if (it == b.end() || it->second != content) std::printf("  %s: %s\n", what, name.c_str());
  }
  for (const auto& [name, content] : b) {
    if (a.count(name) == 0) std::printf("  %s: %s\n", what, name.c_str());
  }
}

// Polls until both trees hold the same names with the same contents, the
// last ones written when those are given (no edit lost on the way); on
// time-out prints where they still differ.
bool WaitEqual(const fs::path& a, const fs::path& b, const Tree* written = nullptr) {
  const auto deadline = Clock::now() + kSettleTimeout;
  for (;;) {
    const auto tree_a = ReadTree(a);
    const auto tree_b = ReadTree(b);
    if (tree_a == tree_b && (written == nullptr || tree_a == *written)) return true;
    if (Clock::now() >= deadline) {
      PrintDifferences("a and b differ", tree_a, tree_b);
      if (written != nullptr) PrintDifferences("a differs from what was written", tree_a, *written);
      return false;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

std::string FileName(int i) { return "f" + std::to_string(i) + ".txt"; }

// Makes the changes; knows which temporary names of each side exist, and
// touches only its own side's files and names, so nothing it does races
// across the sides.
class Generator {
 public:
  // written: the trees as they are when it starts.
  Generator(const fs::path& a, const fs::path& b, Tree written)
      : roots_{a.string() + "/", b.string() + "/"}, written_(std::move(written)) {}

  // Every name with the contents last written to it, on whichever side.
  const Tree& Written() const { return written_; }

  void Change(long n) {
    const int side = static_cast<int>(n % 2);
    if (n % kTempEvery == kTempEvery - 1) {
      TempChange(side, n);
    } else {
      const int half = kFiles / 2;
      const std::string name = FileName(side * half + static_cast<int>(rng_() % half));
      const std::string path = roots_[side] + name;
      const std::string content = Content(n);
      Must(WriteFile(path, content, O_TRUNC), "rewrite", path);
      written_[name] = content;
    }
  }

 private:
  std::string Content(long n) {
    return "change " + std::to_string(n) + " " + std::to_string(rng_()) + "\n";
  }

  static std::string TempName(int side, int k) {
    std::string name = "tmp-";
    name += static_cast<char>('a' + side);
    return name + std::to_string(k);
  }
  std::string TempPath(int side, int k) const { return roots_[side] + TempName(side, k); }

  void TempChange(int side, long n) {
    auto& exists = exists_[side];
    const int k = static_cast<int>(rng_() % kTempNames);
    if (!exists[k]) {
      const std::string content = Content(n);
      Must(WriteFile(TempPath(side, k), content, O_CREAT | O_EXCL), "create", TempPath(side, k));
      written_[TempName(side, k)] = content;
      exists[k] = true;
      return;
    }
    const int to = static_cast<int>(rng_() % kTempNames);
    if (rng_() % 2 == 0 || exists[to]) {
      Must(::unlink(TempPath(side, k).c_str()) == 0, "delete", TempPath(side, k));
    } else {
      Must(::rename(TempPath(side, k).c_str(), TempPath(side, to).c_str()) == 0, "rename",
           TempPath(side, k));
      written_[TempName(side, to)] = written_[TempName(side, k)];
      exists[to] = true;
    }
    written_.erase(TempName(side, k));
    exists[k] = false;
  }

  // The generator alone touches its side's temporary names, so a failure
  // here means the module changed one behind its back.
  static void Must(bool ok, const char* what, const std::string& path) {
    if (!ok) {
      std::fprintf(stderr, "%s of %s failed: %s\n", what, path.c_str(), std::strerror(errno));
      std::exit(1);
    }
  }

  std::array<std::string, 2> roots_;
  Tree written_;
  std::array<std::array<bool, kTempNames>, 2> exists_{};
  std::mt19937_64 rng_{42};
};

int OpenDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count - 1;  // the iterator's own
}

// Watches of every inotify instance the process holds, from their fdinfo.
int InotifyWatches() {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fdinfo")) {
    std::ifstream info(entry.path());
    for (std::string line; std::getline(info, line);) count += line.starts_with("inotify wd:");
  }
  return count;
}

struct Sample {
  long changes = 0;
  double rss_mib = 0;
  long fds = 0;
  long threads = 0;
  long watches = 0;

  static Sample Take(long changes) {
    return {changes, ProcStatusKb("VmRSS") / 1024.0, OpenDescriptors(), ProcStatusKb("Threads"),
            InotifyWatches()};
  }
};

// Whether every sample after the warm-up stays within bounds of it; prints
// the range of each measure.
bool Flat(const std::vector<Sample>& samples) {
  const Sample& warm = samples.front();
  bool flat = true;
  auto range = [&](const char* what, auto field, double allowed) {
    double low = warm.*field;
    double high = warm.*field;
    for (const Sample& sample : samples) {
      low = std::min<double>(low, sample.*field);
      high = std::max<double>(high, sample.*field);
    }
    const bool within = high - warm.*field <= allowed && warm.*field - low <= allowed;
    flat &= within;
    std::printf("  %-8s after warm-up %8.1f, range %8.1f .. %8.1f  %s\n", what,
                static_cast<double>(warm.*field), low, high, within ? "flat" : "NOT FLAT");
  };
  range("rss MiB", &Sample::rss_mib, kGrowthLimitMiB);
  range("fds", &Sample::fds, 0);
  range("threads", &Sample::threads, 0);
  range("watches", &Sample::watches, 0);
  return flat;
}

long ParseChanges(int argc, char** argv) {
  if (argc == 1) return kDefaultChanges;
  char* end = nullptr;
  const long changes =
      argc == 3 && std::strcmp(argv[1], "--changes") == 0 ? std::strtol(argv[2], &end, 10) : 0;
  if (changes <= 0 || *end != '\0') {
    std::fprintf(stderr, "usage: two_way_memory_bench [--changes N]   (default %ld)\n",
                 kDefaultChanges);
    std::exit(2);
  }
  return changes;
}

// "10k" for a round thousand, else the plain count.
std::string Count(long n) {
  return n % 1000 == 0 ? std::to_string(n / 1000) + "k" : std::to_string(n);
}

// Makes the changes, settling at the pace points and sampling at the sample
// points; 1 when the trees stopped agreeing or a measure did not stay flat.
int Generate(HostedModule& module, const fs::path& a, const fs::path& b, long changes) {
  const uint64_t initial_syncs = module.Ends().count;
  Generator generator(a, b, ReadTree(a));
  std::vector<Sample> samples;
  const auto start = Clock::now();
  for (long n = 1; n <= changes; ++n) {
    generator.Change(n - 1);
    const bool sample = n % kSampleEvery == 0 || n == changes;
    if (!sample && n % kPaceEvery != 0) continue;
    const auto settle_start = Clock::now();
    if (!WaitEqual(a, b, &generator.Written())) {
      std::printf("after %ld changes the trees did not agree within %lld s\n", n,
                  static_cast<long long>(kSettleTimeout.count()));
      return 1;
    }
    if (!sample) continue;
    samples.push_back(Sample::Take(n));
    if (samples.size() > 1 && n % kPrintEvery != 0 && n != changes) continue;
    const Sample& now = samples.back();
    std::printf(
        "changes %7ld  rss %7.1f MiB  fds %3ld  threads %2ld  watches %4ld  settled in %5.0f ms  "
        "%5.0f changes/s  full syncs since start %llu\n",
        n, now.rss_mib, now.fds, now.threads, now.watches, Ms(Clock::now() - settle_start),
        n / std::chrono::duration<double>(Clock::now() - start).count(),
        static_cast<unsigned long long>(module.Ends().count - initial_syncs));
  }
  std::printf("%zu samples from %s to %s changes:\n", samples.size(),
              Count(samples.front().changes).c_str(), Count(samples.back().changes).c_str());
  return Flat(samples) ? 0 : 1;
}

int Run(long changes) {
  const fs::path data = ScratchDir();
  const fs::path scratch = MemoryScratchDir();
  const fs::path a = scratch / "a";
  const fs::path b = scratch / "b";
  fs::create_directories(a);
  fs::create_directories(b);
  for (int i = 0; i < kFiles; ++i) {
    WriteFile((a / FileName(i)).string(), "initial " + std::to_string(i) + "\n", O_CREAT | O_TRUNC);
  }
  std::printf("trees in %s, data in %s, %ld changes\n", scratch.c_str(), data.c_str(), changes);

  int rc = 0;
  {
    HostedModule module(STRANDEL_LIBRARY, data);
    WatchTaskInfo info = module.Info(L"two-way-memory", a, b);
    info.bSyncNow = TRUE;
    info.bBidirectional = TRUE;
    module.AddTask(info);
    // Adding a task starts its watch only; the first full sync is asked for.
    WatchTaskInfo sync = module.Info(L"two-way-memory", a, b);
    sync.bBidirectional = TRUE;
    module.monitor()->SyncWatchTask(&sync);
    module.FreeInfo(sync);
    if (WaitEqual(a, b)) {
      rc = Generate(module, a, b, changes);
    } else {
      std::printf("the first sync did not bring the trees in step\n");
      rc = 1;
    }
  }
  // A failure leaves the trees and the history to look into.
  if (rc == 0) {
    fs::remove_all(scratch);
    fs::remove_all(data);
  } else {
    std::printf("trees and history left in place\n");
  }
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  return Run(ParseChanges(argc, argv));
}
