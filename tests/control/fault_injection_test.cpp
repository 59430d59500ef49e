// The whole engine over real folders while a share of the file primitives'
// calls fail with EIO, ENOSPC, EACCES, ENOENT or EINTR: first a burst of
// 10,000 changes followed in real time, then a full sync of a few thousand
// files. Nothing may crash or hang, every item that failed must say so in the
// history, and once the faults stop one full sync must bring the trees in step.
//
// What "failed" means is what the engine finally made of an item, not which
// calls were failed: a copy is tried again only while its source is locked
// (none of these errnos is a lock), but the handlers try once more after
// making a missing parent, and an item changed again gets another record, so
// an injected fault may still end in success. So the trees are judged:
// - in real time, each item that differs between the trees afterwards is
//   named by a failure row (of its own record, or of the directory it came
//   with), and the last outcome row naming it is not a success;
// - a full sync's outcome rows name the roots, not the item; each failure is
//   told to the host with its path instead, so each differing item must be
//   among those reports, and the failure rows must match them one for one.
// A full sync never deletes: a removal or rename that failed leaves the old
// name in the destination for good, so the healed trees may differ only by
// such names, each named by a failure row.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "control/main_frame.h"
#include "control/watcher_monitor.h"
#include "os/file_ops.h"
#include "os/last_error.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "sql_rows.h"
#include "sync/full_sync.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ClockDriver;
using testing_support::PollUntil;
using testing_support::TempDir;

constexpr std::array<int, 5> kErrnos = {EIO, ENOSPC, EACCES, ENOENT, EINTR};

// Each round of the burst makes ten changes. Instrumented builds run many
// times slower: a quarter of the work keeps them within the suite's time-out.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kRounds = 250;
#else
constexpr int kRounds = 1000;
#endif
constexpr UINT kProgressMessage = WM_USER + 100;

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

uint64_t Hash(std::string_view text, uint64_t h) {
  for (const unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
  return h;
}

// Fails a share of the primitives' calls. Each answer is a hash of the salt,
// the operation, the path and how often that pair was asked before, so a run
// fails the same calls whatever the order in which the engine's threads ask.
class FaultInjector {
 public:
  FaultInjector(uint64_t salt, int per_mille) : salt_(salt), per_mille_(per_mille) {}
  ~FaultInjector() { Stop(); }
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  void Start() {
    os::SetFileFaultForTest(
        [this](std::string_view op, const std::string& path) { return Decide(op, path); });
  }
  void Stop() { os::SetFileFaultForTest(nullptr); }

  // The files the test writes to learn where the engine stands (their names
  // begin with prefix) never fail.
  void Spare(const std::string& prefix) { spared_.push_back("/" + prefix); }

  // Whether a stat or a listing of root/relative, or of a directory above it,
  // was failed with ENOENT: a full sync then takes the item for gone, and
  // rightly passes over it.
  bool ToldGone(const fs::path& root, const std::string& relative) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (fs::path p = relative; !p.empty(); p = p.parent_path()) {
      if (told_gone_.count((root / p).string())) return true;
    }
    return false;
  }

  // What was injected on path, for a failure message.
  std::string On(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = by_path_.find(path);
    return found == by_path_.end() ? "nothing" : found->second;
  }

  int Total() const {
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto& [key, count] : injected_) total += count;
    return total;
  }

  // One line per operation: how often each errno was injected there.
  std::string Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<std::string, std::map<int, int>> by_operation;
    for (const auto& [key, count] : injected_) by_operation[key.first][key.second] = count;
    std::string text;
    for (const auto& [op, counts] : by_operation) {
      text += "  " + op + ":";
      for (const auto& [err, count] : counts) {
        text += std::string(" ") + strerrorname_np(err) + "=" + std::to_string(count);
      }
      text += "\n";
    }
    return text;
  }

 private:
  int Decide(std::string_view op, const std::string& path) {
    for (const std::string& spared : spared_) {
      if (path.find(spared, path.rfind('/')) != std::string::npos) return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::string key(op);
    key.push_back('\0');
    key += path;
    const uint64_t h = Mix(Hash(key, salt_) ^ Mix(asked_[key]++));
    if (static_cast<int>(h % 1000) >= per_mille_) return 0;
    const int err = kErrnos[(h >> 32) % kErrnos.size()];
    ++injected_[{std::string(op), err}];
    if ((op == "stat" || op == "opendir") && err == ENOENT) {
      told_gone_.insert(path.ends_with('/') ? path.substr(0, path.size() - 1) : path);
    }
    by_path_[path] += std::string(op) + " " + strerrorname_np(err) + "; ";
    return err;
  }

  const uint64_t salt_;
  const int per_mille_;
  std::vector<std::string> spared_;  // set before Start
  mutable std::mutex mutex_;
  std::map<std::string, uint64_t> asked_;                // guarded by mutex_
  std::map<std::pair<std::string, int>, int> injected_;  // guarded by mutex_
  std::set<std::string> told_gone_;                      // guarded by mutex_
  std::map<std::string, std::string> by_path_;           // guarded by mutex_
};

// The host's window: keeps every progress report of the full syncs.
class ProgressLog {
 public:
  struct Report {
    LONG operation;
    std::string first;
    DWORD error;
    uint64_t failed;  // the sync's count of failed items so far
  };

  ProgressLog() : window_{sizeof(HWND__), 1, &Proc, this} {}
  HWND handle() { return &window_; }

  // The reports of the syncs that ended since the last call, up to the end of task's.
  bool TakeSyncOf(const std::string& task, std::vector<Report>* taken) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < reports_.size(); ++i) {
      if (reports_[i].operation == kOpSyncEnd && reports_[i].first == task) {
        taken->assign(reports_.begin(), reports_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        reports_.erase(reports_.begin(), reports_.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return true;
      }
    }
    return false;
  }

 private:
  static LRESULT Proc(HWND window, UINT, WPARAM, LPARAM lParam) {
    auto* self = static_cast<ProgressLog*>(window->pContext);
    const auto* info = reinterpret_cast<const SyncProgressInfo*>(lParam);
    std::lock_guard<std::mutex> lock(self->mutex_);
    const wchar_t* first = info->pszFirstPath != nullptr ? info->pszFirstPath : L"";
    self->reports_.push_back(
        {info->nOperation, os::ToUtf8(first), info->dwError, info->nItemsFailed});
    return 0;
  }

  HWND__ window_;
  mutable std::mutex mutex_;
  std::vector<Report> reports_;  // guarded by mutex_
};

// What a tree holds, by path below its root; the module's temporaries apart.
struct Tree {
  struct Item {
    bool directory;
    std::string content;
    int64_t mtime_ns;
  };
  std::map<std::string, Item> items;
  std::vector<std::string> temporaries;
};

Tree Read(const fs::path& root) {
  Tree tree;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const std::string relative = entry.path().lexically_relative(root).string();
    if (os::IsTempName(entry.path().filename().string())) {
      tree.temporaries.push_back(relative);
      continue;
    }
    struct stat st {};
    EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0) << entry.path();
    Tree::Item item{S_ISDIR(st.st_mode), "",
                    st.st_mtim.tv_sec * 1'000'000'000LL + st.st_mtim.tv_nsec};
    if (!item.directory) item.content = testing_support::ReadFile(entry.path());
    tree.items.emplace(relative, std::move(item));
  }
  return tree;
}

// Source items the destination lacks or holds in another version (files:
// contents and time), and destination items the source does not have.
struct Difference {
  std::vector<std::string> unlike;
  std::vector<std::string> extra;
};

Difference Compare(const Tree& source, const Tree& dest) {
  Difference difference;
  for (const auto& [path, item] : source.items) {
    const auto there = dest.items.find(path);
    const bool same = there != dest.items.end() && there->second.directory == item.directory &&
                      (item.directory || (there->second.content == item.content &&
                                          there->second.mtime_ns == item.mtime_ns));
    if (!same) difference.unlike.push_back(path);
  }
  for (const auto& [path, item] : dest.items) {
    if (!source.items.count(path)) difference.extra.push_back(path);
  }
  return difference;
}

// path itself or a directory above it is in names.
// Whether names holds path or a directory above it ("" is the root).
bool CoveredBy(const std::set<std::string>& names, std::string path) {
  for (;;) {
    if (names.count(path)) return true;
    const auto cut = path.rfind('/');
    if (cut == std::string::npos) return names.count("") != 0;
    path.resize(cut);
  }
}

std::vector<std::string> Split(const std::string& row) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const auto bar = row.find('|', start);
    fields.push_back(row.substr(start, bar - start));
    if (bar == std::string::npos) return fields;
    start = bar + 1;
  }
}

void WriteNow(const fs::path& path, const std::string& content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
}

struct Task {
  std::string name;
  fs::path source;
  fs::path dest;
};

WatchTaskInfo InfoOf(const Task& task) {
  WatchTaskInfo info{};
  info.strWatchTaskName = SysAllocString(os::FromUtf8(task.name).c_str());
  info.strSourceDir = SysAllocString(os::FromUtf8(task.source.string()).c_str());
  info.strDestDir = SysAllocString(os::FromUtf8(task.dest.string()).c_str());
  info.enDelStrategy = DelPermanent;
  return info;
}

void FreeInfo(WatchTaskInfo& info) {
  for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir}) SysFreeString(s);
}

std::string Relative(const Task& task, const std::string& path) {
  for (const fs::path& root : {task.source, task.dest}) {
    const std::string prefix = root.string() + "/";
    if (path.starts_with(prefix)) return path.substr(prefix.size());
  }
  return path;
}

// The names that failure rows of task give (its own, its new one, or the
// item below either root), and the outcome of the last "SyncFinish" row
// naming each.
struct Failures {
  std::set<std::string> named;
  std::map<std::string, bool> last_outcome_ok;
};

Failures NamedFailures(const Task& task, const std::vector<std::vector<std::string>>& rows) {
  Failures failures;
  for (const auto& row : rows) {
    const bool failed = row[2] != "0";
    const std::string names[] = {row[4], row[5], Relative(task, row[6]), Relative(task, row[7])};
    for (const std::string& name : names) {
      if (failed && !name.empty() && name != "NULL" && !name.starts_with("/")) {
        failures.named.insert(name);
      }
    }
    if (row[1] == "SyncFinish" && !row[4].empty()) {
      for (const std::string& name : {row[4], row[5]}) {
        if (!name.empty() && name != "NULL") failures.last_outcome_ok[name] = !failed;
      }
    }
  }
  return failures;
}

// The paths the host was told failed, below either root; how many such
// reports came, and how many failures the ends of those syncs counted.
struct ReportedFailures {
  std::set<std::string> paths;
  std::size_t reports = 0;
  uint64_t counted = 0;
};

ReportedFailures FailedReports(const Task& task, const std::vector<ProgressLog::Report>& reports) {
  ReportedFailures failed;
  for (const ProgressLog::Report& report : reports) {
    if (report.operation == kOpSyncEnd) {
      failed.counted += report.failed;
    } else if (report.error != ERROR_SUCCESS) {
      ++failed.reports;
      // A root that could not be listed fails every item below it.
      const bool root = report.first == task.source.string() || report.first == task.dest.string();
      failed.paths.insert(root ? "" : Relative(task, report.first));
    }
  }
  return failed;
}

// Full-sync outcome rows that failed: they name the roots, not an item.
std::size_t FullSyncFailureRows(const std::vector<std::vector<std::string>>& rows) {
  std::size_t count = 0;
  for (const auto& row : rows) count += row[1] == "SyncFinish" && row[2] != "0" && row[4].empty();
  return count;
}

// Writes a file in source and its copy in dest, the same time on both.
void WriteInStep(const Task& task, const std::string& relative, const std::string& content) {
  fs::create_directories((task.source / relative).parent_path());
  fs::create_directories((task.dest / relative).parent_path());
  WriteNow(task.source / relative, content);
  WriteNow(task.dest / relative, content);
  fs::last_write_time(task.dest / relative, fs::last_write_time(task.source / relative));
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    os::SetClock(&clock_);
    ASSERT_TRUE(frame_.Create());
    frame_.Start();
    monitor_->SetNotifyWindow(progress_.handle(), kProgressMessage);
  }
  void TearDown() override {
    monitor_->Release();
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(frame_.Release(), TRUE);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 10s) << "the release hung";
    os::SetClock(nullptr);
  }

  std::string DbPath() const { return dir_.str() + "/Strandel.db"; }

  void Add(const Task& task, BOOL realtime) {
    WatchTaskInfo info = InfoOf(task);
    info.bSyncNow = realtime;
    EXPECT_GE(monitor_->AddWatchTask(&info), 20000) << task.name;
    FreeInfo(info);
  }

  // Starts a full sync of task; Ended tells when it is over.
  void Sync(const Task& task) {
    WatchTaskInfo info = InfoOf(task);
    EXPECT_EQ(monitor_->SyncWatchTask(&info), 0) << task.name;
    FreeInfo(info);
  }
  std::vector<ProgressLog::Report> Ended(const Task& task) {
    std::vector<ProgressLog::Report> reports;
    EXPECT_TRUE(PollUntil([&] { return progress_.TakeSyncOf(task.name, &reports); }, 60s))
        << "the full sync of " << task.name << " never ended";
    return reports;
  }

  // The history rows of task, in order: SN, operation, error, line, changed
  // name, new name, from, to.
  std::vector<std::vector<std::string>> History(const Task& task) const {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& row :
         Rows(DbPath(),
              "SELECT SN, lOperation, lErrorNO, lLineNO, lChangedFile, lNewFile, lFromFile, "
              "lToFile FROM SyncLog WHERE lTaskName='" +
                  task.name + "' ORDER BY SN")) {
      rows.push_back(Split(row));
    }
    return rows;
  }

  // Waits until every change made in task's source so far has been dealt
  // with and its rows stored. The worker takes records in order, so a
  // marker's outcome row comes after every earlier one. But while a full sync
  // of the task runs (after a lost batch) the watch leaves changes to the
  // sync, the marker among them: then another marker follows.
  bool Settle(const Task& task) {
    const auto deadline = std::chrono::steady_clock::now() + 100s;
    for (int n = 0; std::chrono::steady_clock::now() < deadline; ++n) {
      const std::string marker = "marker" + std::to_string(n);
      WriteNow(task.source / marker, "settled");
      if (!PollUntil(
              [&] {
                return Finished(task, marker) ||
                       (fs::exists(task.dest / marker) && frame_.m_Watch.m_ChangeQueue.Empty() &&
                        !frame_.m_Watch.IsFullSyncOf(os::FromUtf8(task.name)) &&
                        !frame_.m_Watch.NeedsFullSync(os::FromUtf8(task.name)));
              },
              std::chrono::duration_cast<std::chrono::milliseconds>(
                  deadline - std::chrono::steady_clock::now()))) {
        return false;
      }
      if (Finished(task, marker)) return true;
    }
    return false;
  }

  // Whether the real-time record of name has its outcome row in the history
  // (rows are stored in order, so every earlier one is there too).
  bool Finished(const Task& task, const std::string& name) const {
    try {
      return !Rows(DbPath(), "SELECT SN FROM SyncLog WHERE lTaskName='" + task.name +
                                 "' AND lOperation='SyncFinish' AND lChangedFile='" + name + "'")
                  .empty();
    } catch (const CppSQLite3Exception&) {
      return false;  // the history table comes with the first row
    }
  }

  os::FakeClock clock_;
  ClockDriver driver_{clock_};
  TempDir dir_;
  ProgressLog progress_;
  CMainFrame frame_{dir_.wstr() + L"/", nullptr};
  CWatcherMonitor* monitor_ = new CWatcherMonitor(&frame_);
  const Task burst_{"burst", dir_.path() / "burst-src", dir_.path() / "burst-dst"};
  const Task bulk_{"bulk", dir_.path() / "bulk-src", dir_.path() / "bulk-dst"};
};

TEST_F(FaultInjectionTest, NoFailedItemGoesUnrecordedAndAFullSyncHealsTheTrees) {
  const auto started = std::chrono::steady_clock::now();
  auto seconds = [&] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  // The burst's folders: 4,000 files in step on both sides to be changed,
  // renamed and deleted, in 40 directories.
  constexpr int kDirs = 40;
  auto old_file = [](int i) { return "d" + std::to_string(i % kDirs) + "/p" + std::to_string(i); };
  for (int i = 0; i < 4 * kRounds; ++i) {
    WriteInStep(burst_, old_file(i), "as it was " + std::to_string(i));
  }
  // A few thousand files for the full sync, in directories two levels deep;
  // the destination holds a third of them as they are, a third in an older
  // version, and lacks the rest, and some directories whole.
  for (int i = 0; i < 3 * kRounds; ++i) {
    const fs::path relative = fs::path("b" + std::to_string(i % 30)) / (i % 5 == 0 ? "sub" : "") /
                              ("g" + std::to_string(i));
    const std::string content = "bulk " + std::to_string(i) + std::string(i % 97, '.');
    if (i % 30 >= 25 || i % 3 == 2) {
      fs::create_directories((bulk_.source / relative).parent_path());
      WriteNow(bulk_.source / relative, content);
    } else {
      WriteInStep(bulk_, relative, content);
      if (i % 3 == 1) {
        WriteNow(bulk_.dest / relative, "older");
        fs::last_write_time(bulk_.dest / relative,
                            fs::last_write_time(bulk_.source / relative) - std::chrono::hours(1));
      }
    }
  }
  FaultInjector realtime_faults(0x5eed0001, 20);
  FaultInjector sync_faults(0x5eed0002, 30);
  realtime_faults.Spare("marker");
  Add(burst_, TRUE);
  Add(bulk_, FALSE);
  ASSERT_TRUE(PollUntil([&] { return frame_.m_Watch.m_hWatchReady.IsSet(); }));

  // Ten changes a round, 10,000 in all: six new files (from halfway on,
  // most of them in directories made then), two files rewritten, one
  // renamed and one deleted.
  realtime_faults.Start();
  for (int round = 0; round < kRounds; ++round) {
    if (round == kRounds / 2) {
      for (int d = 0; d < 10; ++d) fs::create_directory(burst_.source / ("n" + std::to_string(d)));
    }
    for (int k = 0; k < 6; ++k) {
      const int i = round * 6 + k;
      const std::string dir = round < kRounds / 2 || k == 0 ? "d" + std::to_string(i % kDirs)
                                                            : "n" + std::to_string(i % 10);
      WriteNow(burst_.source / dir / ("f" + std::to_string(i)), "new " + std::to_string(i));
    }
    for (int k = 0; k < 2; ++k) {
      WriteNow(burst_.source / old_file(round * 2 + k), "rewritten " + std::to_string(round));
    }
    const std::string renamed = old_file(2 * kRounds + round);
    ASSERT_EQ(::rename((burst_.source / renamed).c_str(),
                       (burst_.source / (renamed + "-renamed")).c_str()),
              0);
    ASSERT_EQ(::unlink((burst_.source / old_file(3 * kRounds + round)).c_str()), 0);
  }
  ASSERT_TRUE(Settle(burst_)) << "the burst never settled";
  realtime_faults.Stop();
  const double burst_seconds = seconds();
  {
    SCOPED_TRACE("after the burst");
    const Tree source = Read(burst_.source);
    const Tree dest = Read(burst_.dest);
    EXPECT_EQ(dest.temporaries, std::vector<std::string>{});
    const Difference difference = Compare(source, dest);
    // Full syncs of the task, should the watch have lost a batch of notifications.
    std::vector<ProgressLog::Report> lost_batch_syncs;
    for (std::vector<ProgressLog::Report> taken; progress_.TakeSyncOf(burst_.name, &taken);) {
      lost_batch_syncs.insert(lost_batch_syncs.end(), taken.begin(), taken.end());
    }
    const ReportedFailures reported = FailedReports(burst_, lost_batch_syncs);
    const auto rows = History(burst_);
    const Failures failures = NamedFailures(burst_, rows);
    EXPECT_EQ(FullSyncFailureRows(rows), reported.reports);
    int unrecorded = 0;
    for (const std::string& path : difference.unlike) {
      // What a full sync failed, or passed over as gone, came after any row of the watch's.
      const bool synced_later =
          CoveredBy(reported.paths, path) ||
          (!lost_batch_syncs.empty() && realtime_faults.ToldGone(burst_.source, path));
      const auto last = failures.last_outcome_ok.find(path);
      const bool claimed = last != failures.last_outcome_ok.end() && last->second && !synced_later;
      const bool recorded = CoveredBy(failures.named, path) || synced_later;
      if ((!recorded || claimed) && ++unrecorded <= 10) {
        ADD_FAILURE() << path << " differs, yet "
                      << (claimed ? "its last row is a success" : "no failure row names it")
                      << "; injected: " << realtime_faults.On((burst_.source / path).string())
                      << " at the source, " << realtime_faults.On((burst_.dest / path).string())
                      << " at the destination";
      }
    }
    for (const std::string& path : difference.extra) {
      if (!failures.named.count(path) && ++unrecorded <= 10) {
        ADD_FAILURE() << path << " stayed in the destination, yet no failure row names it";
      }
    }
    EXPECT_EQ(unrecorded, 0);
    std::printf(
        "burst: %d faults injected; %zu items differ, %zu left over, %zu named by failure "
        "rows, %zu lost-batch syncs; %.1f s\n%s",
        realtime_faults.Total(), difference.unlike.size(), difference.extra.size(),
        failures.named.size(), lost_batch_syncs.size(), burst_seconds,
        realtime_faults.Summary().c_str());
  }

  // A full sync of the bulk folders under faults.
  sync_faults.Start();
  Sync(bulk_);
  const std::vector<ProgressLog::Report> bulk_reports = Ended(bulk_);
  sync_faults.Stop();
  {
    SCOPED_TRACE("after the full sync under faults");
    const Tree source = Read(bulk_.source);
    const Tree dest = Read(bulk_.dest);
    EXPECT_EQ(dest.temporaries, std::vector<std::string>{});
    const Difference difference = Compare(source, dest);
    EXPECT_EQ(difference.extra, std::vector<std::string>{});
    const ReportedFailures reported = FailedReports(bulk_, bulk_reports);
    EXPECT_EQ(FullSyncFailureRows(History(bulk_)), reported.reports);
    EXPECT_EQ(reported.counted, reported.reports);
    EXPECT_GT(reported.reports, 0u) << "no fault reached the full sync";
    int unreported = 0;
    for (const std::string& path : difference.unlike) {
      if (!CoveredBy(reported.paths, path) && !sync_faults.ToldGone(bulk_.source, path) &&
          ++unreported <= 10) {
        ADD_FAILURE() << path << " differs, yet the host was told of no failure; injected: "
                      << sync_faults.On((bulk_.source / path).string()) << " at the source, "
                      << sync_faults.On((bulk_.dest / path).string()) << " at the destination";
      }
    }
    EXPECT_EQ(unreported, 0);
    std::printf(
        "full sync: %d faults injected; %zu failures reported, %zu items differ; %.1f s\n%s",
        sync_faults.Total(), reported.reports, difference.unlike.size(), seconds() - burst_seconds,
        sync_faults.Summary().c_str());
  }

  // No more faults: one full sync of each task brings its trees in step.
  const std::set<std::string> left_over_by_failure = NamedFailures(burst_, History(burst_)).named;
  Sync(burst_);
  Sync(bulk_);
  Ended(bulk_);
  for (const Task* task : {&burst_, &bulk_}) {
    SCOPED_TRACE(task->name + " healed");
    const Tree source = Read(task->source);
    const Tree dest = Read(task->dest);
    EXPECT_EQ(source.temporaries, std::vector<std::string>{});
    EXPECT_EQ(dest.temporaries, std::vector<std::string>{});
    const Difference difference = Compare(source, dest);
    EXPECT_EQ(difference.unlike, std::vector<std::string>{});
    for (const std::string& path : difference.extra) {
      EXPECT_TRUE(task == &burst_ && left_over_by_failure.count(path)) << path;
    }
  }
  std::printf("total %.1f s\n", seconds());
}

}  // namespace
