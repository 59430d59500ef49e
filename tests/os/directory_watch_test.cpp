// Change records from inotify: pairing, moved-in trees, lost batches, vanished roots.
#include "os/directory_watch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <vector>

#include "os/linux/directory_watch_state.h"
#include "os/event.h"
#include "os/last_error.h"
#include "os/temp_name.h"
#include "os/text.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr DWORD kAdded = FILE_ACTION_ADDED, kRemoved = FILE_ACTION_REMOVED,
                kModified = FILE_ACTION_MODIFIED, kOld = FILE_ACTION_RENAMED_OLD_NAME,
                kNew = FILE_ACTION_RENAMED_NEW_NAME;

struct Rec {
  DWORD action;
  std::string name;  // bytes, as on disk
  bool operator==(const Rec&) const = default;
};
using Recs = std::vector<Rec>;

std::ostream& operator<<(std::ostream& out, const Rec& rec) {
  return out << "{" << rec.action << " " << rec.name << "}";
}

void WriteFile(const fs::path& path) { std::ofstream(path, std::ios::binary) << "data"; }

// One handle with its armed buffer and what it has delivered so far.
struct Watcher {
  std::unique_ptr<os::DirectoryHandle> handle;
  std::vector<DWORD> buffer;
  fs::path root;
  Recs records;
  std::vector<DWORD> completions;  // byte counts; 0 is a lost batch or a gone root

  void Arm() {
    std::fill(buffer.begin(), buffer.end(), 0);
    ASSERT_TRUE(handle->Read(buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD))));
  }
  void Take(DWORD bytes) {
    completions.push_back(bytes);
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
  long Empty() const { return std::count(completions.begin(), completions.end(), 0u); }
  bool Saw(const Rec& rec) const {
    return std::find(records.begin(), records.end(), rec) != records.end();
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
      if (!port_.Dequeue(&bytes, &key, 20)) continue;
      if (key == 0 || key > watchers_.size()) continue;
      Watcher& w = *watchers_[key - 1];
      w.Take(bytes);
      if (!w.handle->IsGone()) w.Arm();
    }
    return true;
  }

  // Waits for `count` records, then for a marker file written after them, so
  // that anything else the changes caused has arrived too; returns and clears
  // the records apart from markers.
  Recs Settle(Watcher& w, std::size_t count) {
    auto real = [&] {
      Recs out;
      std::copy_if(w.records.begin(), w.records.end(), std::back_inserter(out),
                   [](const Rec& rec) { return rec.name.find("~marker-") == std::string::npos; });
      return out;
    };
    PumpUntil([&] { return real().size() >= count; });
    const std::string marker = "~marker-" + std::to_string(++markers_);
    WriteFile(w.root / marker);
    EXPECT_TRUE(PumpUntil([&] { return w.Saw({kAdded, marker}); })) << "marker not seen";
    auto result = real();
    w.records.clear();
    return result;
  }

  // Lets the port take in what inotify has queued so far; nothing may complete.
  void PumpNow() {
    DWORD bytes;
    uintptr_t key = 0;
    EXPECT_FALSE(port_.Dequeue(&bytes, &key, 0)) << "unexpected packet " << key << " " << bytes;
  }

  testing_support::TempDir dir_;
  testing_support::TempDir outside_;
  os::CompletionPort port_;
  std::vector<std::unique_ptr<Watcher>> watchers_;
  int markers_ = 0;
};

TEST_F(DirectoryWatchTest, EachChangeGivesOneRecordAndCopiesShowOnlyUnderTheirFinalName) {
  ASSERT_TRUE(port_.IsValid());
  const std::string name = "bad\xff\xfe\nname";
  const std::string temp = os::ToUtf8(os::kTempNamePrefix);
  Watcher& w = Watch(dir_.path());
  {
    std::ofstream out(dir_.path() / name);
    out << "first" << std::flush << "second";
  }
  EXPECT_EQ(Settle(w, 1), (Recs{{kAdded, name}}));
  std::ofstream(dir_.path() / name, std::ios::app) << "more";
  EXPECT_EQ(Settle(w, 1), (Recs{{kModified, name}}));
  fs::permissions(dir_.path() / name, fs::perms::owner_read);
  EXPECT_EQ(Settle(w, 1), (Recs{{kModified, name}}));
  // A copy finished onto an existing name, and onto a new one.
  WriteFile(dir_.path() / (temp + "1"));
  PumpNow();
  fs::rename(dir_.path() / (temp + "1"), dir_.path() / name);
  EXPECT_EQ(Settle(w, 1), (Recs{{kModified, name}}));
  WriteFile(dir_.path() / (temp + "2"));
  PumpNow();
  fs::rename(dir_.path() / (temp + "2"), dir_.path() / "brand.txt");
  EXPECT_EQ(Settle(w, 1), (Recs{{kAdded, "brand.txt"}}));
  // Seen only after the rename: a new target is still an addition.
  fs::create_directory(dir_.path() / "sub");
  EXPECT_EQ(Settle(w, 1), (Recs{{kAdded, "sub"}}));
  WriteFile(dir_.path() / "sub" / (temp + "3"));
  fs::rename(dir_.path() / "sub" / (temp + "3"), dir_.path() / "sub" / "n");
  EXPECT_EQ(Settle(w, 1), (Recs{{kAdded, "sub/n"}}));
  fs::remove(dir_.path() / name);
  EXPECT_EQ(Settle(w, 1), (Recs{{kRemoved, name}}));
}

TEST_F(DirectoryWatchTest, AWatchThatStartsClearsAwayTheTemporariesKilledCopiesLeftAndNoMore) {
  enum Kind { kFile, kLink, kDirectory, kFifo };
  struct Case {
    std::string where;
    Kind kind;
    bool stale;  // left by a killed copy: must go
  };
  const std::string temp = os::ToUtf8(os::kTempNamePrefix);
  const std::string held = "sub/" + os::TempName();
  const std::vector<Case> cases = {
      {temp + "0123456789abcdef", kFile, true},
      {"sub/deeper/" + os::TempName(), kFile, true},
      {temp + "fedcba9876543210", kLink, true},
      {held, kFile, false},  // a copy under way holds it
      {temp + "notes.txt", kFile, false},
      {temp + "0123456789ABCDEF", kFile, false},
      {temp + "0123456789abcdef0", kFile, false},
      {temp + "00000000000000aa", kDirectory, false},
      {temp + "00000000000000bb", kFifo, false},
  };
  fs::create_directories(dir_.path() / "sub" / "deeper");
  for (const Case& c : cases) {
    const fs::path path = dir_.path() / c.where;
    if (c.kind == kFile) WriteFile(path);
    if (c.kind == kLink) fs::create_symlink("nowhere", path);
    if (c.kind == kDirectory) fs::create_directory(path);
    if (c.kind == kFifo) {
      ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    }
  }
  const int holder = ::open((dir_.path() / held).c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);

  Watcher& w = Watch(dir_.path());
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(fs::symlink_status(dir_.path() / c.where)), !c.stale) << c.where;
  }
  EXPECT_EQ(Settle(w, 0), Recs{});
  ::close(holder);
}

TEST_F(DirectoryWatchTest, RenamesPairUpAndMovesAcrossTheBoundaryAddOrRemove) {
  fs::create_directories(dir_.path() / "d" / "sub");
  WriteFile(dir_.path() / "a");
  Watcher& w = Watch(dir_.path());
  fs::rename(dir_.path() / "a", dir_.path() / "d" / "b");
  EXPECT_EQ(Settle(w, 2), (Recs{{kOld, "a"}, {kNew, "d/b"}}));
  fs::rename(dir_.path() / "d", dir_.path() / "e");
  WriteFile(dir_.path() / "e" / "sub" / "x");
  EXPECT_EQ(Settle(w, 3), (Recs{{kOld, "d"}, {kNew, "e"}, {kAdded, "e/sub/x"}}));

  // A tree moved in is watched and reported whole, but not what a link in it
  // leads to, nor a FIFO; moved out, a tree falls silent.
  fs::create_directories(outside_.path() / "t" / "u");
  WriteFile(outside_.path() / "t" / "u" / "f");
  fs::create_directory_symlink(outside_.path() / "elsewhere", outside_.path() / "t" / "link");
  fs::create_directory(outside_.path() / "elsewhere");
  ASSERT_EQ(::mkfifo((outside_.path() / "t" / "fifo").c_str(), 0644), 0);
  fs::rename(outside_.path() / "t", dir_.path() / "t");
  std::vector<Rec> moved_in = Settle(w, 4);
  std::sort(moved_in.begin(), moved_in.end(),
            [](const Rec& a, const Rec& b) { return a.name < b.name; });
  EXPECT_EQ(moved_in,
            (Recs{{kAdded, "t"}, {kAdded, "t/link"}, {kAdded, "t/u"}, {kAdded, "t/u/f"}}));
  WriteFile(dir_.path() / "t" / "u" / "g");
  WriteFile(outside_.path() / "elsewhere" / "beyond");
  EXPECT_EQ(Settle(w, 1), (Recs{{kAdded, "t/u/g"}}));
  fs::rename(dir_.path() / "e", outside_.path() / "e");
  EXPECT_EQ(Settle(w, 1), (Recs{{kRemoved, "e"}}));
  WriteFile(outside_.path() / "e" / "late");
  EXPECT_EQ(Settle(w, 0), Recs{});
}

TEST_F(DirectoryWatchTest, ANewFileStillOpenWhenItsTreeIsWatchedAnewIsAddedOnClose) {
  fs::create_directories(dir_.path() / "sub");
  Watch(dir_.path());
  const fs::path file = dir_.path() / "sub" / "growing";
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "part", 4), 4);
  PumpNow();
  // The watch thread's restart: the old handle goes, a new one takes the tree.
  watchers_.back()->handle.reset();
  Watcher& again = Watch(dir_.path());
  ASSERT_EQ(::write(fd, "rest", 4), 4);
  ASSERT_EQ(::close(fd), 0);
  EXPECT_EQ(Settle(again, 1), (Recs{{kAdded, "sub/growing"}}));
}

TEST_F(DirectoryWatchTest, DeletedOrMovedRootIsGone) {
  fs::create_directories(dir_.path() / "a" / "inner");
  fs::create_directory(dir_.path() / "b");
  Watcher& a = Watch(dir_.path() / "a");
  Watcher& b = Watch(dir_.path() / "b", 4096, false);
  fs::remove_all(dir_.path() / "a");
  EXPECT_TRUE(PumpUntil([&] { return a.Empty() == 1; }));
  EXPECT_TRUE(a.handle->IsGone());
  EXPECT_FALSE(a.handle->Read(a.buffer.data(), 4096));  // nothing more will come

  // Gone while no read was armed: the next read completes empty.
  fs::rename(dir_.path() / "b", outside_.path() / "b");
  PumpNow();
  EXPECT_TRUE(b.handle->IsGone());
  b.Arm();
  EXPECT_TRUE(PumpUntil([&] { return b.Empty() == 1; }));
  EXPECT_TRUE(b.records.empty());
}

TEST_F(DirectoryWatchTest, LostBatchCompletesEmptyAndLaterDirectoriesAreWatched) {
  const int limit = std::stoi(testing_support::ReadFile("/proc/sys/fs/inotify/max_queued_events"));
  if (limit > 100000) GTEST_SKIP() << "queue limit too large to overflow quickly";
  fs::create_directory(dir_.path() / "sub");
  Watcher& outer = Watch(dir_.path());
  Watcher& inner = Watch(dir_.path() / "sub", 4096, false);
  for (int i = 0; i < limit / 2 + 100; ++i) {  // each file: create and close-after-write
    ::close(::open((dir_.path() / "sub" / std::to_string(i)).c_str(),
                   O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  }
  fs::create_directory(dir_.path() / "late");  // its creation is lost with the batch
  EXPECT_TRUE(PumpUntil([&] { return outer.Empty() == 1; }));
  EXPECT_FALSE(outer.handle->IsGone());
  inner.Arm();
  EXPECT_TRUE(PumpUntil([&] { return inner.Empty() == 1; }));
  WriteFile(dir_.path() / "late" / "f");
  const Recs records = Settle(outer, 1);
  EXPECT_NE(std::find(records.begin(), records.end(), Rec{kAdded, "late/f"}), records.end());
}

// After a lost batch the watch's picture of the tree can be out of date, and a
// rename read then may move a directory onto one that holds it in that
// picture: a/c/d to a, when a was renamed away and made anew unseen. The
// moved directory stays watched under its new name.
TEST_F(DirectoryWatchTest, ARenameOntoWhatHoldsItInAnOutOfDatePictureKeepsTheWatch) {
  fs::create_directories(dir_.path() / "a" / "c" / "d");
  Watcher& w = Watch(dir_.path());
  os::CompletionPort::Impl& port = *port_.impl();
  const auto wd_of = [&](const std::string& rel) { return port.handles.front()->dirs.at(rel); };
  const auto feed = [&](int wd, uint32_t mask, const std::string& name) {
    std::vector<char> bytes(sizeof(inotify_event) + name.size() + 1, 0);
    auto* event = reinterpret_cast<inotify_event*>(bytes.data());
    *event = {wd, mask | IN_ISDIR, 7, static_cast<uint32_t>(name.size() + 1)};
    std::copy(name.begin(), name.end(), event->name);
    port.ProcessEvent(*event);
  };
  const int moved = wd_of("a/c/d");
  feed(wd_of("a/c"), IN_MOVED_FROM, "d");
  feed(wd_of(""), IN_MOVED_TO, "a");
  EXPECT_EQ(wd_of("a"), moved);
  EXPECT_EQ(port.handles.front()->dirs.count("a/c"), 0u);
  WriteFile(dir_.path() / "a" / "c" / "d" / "f");
  EXPECT_EQ(Settle(w, 3), (Recs{{kOld, "a/c/d"}, {kNew, "a"}, {kAdded, "a/f"}}));
}

}  // namespace
