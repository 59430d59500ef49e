#include "os/directory_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <set>
#include <thread>

#include "os/event.h"
#include "os/last_error.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::TempDir;

constexpr DWORD kAdded = FILE_ACTION_ADDED;
constexpr DWORD kRemoved = FILE_ACTION_REMOVED;
constexpr DWORD kModified = FILE_ACTION_MODIFIED;
constexpr DWORD kOld = FILE_ACTION_RENAMED_OLD_NAME;
constexpr DWORD kNew = FILE_ACTION_RENAMED_NEW_NAME;

struct Rec {
  DWORD action;
  std::string name;  // bytes, as on disk
  bool operator==(const Rec&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Rec& rec) {
  return out << "{" << rec.action << " " << rec.name << "}";
}

void WriteFile(const fs::path& path, const std::string& text = "data") {
  std::ofstream(path, std::ios::binary) << text;
}

std::size_t RecordBytes(std::size_t chars) {
  return (offsetof(FILE_NOTIFY_INFORMATION, FileName) + chars * sizeof(wchar_t) + 3) & ~3u;
}

// One handle with its armed buffer and what it has delivered so far.
struct Watcher {
  std::unique_ptr<os::DirectoryHandle> handle;
  std::vector<DWORD> buffer;
  fs::path root;
  std::vector<Rec> records;
  std::vector<DWORD> completions;  // byte counts
  int lost_batches = 0;

  void Arm() {
    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_TRUE(handle->Read(buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD))));
  }

  void Take(DWORD bytes) {
    completions.push_back(bytes);
    if (bytes == 0) ++lost_batches;
    const char* base = reinterpret_cast<const char*>(buffer.data());
    for (DWORD at = 0; bytes != 0;) {
      const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(base + at);
      records.push_back(
          {info->Action,
           os::ToUtf8(std::wstring_view(info->FileName, info->FileNameLength / sizeof(wchar_t)))});
      if (info->NextEntryOffset == 0) break;
      at += info->NextEntryOffset;
      EXPECT_LT(at, bytes);
    }
  }
};

class DirectoryWatchTest : public ::testing::Test {
 protected:
  Watcher& Watch(const fs::path& path, std::size_t buffer_bytes = 64 * 1024, bool arm = true) {
    auto watcher = std::make_unique<Watcher>();
    watcher->handle = os::DirectoryHandle::Open(os::FromUtf8(path.string()));
    EXPECT_TRUE(watcher->handle);
    EXPECT_TRUE(watcher->handle->Associate(port_, watchers_.size() + 1));
    watcher->buffer.resize((buffer_bytes + 3) / 4);
    watcher->root = path;
    if (arm) watcher->Arm();
    watchers_.push_back(std::move(watcher));
    return *watchers_.back();
  }

  // Dequeues (and re-arms) until done holds or the deadline passes.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      DWORD bytes = 0;
      uintptr_t key = 0;
      if (!port_.Dequeue(&bytes, &key, 20)) {
        EXPECT_EQ(os::GetLastError(), WAIT_TIMEOUT);
        continue;
      }
      if (key == 0 || key > watchers_.size()) continue;
      Watcher& w = *watchers_[key - 1];
      w.Take(bytes);
      if (!w.handle->IsGone()) w.Arm();
    }
    return true;
  }

  static bool IsMarker(const Rec& rec) { return rec.name.find("~marker-") != std::string::npos; }

  // Waits for `count` records, then for a marker file written after them, so
  // that anything else the changes caused has arrived too; returns and clears
  // the records apart from markers.
  std::vector<Rec> Settle(Watcher& w, std::size_t count) {
    auto real = [&] {
      std::vector<Rec> out;
      for (const auto& rec : w.records) {
        if (!IsMarker(rec)) out.push_back(rec);
      }
      return out;
    };
    PumpUntil([&] { return real().size() >= count; });
    const std::string marker = "~marker-" + std::to_string(++markers_);
    WriteFile(w.root / marker);
    EXPECT_TRUE(PumpUntil([&] {
      for (const auto& rec : w.records) {
        if (rec.name == marker) return true;
      }
      return false;
    })) << "marker not seen";
    auto result = real();
    w.records.clear();
    return result;
  }

  // Lets the port take in what inotify has queued so far; nothing may complete.
  void PumpNow() {
    DWORD bytes;
    uintptr_t key = 0;
    EXPECT_FALSE(port_.Dequeue(&bytes, &key, 0)) << "unexpected packet " << key << " " << bytes;
    if (key != 0 && key <= watchers_.size()) {
      watchers_[key - 1]->Take(bytes);
      for (const auto& rec : watchers_[key - 1]->records) ADD_FAILURE() << rec;
    }
  }

  TempDir dir_;
  TempDir outside_;
  os::CompletionPort port_;
  std::vector<std::unique_ptr<Watcher>> watchers_;
  int markers_ = 0;
};

TEST_F(DirectoryWatchTest, FileLifecycleGivesOneRecordPerChange) {
  ASSERT_TRUE(port_.IsValid());
  Watcher& w = Watch(dir_.path());
  {
    std::ofstream out(dir_.path() / "a.txt");
    out << "first";
    out.flush();
    out << "second";
  }
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "a.txt"}}));
  std::ofstream(dir_.path() / "a.txt", std::ios::app) << "more";
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kModified, "a.txt"}}));
  fs::permissions(dir_.path() / "a.txt", fs::perms::owner_read);
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kModified, "a.txt"}}));
  fs::remove(dir_.path() / "a.txt");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kRemoved, "a.txt"}}));
}

TEST_F(DirectoryWatchTest, RenamesGiveOldNameThenNewName) {
  fs::create_directory(dir_.path() / "sub");
  WriteFile(dir_.path() / "a");
  Watcher& w = Watch(dir_.path());
  fs::rename(dir_.path() / "a", dir_.path() / "b");
  fs::rename(dir_.path() / "b", dir_.path() / "sub" / "c");
  EXPECT_EQ(Settle(w, 4),
            (std::vector<Rec>{{kOld, "a"}, {kNew, "b"}, {kOld, "b"}, {kNew, "sub/c"}}));
}

TEST_F(DirectoryWatchTest, MovesAcrossTheTreeBoundary) {
  Watcher& w = Watch(dir_.path());
  WriteFile(outside_.path() / "f");
  fs::rename(outside_.path() / "f", dir_.path() / "f");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "f"}}));
  fs::rename(dir_.path() / "f", outside_.path() / "g");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kRemoved, "f"}}));

  // A directory moved in is watched and its contents reported.
  fs::create_directories(outside_.path() / "d" / "e");
  WriteFile(outside_.path() / "d" / "e" / "file");
  fs::rename(outside_.path() / "d", dir_.path() / "d");
  EXPECT_EQ(Settle(w, 3), (std::vector<Rec>{{kAdded, "d"}, {kAdded, "d/e"}, {kAdded, "d/e/file"}}));
  WriteFile(dir_.path() / "d" / "e" / "new");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "d/e/new"}}));

  // Moved out, it falls silent.
  fs::rename(dir_.path() / "d", outside_.path() / "d2");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kRemoved, "d"}}));
  WriteFile(outside_.path() / "d2" / "e" / "late");
  EXPECT_EQ(Settle(w, 0), std::vector<Rec>{});
}

TEST_F(DirectoryWatchTest, FileKeptOpenIsAddedAfterAGraceTime) {
  Watcher& w = Watch(dir_.path());
  const auto start = std::chrono::steady_clock::now();
  const int fd = ::open((dir_.path() / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  EXPECT_TRUE(PumpUntil([&] { return !w.records.empty(); }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 800ms);  // not while it is being written
  EXPECT_EQ(w.records, (std::vector<Rec>{{kAdded, "log"}}));
  ::close(fd);
}

TEST_F(DirectoryWatchTest, LongRunningWriterIsReportedWithoutClosing) {
  WriteFile(dir_.path() / "log");
  Watcher& w = Watch(dir_.path());
  const int fd = ::open((dir_.path() / "log").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "x", 1), 1);
  PumpUntil([] { return false; }, 500ms);
  EXPECT_TRUE(w.records.empty()) << "a single write must not be reported at once";
  EXPECT_TRUE(PumpUntil([&] { return !w.records.empty(); }, 3s));
  EXPECT_EQ(w.records, (std::vector<Rec>{{kModified, "log"}}));
  ::close(fd);
}

TEST_F(DirectoryWatchTest, FilesInFreshlyMadeDirectoriesAreNotLost) {
  Watcher& w = Watch(dir_.path());
  std::set<std::string> expected;
  fs::path deep = dir_.path();
  std::string rel;
  for (int level = 0; level < 12; ++level) {
    const std::string name = "l" + std::to_string(level);
    deep /= name;
    rel += (rel.empty() ? "" : "/") + name;
    fs::create_directories(deep / "x" / "y");  // mkdir -p
    for (int i = 0; i < 5; ++i) {
      WriteFile(deep / "x" / "y" / std::to_string(i));
      expected.insert(rel + "/x/y/" + std::to_string(i));
    }
  }
  std::set<std::string> seen;
  EXPECT_TRUE(PumpUntil([&] {
    for (const auto& rec : w.records) {
      if (rec.action == kAdded && expected.count(rec.name)) seen.insert(rec.name);
    }
    w.records.clear();
    return seen.size() == expected.size();
  })) << seen.size()
      << " of " << expected.size();
}

TEST_F(DirectoryWatchTest, RenamedDirectoryReportsUnderItsNewName) {
  fs::create_directories(dir_.path() / "d" / "sub");
  Watcher& w = Watch(dir_.path());
  fs::rename(dir_.path() / "d", dir_.path() / "e");
  WriteFile(dir_.path() / "e" / "sub" / "x");
  EXPECT_EQ(Settle(w, 3), (std::vector<Rec>{{kOld, "d"}, {kNew, "e"}, {kAdded, "e/sub/x"}}));
  fs::rename(dir_.path() / "e", dir_.path() / "f");
  fs::remove(dir_.path() / "f" / "sub" / "x");
  EXPECT_EQ(Settle(w, 3), (std::vector<Rec>{{kOld, "e"}, {kNew, "f"}, {kRemoved, "f/sub/x"}}));
}

TEST_F(DirectoryWatchTest, DeletedOrMovedRootIsGone) {
  fs::create_directories(dir_.path() / "a" / "inner");
  fs::create_directory(dir_.path() / "b");
  Watcher& a = Watch(dir_.path() / "a");
  Watcher& b = Watch(dir_.path() / "b", 4096, false);
  fs::remove_all(dir_.path() / "a");
  EXPECT_TRUE(PumpUntil([&] { return a.lost_batches == 1; }));
  EXPECT_TRUE(a.handle->IsGone());
  EXPECT_FALSE(a.handle->Read(a.buffer.data(), 4096));  // nothing more will come

  // Gone while no read was armed: the next read completes empty.
  fs::rename(dir_.path() / "b", outside_.path() / "b");
  PumpNow();
  EXPECT_TRUE(b.handle->IsGone());
  b.Arm();
  EXPECT_TRUE(PumpUntil([&] { return b.lost_batches == 1; }));
  EXPECT_TRUE(b.records.empty());
}

TEST_F(DirectoryWatchTest, OverlappingHandlesEachGetTheirOwnNames) {
  fs::create_directory(dir_.path() / "sub");
  Watcher& outer = Watch(dir_.path());
  auto& inner = Watch(dir_.path() / "sub");
  auto& again = Watch(dir_.path() / "sub");
  WriteFile(dir_.path() / "sub" / "f");
  EXPECT_EQ(Settle(inner, 1), (std::vector<Rec>{{kAdded, "f"}}));
  EXPECT_EQ(Settle(again, 1), (std::vector<Rec>{{kAdded, "f"}}));
  EXPECT_EQ(Settle(outer, 1), (std::vector<Rec>{{kAdded, "sub/f"}}));

  fs::rename(dir_.path() / "sub" / "f", dir_.path() / "g");
  EXPECT_EQ(Settle(outer, 2), (std::vector<Rec>{{kOld, "sub/f"}, {kNew, "g"}}));
  EXPECT_EQ(Settle(inner, 1), (std::vector<Rec>{{kRemoved, "f"}}));
  fs::rename(dir_.path() / "g", dir_.path() / "sub" / "h");
  EXPECT_EQ(Settle(inner, 1), (std::vector<Rec>{{kAdded, "h"}}));

  // The shared watch stays while anyone still uses it.
  again.handle.reset();
  inner.handle.reset();
  watchers_.pop_back();
  watchers_.pop_back();
  outer.records.clear();
  WriteFile(dir_.path() / "sub" / "late");
  EXPECT_EQ(Settle(outer, 1), (std::vector<Rec>{{kAdded, "sub/late"}}));
}

TEST_F(DirectoryWatchTest, TemporaryCopyNamesAreNeverReported) {
  const std::string temp = os::ToUtf8(os::kTempCopyPrefix);
  WriteFile(dir_.path() / "old.txt");
  Watcher& w = Watch(dir_.path());

  // A copy finished onto an existing name, and onto a new one.
  WriteFile(dir_.path() / (temp + "1"));
  PumpNow();
  fs::rename(dir_.path() / (temp + "1"), dir_.path() / "old.txt");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kModified, "old.txt"}}));
  WriteFile(dir_.path() / (temp + "2"));
  PumpNow();
  fs::rename(dir_.path() / (temp + "2"), dir_.path() / "brand.txt");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "brand.txt"}}));

  // Seen only after the rename: a new target is still an addition.
  fs::create_directory(dir_.path() / "sub");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "sub"}}));
  WriteFile(dir_.path() / "sub" / (temp + "3"));
  fs::rename(dir_.path() / "sub" / (temp + "3"), dir_.path() / "sub" / "n");
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "sub/n"}}));

  fs::rename(dir_.path() / "brand.txt", dir_.path() / (temp + "4"));
  fs::remove(dir_.path() / (temp + "4"));
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kRemoved, "brand.txt"}}));
}

TEST_F(DirectoryWatchTest, RecordsThatDoNotFitWaitForTheNextRead) {
  WriteFile(dir_.path() / "f0");
  // Room for two short records, not three.
  Watcher& w = Watch(dir_.path(), 2 * RecordBytes(2) + 8, false);
  WriteFile(dir_.path() / "f1");
  fs::rename(dir_.path() / "f0", dir_.path() / "f3");
  PumpNow();
  w.Arm();
  EXPECT_TRUE(PumpUntil([&] { return w.records.size() >= 3; }));
  EXPECT_EQ(w.records, (std::vector<Rec>{{kAdded, "f1"}, {kOld, "f0"}, {kNew, "f3"}}));
  // The pair did not fit beside the first record and was not split.
  EXPECT_EQ(w.completions, (std::vector<DWORD>{DWORD(RecordBytes(2)), DWORD(2 * RecordBytes(2))}));

  // A buffer too small for even one record completes empty.
  Watcher& tiny = Watch(dir_.path(), RecordBytes(2) - 4);
  WriteFile(dir_.path() / "f4");
  EXPECT_TRUE(PumpUntil([&] { return tiny.lost_batches == 1; }));
  EXPECT_FALSE(tiny.handle->IsGone());
}

TEST_F(DirectoryWatchTest, PostedPacketsAndCompletionsComeOutInOrder) {
  DWORD bytes = 0;
  uintptr_t key = 0;
  EXPECT_FALSE(port_.Dequeue(&bytes, &key, 0));
  EXPECT_EQ(os::GetLastError(), WAIT_TIMEOUT);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port_.Dequeue(&bytes, &key, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);

  Watcher& w = Watch(dir_.path());
  ASSERT_TRUE(port_.Post(100, 7));
  WriteFile(dir_.path() / "f");
  ASSERT_TRUE(port_.Dequeue(&bytes, &key, 1000));
  EXPECT_EQ(key, 100u);
  EXPECT_EQ(bytes, 7u);
  ASSERT_TRUE(port_.Post(101, 8));
  ASSERT_TRUE(port_.Dequeue(&bytes, &key, 1000));
  EXPECT_EQ(key, 1u);
  w.Take(bytes);
  EXPECT_EQ(w.records, (std::vector<Rec>{{kAdded, "f"}}));
  ASSERT_TRUE(port_.Dequeue(&bytes, &key, 1000));
  EXPECT_EQ(key, 101u);

  // A post from another thread wakes a wait without limit.
  std::thread poster([&] {
    std::this_thread::sleep_for(20ms);
    port_.Post(102, 0);
  });
  ASSERT_TRUE(port_.Dequeue(&bytes, &key, INFINITE));
  EXPECT_EQ(key, 102u);
  poster.join();
}

TEST_F(DirectoryWatchTest, LostBatchCompletesEmptyAndLaterDirectoriesAreWatched) {
  const int limit = std::stoi(testing_support::ReadFile("/proc/sys/fs/inotify/max_queued_events"));
  if (limit > 100000) GTEST_SKIP() << "queue limit too large to overflow quickly";
  fs::create_directory(dir_.path() / "sub");
  Watcher& outer = Watch(dir_.path());
  Watcher& inner = Watch(dir_.path() / "sub", 4096, false);
  for (int i = 0; i < limit / 2 + 100; ++i) {  // each file: create and close-after-write
    const int fd = ::open((dir_.path() / "sub" / std::to_string(i)).c_str(),
                          O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  fs::create_directory(dir_.path() / "late");  // its creation is lost with the batch
  EXPECT_TRUE(PumpUntil([&] { return outer.lost_batches == 1; }));
  EXPECT_FALSE(outer.handle->IsGone());
  inner.Arm();
  EXPECT_TRUE(PumpUntil([&] { return inner.lost_batches == 1; }));
  WriteFile(dir_.path() / "late" / "f");
  const auto records = Settle(outer, 1);
  EXPECT_NE(std::find(records.begin(), records.end(), Rec{kAdded, "late/f"}), records.end());
}

TEST_F(DirectoryWatchTest, BurstIsReportedInFullOrAsALostBatch) {
  constexpr int kFiles = 10000;
  for (int d = 0; d < 6; ++d) fs::create_directory(dir_.path() / ("d" + std::to_string(d)));
  Watcher& w = Watch(dir_.path(), 256 * 1024);
  std::set<std::string> expected;
  std::vector<std::string> names;
  for (int i = 0; i < kFiles; ++i) {
    // Every 1000th file opens a new directory while the burst runs.
    const std::string dir =
        i % 1000 < 100 ? "n" + std::to_string(i / 1000) : "d" + std::to_string(i % 6);
    names.push_back(dir + "/" + std::to_string(i));
    expected.insert(names.back());
  }
  std::atomic<bool> done{false};
  std::thread producer([&] {
    for (const auto& name : names) {
      const fs::path path = dir_.path() / name;
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) {
        fs::create_directory(path.parent_path());
        ::close(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      } else {
        ::close(fd);
      }
    }
    done = true;
  });
  std::set<std::string> seen;
  const bool finished = PumpUntil(
      [&] {
        for (const auto& rec : w.records) {
          if (rec.action == kAdded && expected.count(rec.name)) seen.insert(rec.name);
        }
        w.records.clear();
        return done && (seen.size() == expected.size() || w.lost_batches > 0);
      },
      20s);
  producer.join();
  EXPECT_TRUE(finished) << seen.size() << " of " << kFiles << " reported, no lost batch";
  RecordProperty("reported", static_cast<int>(seen.size()));
  RecordProperty("lost_batches", w.lost_batches);
}

TEST_F(DirectoryWatchTest, UnusualNamesSurviveExactly) {
  Watcher& w = Watch(dir_.path());
  const std::vector<std::string> names = {"line\nbreak", "bad\xff\xfe-bytes", std::string(255, 'x'),
                                          "\xe6\x97\xa5\xe6\x9c\xac"};
  std::vector<Rec> expected;
  for (const auto& name : names) {
    WriteFile(dir_.path() / name);
    expected.push_back({kAdded, name});
  }
  EXPECT_EQ(Settle(w, names.size()), expected);
}

TEST_F(DirectoryWatchTest, DeepChainIsWatchedBeyondPathMax) {
  const std::string component(30, 'c');
  const int root = ::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(root, 0);
  int fd = ::dup(root);
  std::string rel;
  auto descend = [&] {
    ASSERT_EQ(::mkdirat(fd, component.c_str(), 0755), 0);
    const int next = ::openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(next, 0);
    ::close(fd);
    fd = next;
    rel += (rel.empty() ? "" : "/") + component;
  };
  for (int i = 0; i < 100; ++i) descend();
  Watcher& w = Watch(dir_.path(), 256 * 1024);
  for (int i = 0; i < 100; ++i) descend();  // 200 levels, about 6200 bytes of path
  ::close(::openat(fd, "bottom", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  ::close(fd);
  ::close(root);
  ASSERT_GT(rel.size(), 4096u);
  const std::string bottom = rel + "/bottom";
  EXPECT_TRUE(PumpUntil([&] {
    return std::find(w.records.begin(), w.records.end(), Rec{kAdded, bottom}) != w.records.end();
  }));
}

TEST_F(DirectoryWatchTest, LinksAreNotFollowedAndSpecialFilesNotReported) {
  Watcher& w = Watch(dir_.path());
  fs::create_directory_symlink(outside_.path(), dir_.path() / "link");
  ASSERT_EQ(::mkfifo((dir_.path() / "fifo").c_str(), 0644), 0);
  EXPECT_EQ(Settle(w, 1), (std::vector<Rec>{{kAdded, "link"}}));
  WriteFile(outside_.path() / "beyond");
  EXPECT_EQ(Settle(w, 0), std::vector<Rec>{});

  WriteFile(dir_.path() / "plain");
  EXPECT_FALSE(os::DirectoryHandle::Open(os::FromUtf8((dir_.path() / "plain").string())));
  EXPECT_EQ(os::GetLastError(), ERROR_PATH_NOT_FOUND);
}

}  // namespace
