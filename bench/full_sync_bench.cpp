// Speed and memory of a full directory sync, measured as a host sees it: the
// library is loaded with dlopen, given a one-way task that does not watch, and
// asked for one sync through SyncWatchTask; the sync has ended when the host
// window gets the report with operation 6. In the same run and on the same
// tree (by default 20,000 files of 4 KiB in 400 directories plus 20 of 8 MiB)
// the tools a user would pick instead are timed, interleaved per round so that
// drift of a busy machine hits all of them:
//   initial  into an empty destination         ours, cp -a, rsync -a
//   noop     nothing changed since             ours, rsync -a, find walk of both trees
//   modify   1 % of the files rewritten        ours, rsync -a
// Medians of the rounds and the ratios follow. Then a second tree of 200,000
// small files gives the peak memory of one initial and one no-op sync: VmHWM
// of this process after the sync minus VmRSS before it (the high-water mark is
// reset just before).
// Every destination is checked after its run, untimed: same paths, types and
// sizes as the source, and the rewritten files byte for byte.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "strandel/strandel.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kSyncTimeout = std::chrono::minutes(30);

struct Options {
  long files = 20000;
  long dirs = 400;
  size_t size = 4096;
  long big = 20;
  size_t big_size = size_t{8} << 20;
  int rounds = 3;
  int modify_pct = 1;
  long memory_files = 200000;  // 0: no memory figure
  long memory_dirs = 2000;
  const char* library = STRANDEL_LIBRARY;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds(const struct rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Wall time, and the processor time (user and system, every thread) it took:
// on a shared machine the second says more about the work itself.
struct Timing {
  double wall = 0;
  double cpu = 0;
  Timing operator+(const Timing& other) const { return {wall + other.wall, cpu + other.cpu}; }
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void WriteRandom(const std::string& path, size_t size, std::mt19937_64& rng, bool in_place) {
  static std::vector<char> buffer;
  buffer.resize(size);
  for (size_t i = 0; i + 8 <= size; i += 8) {
    const uint64_t word = rng();
    std::memcpy(&buffer[i], &word, 8);
  }
  // In place: same inode, no truncation, as an editor that rewrites a record.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CLOEXEC | (in_place ? 0 : O_CREAT | O_TRUNC), 0644);
  if (fd < 0 || ::write(fd, buffer.data(), size) != static_cast<ssize_t>(size) ||
      ::close(fd) != 0) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
}

// files spread round-robin over dirs directories dNNNN, plus big files in big/.
void Generate(const fs::path& root, long files, long dirs, size_t size, long big, size_t big_size) {
  std::mt19937_64 rng(42);
  fs::create_directories(root);
  for (long d = 0; d < dirs; ++d) fs::create_directory(root / ("d" + std::to_string(d)));
  for (long i = 0; i < files; ++i) {
    WriteRandom((root / ("d" + std::to_string(i % dirs)) / ("f" + std::to_string(i) + ".bin")),
                size, rng, false);
  }
  if (big > 0) fs::create_directory(root / "big");
  for (long i = 0; i < big; ++i) {
    WriteRandom(root / "big" / ("b" + std::to_string(i) + ".bin"), big_size, rng, false);
  }
}

// Runs a program (no shell), its output discarded unless shown.
Timing Run(const std::vector<std::string>& args, bool quiet = true) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  const auto start = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "cannot start %s\n", argv[0]);
    std::exit(1);
  }
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  const Timing t{Seconds(Clock::now() - start), CpuSeconds(usage)};
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0].c_str());
    std::exit(1);
  }
  return t;
}

// Relative path -> "d" for a directory, else the size.
std::map<std::string, std::string> Listing(const fs::path& root) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = e.path().lexically_relative(root).string();
    out[rel] = e.is_directory() ? "d" : std::to_string(e.file_size());
  }
  return out;
}

bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary);
  std::ifstream fb(b, std::ios::binary);
  return std::equal(std::istreambuf_iterator<char>(fa), std::istreambuf_iterator<char>(),
                    std::istreambuf_iterator<char>(fb), std::istreambuf_iterator<char>());
}

void Verify(const char* tool, const fs::path& src, const fs::path& dst,
            const std::vector<std::string>& rewritten) {
  const auto a = Listing(src);
  const auto b = Listing(dst);
  long mismatched = 0;
  for (const auto& [path, kind] : a) {
    const auto it = b.find(path);
    mismatched += it == b.end() || it->second != kind;
  }
  mismatched += static_cast<long>(b.size() > a.size() ? b.size() - a.size() : 0);
  for (const auto& rel : rewritten) mismatched += !SameBytes(src / rel, dst / rel);
  if (mismatched != 0) {
    std::fprintf(stderr, "%s: destination differs from source in %ld entries\n", tool, mismatched);
    std::exit(1);
  }
}

// The loaded module, driving one sync at a time.
class Module {
 public:
  Module(const char* path, const fs::path& data) : host_(path, data) {}

  // A one-way task that is not watched: only the syncs asked for run.
  void AddTask(const std::wstring& name, const fs::path& src, const fs::path& dst) {
    host_.AddTask(host_.Info(name, src, dst));
  }

  // From the request to the end report; the processor time is the whole
  // process's, which does nothing else meanwhile.
  Timing Sync(const std::wstring& name, const fs::path& src, const fs::path& dst) {
    WatchTaskInfo info = host_.Info(name, src, dst);
    const uint64_t seen = host_.Ends().count;
    struct rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    host_.monitor()->SyncWatchTask(&info);
    const bool ended = host_.WaitForEnd(seen, kSyncTimeout);
    const double wall = Seconds(Clock::now() - start);
    struct rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    host_.FreeInfo(info);
    const HostedModule::SyncEnds ends = host_.Ends();
    if (!ended || ends.last_task != name) {
      std::fprintf(stderr, "the sync of %ls did not end\n", name.c_str());
      std::exit(1);
    }
    if (ends.last_failed != 0) {
      std::fprintf(stderr, "the sync of %ls failed %llu items\n", name.c_str(),
                   static_cast<unsigned long long>(ends.last_failed));
      std::exit(1);
    }
    return {wall, CpuSeconds(after) - CpuSeconds(before)};
  }

 private:
  HostedModule host_;
};

// Rewrites every (100 / pct)-th small file, starting at round, and
// ceil(pct % of the big ones): same size, new bytes, new time.
std::vector<std::string> Modify(const Options& o, const fs::path& src, int round) {
  std::mt19937_64 rng(1000 + round);
  std::vector<std::string> rewritten;
  const long step = std::max(1, 100 / o.modify_pct);
  for (long i = round % step; i < o.files; i += step) {
    rewritten.push_back("d" + std::to_string(i % o.dirs) + "/f" + std::to_string(i) + ".bin");
  }
  const long big = (o.big * o.modify_pct + 99) / 100;
  for (long k = 0; k < big; ++k) {
    rewritten.push_back("big/b" + std::to_string((round * big + k) % o.big) + ".bin");
  }
  for (const auto& rel : rewritten) {
    const auto before = fs::last_write_time(src / rel);
    WriteRandom(src / rel, fs::file_size(src / rel), rng, true);
    // rsync's quick check looks at whole seconds: in a round shorter than a
    // second it would miss a second rewrite of the same file.
    if (fs::last_write_time(src / rel) - before < std::chrono::seconds(1)) {
      fs::last_write_time(src / rel, before + std::chrono::seconds(1));
    }
  }
  return rewritten;
}

struct Results {
  std::map<std::string, std::vector<Timing>> times;  // "workload tool" -> runs
  void Add(const std::string& key, Timing t) {
    times[key].push_back(t);
    std::printf("  %-22s %8.3f s  (cpu %.3f s)\n", key.c_str(), t.wall, t.cpu);
  }
  double Of(const std::string& key) { return Median(key, &Timing::wall); }
  double CpuOf(const std::string& key) { return Median(key, &Timing::cpu); }
  double Median(const std::string& key, double Timing::*part) {
    std::vector<double> v;
    for (const Timing& t : times[key]) v.push_back(t.*part);
    return ::Median(v);
  }
};

// Every initial copy goes into a directory of its own, and none is deleted
// before the initial rounds are over: ext4 passes over inodes freed in the
// last minute when it allocates new ones, so a tree deleted just before a
// copy slows that copy down by up to a factor of three, and by how much
// depends on what else was deleted lately.
void SpeedRounds(const Options& o, Module& module, const fs::path& work, Results& r) {
  const fs::path src = work / "src";
  std::printf("tree: %ld files of %zu B in %ld directories, %ld of %zu B\n", o.files, o.size,
              o.dirs, o.big, o.big_size);
  Generate(src, o.files, o.dirs, o.size, o.big, o.big_size);
  const std::string src_slash = src.string() + "/";
  fs::path cp;
  fs::path rsync;
  fs::path ours;
  std::wstring task;
  for (int round = 0; round < o.rounds; ++round) {
    std::printf("round %d\n", round + 1);
    const std::string n = std::to_string(round);
    cp = work / ("dst.cp." + n);
    rsync = work / ("dst.rsync." + n);
    ours = work / ("dst.strandel." + n);
    task = L"bench" + std::to_wstring(round);
    for (const fs::path& d : {cp, rsync, ours}) fs::create_directories(d);
    module.AddTask(task, src, ours);
    ::sync();
    r.Add("initial cp", Run({"cp", "-a", src.string() + "/.", cp.string() + "/"}));
    Verify("cp", src, cp, {});
    ::sync();
    r.Add("initial rsync", Run({"rsync", "-a", src_slash, rsync.string() + "/"}));
    Verify("rsync", src, rsync, {});
    ::sync();
    r.Add("initial strandel", module.Sync(task, src, ours));
    Verify("strandel", src, ours, {});
  }
  for (int round = 0; round + 1 < o.rounds; ++round) {
    for (const char* tool : {"cp", "rsync", "strandel"}) {
      fs::remove_all(work / ("dst." + std::string(tool) + "." + std::to_string(round)));
    }
  }
  for (int round = 0; round < o.rounds; ++round) {
    std::printf("round %d\n", round + 1);
    ::sync();
    r.Add("noop find", Run({"find", src.string(), "-printf", "%s %T@\\n"}) +
                           Run({"find", ours.string(), "-printf", "%s %T@\\n"}));
    ::sync();
    r.Add("noop rsync", Run({"rsync", "-a", src_slash, rsync.string() + "/"}));
    ::sync();
    r.Add("noop strandel", module.Sync(task, src, ours));
  }
  for (int round = 0; round < o.rounds; ++round) {
    std::printf("round %d\n", round + 1);
    const auto rewritten = Modify(o, src, round);
    ::sync();
    r.Add("modify rsync", Run({"rsync", "-a", src_slash, rsync.string() + "/"}));
    Verify("rsync", src, rsync, rewritten);
    ::sync();
    r.Add("modify strandel", module.Sync(task, src, ours));
    Verify("strandel", src, ours, rewritten);
  }
  for (const fs::path& d : {cp, rsync, ours, src}) fs::remove_all(d);
}

// One sync in a process of its own, so that no heap kept from earlier work
// hides what this one needs: prints its peak above what the process held
// before the sync.
int MeasureOnce(const char* library, const fs::path& src, const fs::path& dst) {
  const fs::path data = ScratchDir();
  double seconds = 0;
  long before = 0;
  long peak = 0;
  {
    Module module(library, data);
    module.AddTask(L"memory", src, dst);
    ::sync();
    // "5" resets VmHWM to the present RSS.
    std::ofstream("/proc/self/clear_refs") << "5";
    before = ProcStatusKb("VmRSS");
    seconds = module.Sync(L"memory", src, dst).wall;
    peak = ProcStatusKb("VmHWM");
  }
  fs::remove_all(data);
  std::printf("%.3f s, peak %.1f MiB above the %.1f MiB before\n", seconds,
              (peak - before) / 1024.0, before / 1024.0);
  return 0;
}

void Memory(const Options& o, const char* self, const fs::path& work) {
  const fs::path src = work / "msrc";
  const fs::path dst = work / "mdst";
  std::printf("memory tree: %ld files of %zu B in %ld directories\n", o.memory_files, o.size,
              o.memory_dirs);
  Generate(src, o.memory_files, o.memory_dirs, o.size, 0, 0);
  fs::create_directories(dst);
  for (const char* what : {"initial", "noop"}) {
    std::printf("memory %-8s %ld files: ", what, o.memory_files);
    std::fflush(stdout);
    Run({self, "--measure-once", src.string(), dst.string(), "--library", o.library}, false);
  }
  Verify("strandel", src, dst, {});
  fs::remove_all(src);
  fs::remove_all(dst);
}

bool Parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--files")
      o->files = std::atol(value);
    else if (key == "--dirs")
      o->dirs = std::atol(value);
    else if (key == "--size")
      o->size = std::strtoull(value, nullptr, 10);
    else if (key == "--big")
      o->big = std::atol(value);
    else if (key == "--big-size")
      o->big_size = std::strtoull(value, nullptr, 10);
    else if (key == "--rounds")
      o->rounds = std::atoi(value);
    else if (key == "--memory-files")
      o->memory_files = std::atol(value);
    else if (key == "--library")
      o->library = value;
    else
      return false;
  }
  return argc % 2 == 1 && o->files > 0 && o->dirs > 0 && o->rounds >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "C.UTF-8");
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc == 6 && std::strcmp(argv[1], "--measure-once") == 0) {
    return MeasureOnce(argv[5], argv[2], argv[3]);
  }
  Options o;
  if (!Parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: full_sync_bench [--files N] [--dirs N] [--size B] [--big N] "
                 "[--big-size B] [--rounds N (0: memory only)] [--memory-files N (0: none)] "
                 "[--library PATH]\n");
    return 2;
  }
  const fs::path work = ScratchDir();
  const fs::path data = work / "data";
  fs::create_directories(data);
  Results r;
  if (o.rounds > 0) {
    Module module(o.library, data);
    SpeedRounds(o, module, work, r);
    std::printf("medians of %d rounds (s):\n", o.rounds);
    std::printf(
        "  initial  strandel %.3f  cp -a %.3f  rsync %.3f   ratio %.2f x cp, %.2f x rsync\n",
        r.Of("initial strandel"), r.Of("initial cp"), r.Of("initial rsync"),
        r.Of("initial strandel") / r.Of("initial cp"),
        r.Of("initial strandel") / r.Of("initial rsync"));
    std::printf(
        "  noop     strandel %.3f  find %.3f  rsync %.3f   ratio %.2f x find, %.2f x rsync\n",
        r.Of("noop strandel"), r.Of("noop find"), r.Of("noop rsync"),
        r.Of("noop strandel") / r.Of("noop find"), r.Of("noop strandel") / r.Of("noop rsync"));
    std::printf("  modify   strandel %.3f  rsync %.3f   ratio %.2f x rsync\n",
                r.Of("modify strandel"), r.Of("modify rsync"),
                r.Of("modify strandel") / r.Of("modify rsync"));
    std::printf("processor time, medians (s):\n");
    for (const char* w : {"initial", "noop", "modify"}) {
      std::printf("  %-8s", w);
      for (const char* tool : {"strandel", "cp", "rsync", "find"}) {
        const std::string key = std::string(w) + " " + tool;
        if (r.times.count(key) != 0) std::printf(" %s %.3f", tool, r.CpuOf(key));
      }
      std::printf("\n");
    }
  }
  if (o.memory_files > 0) Memory(o, fs::read_symlink("/proc/self/exe").c_str(), work);
  fs::remove_all(work);
  return 0;
}
