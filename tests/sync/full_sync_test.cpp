// The full sync over two real trees: the comparison of each pair, what a
// listing takes, the progress dialogue with the host, the stop flag.
#include "sync/full_sync.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <functional>
#include <set>

#include "handler_test_fixture.h"

namespace {

namespace fs = std::filesystem;

// Records every report as "operation first second error ask", the scratch
// directory cut out, and answers failures from a list of replies.
class FakeSink : public ProgressSink {
 public:
  explicit FakeSink(std::string scratch) : scratch_(std::move(scratch)) {}
  LRESULT Report(LONG operation, const std::wstring& first, const std::wstring& second, DWORD error,
                 LONG ask, const FullSyncCounts&) override {
    calls.push_back(std::to_string(operation) + " " + Cut(first) + " " +
                    (second.empty() ? "-" : Cut(second)) + " " + std::to_string(error) + " " +
                    std::to_string(ask));
    if (on_report) on_report(operation, first, error);
    if (error == 0 || replies.empty()) return 0;
    const LRESULT reply = replies.front();
    replies.pop_front();
    return reply;
  }

  // The calls that reported a failure.
  std::vector<std::string> Failures() const {
    std::vector<std::string> failures;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(failures),
                 [](const std::string& call) {
                   std::istringstream fields(call);
                   std::string operation, first, second, error;
                   fields >> operation >> first >> second >> error;
                   return error != "0";
                 });
    return failures;
  }

  std::vector<std::string> calls;
  std::deque<LRESULT> replies;
  std::function<void(LONG, const std::wstring&, DWORD)> on_report;

 private:
  std::string Cut(const std::wstring& path) const {
    std::string text = os::ToUtf8(path);
    if (text.rfind(scratch_, 0) == 0) text.erase(0, scratch_.size());
    return text;
  }
  std::string scratch_;
};

class FullSyncTest : public HandlerTest {
 protected:
  // Every file time is this far in the past, so that no file counts as just
  // written and size and time alone decide.
  static constexpr int64_t kAgeSeconds = 1000;

  // "p=text@s" makes a file whose time is s seconds (fractions allowed) from
  // the common base; "p/" a directory.
  void LayTimed(const std::string& items) {
    Lay("");
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const double base = std::chrono::duration<double>(now).count() - kAgeSeconds;
    for (const std::string& item : Split(items)) {
      const auto equals = item.find('=');
      if (equals == std::string::npos) {
        fs::create_directories(P(item));
        continue;
      }
      const auto at = item.find('@');
      ASSERT_NE(at, std::string::npos) << item;
      Write(P(item.substr(0, equals)), item.substr(equals + 1, at - equals - 1));
      const double when = base + std::atof(item.c_str() + at + 1);
      timespec times[2];
      times[0].tv_nsec = UTIME_OMIT;
      times[1].tv_sec = static_cast<time_t>(when);
      times[1].tv_nsec = static_cast<long>((when - static_cast<double>(times[1].tv_sec)) * 1e9);
      ASSERT_EQ(utimensat(AT_FDCWD, P(item.substr(0, equals)).c_str(), times, AT_SYMLINK_NOFOLLOW),
                0)
          << item;
    }
  }

  void Expect(const std::string& items) {
    for (const std::string& item : Split(items)) ExpectItem(item);
  }

  // "ok", "failed" and "conflict:p" stand for the rows they write.
  std::string Rows(const std::string& tokens) {
    std::string rows;
    for (const std::string& token : Split(tokens)) {
      if (!rows.empty()) rows += "\n";
      if (token == "ok") {
        rows += "SyncFinish|0|4870|Sync source to destination SUCCESS|/src|/dst";
      } else if (token == "failed") {
        rows += "SyncFinish|1|4876|Sync source to destination FAILED|/src|/dst";
      } else {
        const std::string file = token.substr(token.find(':') + 1);
        rows += "SyncFinish|1|4890|Changed on both sides with the same time: both kept|/src/" +
                file + "|/dst/" + file;
      }
    }
    return rows;
  }

  // Runs the passes named ("s" source, "d" destination) in order.
  void Passes(const std::string& passes, ProgressSink* sink = nullptr,
              const std::atomic<bool>* stop = nullptr) {
    for (const char pass : passes) {
      CFullSync sync(operations_, sink, stop);
      EXPECT_EQ(sync.DoSyncDirectory(task_, MakeTaskFilterEntry(task_), pass == 'd'), 1);
      counts_ = sync.Counts();
    }
  }

  // Every copy into dst/p fails (times: how often, -1 for always) with ENOSPC.
  void FailCopiesTo(const std::string& relative, int times) {
    os::SetFileFaultForTest([path = P(relative).string(), left = std::make_shared<int>(times)](
                                std::string_view op, const std::string& p) {
      if (op != "copy-create" || p != path || *left == 0) return 0;
      --*left;
      return ENOSPC;
    });
  }

  FullSyncCounts counts_;
};

struct CompareCase {
  const char* label;
  const char* file_systems;  // "same", "other", or "unknown" (both names empty)
  bool two_way;
  int add, del, rename;  // strategies
  const char* passes;
  const char* fault;  // "dst/p": every copy there fails
  const char* before;
  const char* after;
  const char* rows;
};

TEST_F(FullSyncTest, ComparesEachPairAndCopiesTheRightWay) {
  const CompareCase cases[] = {
      {"new file goes across", "same", false, 0, 0, 0, "s", "", "src/a=new@0", "dst/a=new", "ok"},
      {"new directory, then its file", "same", false, 0, 0, 0, "s", "", "src/d/ src/d/f=x@0",
       "dst/d/ dst/d/f=x", "ok ok"},
      {"one-way: an extra destination file stays, nothing comes back", "same", false, 0, 0, 0, "sd",
       "", "dst/a=only@0", "dst/a=only src/a!", ""},
      {"two-way: a destination-only file comes back", "same", true, 0, 0, 0, "sd", "",
       "dst/a=only@0", "src/a=only dst/a=only", "ok"},
      {"same size and time: left alone", "same", true, 0, 0, 0, "sd", "", "src/a=one@0 dst/a=two@0",
       "src/a=one dst/a=two", ""},
      {"one-way: newer source replaces", "same", false, 0, 0, 0, "s", "",
       "src/a=new@0 dst/a=old@-10", "dst/a=new", "ok"},
      {"one-way: a newer destination is still replaced", "same", false, 0, 0, 0, "s", "",
       "src/a=old@-10 dst/a=new@0", "src/a=old dst/a=old", "ok"},
      {"two-way: newer destination comes back in the source pass", "same", true, 0, 0, 0, "s", "",
       "src/a=old@-10 dst/a=new@0", "src/a=new dst/a=new", "ok"},
      {"two-way: newer source goes across once", "same", true, 0, 0, 0, "sd", "",
       "src/a=new@0 dst/a=old@-10", "src/a=new dst/a=new", "ok"},
      {"same file system: one second apart differs", "same", true, 0, 0, 0, "sd", "",
       "src/a=new@0 dst/a=old@-1", "src/a=new dst/a=new", "ok"},
      {"other file systems: under two seconds is one version", "other", true, 0, 0, 0, "sd", "",
       "src/a=new@0 dst/a=old@-1.5", "src/a=new dst/a=old", ""},
      {"unknown file systems count as other", "unknown", true, 0, 0, 0, "sd", "",
       "src/a=new@0 dst/a=old@-1", "src/a=new dst/a=old", ""},
      {"other file systems: two seconds apart, the newer wins", "other", true, 0, 0, 0, "sd", "",
       "src/a=old@-2 dst/a=new@0", "src/a=new dst/a=new", "ok"},
      {"other file systems: a same-size edit reaches the stick", "other", false, 0, 0, 0, "s", "",
       "src/a=edit@0 dst/a=orig@-60", "dst/a=edit", "ok"},
      {"destination pass, other file systems: 2 s copies back", "other", true, 0, 0, 0, "d", "",
       "src/a=old@-2 dst/a=new@0", "src/a=new", "ok"},
      {"destination pass, other file systems: 1 s does nothing", "other", true, 0, 0, 0, "d", "",
       "src/a=old@-1 dst/a=new@0", "src/a=old", ""},
      {"destination pass: an older destination receives the source", "same", true, 0, 0, 0, "d", "",
       "src/a=new@0 dst/a=old@-5", "dst/a=new", "ok"},
      {"equal times, other sizes, one-way: the mirror follows", "same", false, 0, 0, 0, "s", "",
       "src/a=longer@0 dst/a=short@0", "dst/a=longer", "ok"},
      {"equal times, other sizes, two-way: both kept, one conflict row", "same", true, 0, 0, 0,
       "sd", "", "src/a=longer@0 dst/a=short@0", "src/a=longer dst/a=short", "conflict:a"},
      {"add strategy 2 creates nothing on either side", "same", true, 2, 0, 0, "sd", "",
       "src/a=x@0 dst/b=y@0", "dst/a! src/b!", ""},
      {"delete strategy 2 leaves existing files, new ones still go", "same", false, 0, 2, 0, "s",
       "", "src/a=new@0 dst/a=old@-10 src/b=x@0", "dst/a=old dst/b=x", "ok"},
      {"rename strategy 2 leaves existing files", "same", true, 0, 0, 2, "sd", "",
       "src/a=new@0 dst/a=old@-10", "src/a=new dst/a=old", ""},
      {"a failed copy writes the failed row", "same", false, 0, 0, 0, "s", "dst/a", "src/a=x@0",
       "dst/a!", "failed"},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(c.label);
    LayTimed(c.before);
    const std::string systems = c.file_systems;
    task_.strSrcFileSystem = systems == "unknown" ? L"" : L"ext4";
    task_.strDestFileSystem = systems == "same" ? L"ext4" : systems == "other" ? L"FAT32" : L"";
    task_.bBidirectional = c.two_way;
    task_.enAddStrategy = static_cast<AddStrategy>(c.add);
    task_.enDelStrategy = static_cast<DelStrategy>(c.del);
    task_.enRenameStrategy = static_cast<RenameStrategy>(c.rename);
    if (*c.fault != '\0') FailCopiesTo(c.fault, -1);
    NewRows();
    Passes(c.passes);
    os::SetFileFaultForTest({});
    Expect(c.after);
    EXPECT_EQ(NewRows(), Rows(c.rows));
  }
}

struct ListingCase {
  const char* label;
  const char* include;  // empty: no include filter
  const char* exclude;
  bool top_level_only;
  const char* before;
  const char* after;
};

TEST_F(FullSyncTest, ListsWhatTheTaskCovers) {
  const ListingCase cases[] = {
      {"names with a leading dot stay", "", "", false, "src/.h=x@0 src/.d/f=y@0 src/a=z@0",
       "dst/.h! dst/.d! dst/a=z"},
      {"include keeps matching files, every directory", "*.txt", "", false,
       "src/a.txt=1@0 src/b.doc=2@0 src/d/c.doc=3@0", "dst/a.txt=1 dst/b.doc! dst/d/ dst/d/c.doc!"},
      {"exclude drops matching files", "", "*.tmp", false, "src/a.tmp=1@0 src/b=2@0",
       "dst/a.tmp! dst/b=2"},
      {"both: included and not excluded", "*.txt", "x*", false,
       "src/a.txt=1@0 src/x.txt=2@0 src/b.doc=3@0", "dst/a.txt=1 dst/x.txt! dst/b.doc!"},
      {"filters never hide directories", "", "d*", false, "src/d/e=1@0", "dst/d/ dst/d/e=1"},
      {"top level only: directories made, not entered", "", "", true, "src/a=1@0 src/d/f=2@0",
       "dst/a=1 dst/d/ dst/d/f!"},
  };
  for (const ListingCase& c : cases) {
    SCOPED_TRACE(c.label);
    LayTimed(c.before);
    task_.bSetInclude = *c.include != '\0';
    task_.strIncludeFilter = os::FromUtf8(c.include);
    task_.bSetExclude = *c.exclude != '\0';
    task_.strExcludeFilter = os::FromUtf8(c.exclude);
    task_.bNotWatchSubDir = c.top_level_only;
    Passes("s");
    Expect(c.after);
  }
}

TEST_F(FullSyncTest, CopiesLinksAsLinksAndSkipsSpecialFiles) {
  LayTimed("outside/inner=secret@0 outside/file=text@0");
  fs::create_symlink(P("outside/file"), P("src/link"));
  fs::create_directory_symlink(P("outside"), P("src/dirlink"));
  ASSERT_EQ(mkfifo(P("src/fifo").c_str(), 0600), 0);
  Passes("s");
  ASSERT_TRUE(fs::is_symlink(P("dst/link")));
  EXPECT_EQ(fs::read_symlink(P("dst/link")), P("outside/file"));
  ASSERT_TRUE(fs::is_symlink(P("dst/dirlink")));
  EXPECT_EQ(fs::read_symlink(P("dst/dirlink")), P("outside"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(P("dst/fifo"))));
  EXPECT_EQ(counts_.listed, 2u);
  EXPECT_EQ(NewRows(), Rows("ok ok"));
}

struct ProgressCase {
  const char* label;
  bool fail_report;
  int failures;  // how often the copy fails before it works (-1: always)
  std::vector<LRESULT> replies;
  std::vector<std::string> reports;
  const char* rows;
};

TEST_F(FullSyncTest, ReportsEachStepAndRetriesWhenAsked) {
  const ProgressCase cases[] = {
      {"success: listing, then the copy",
       true,
       0,
       {},
       {"0 /src - 0 1", "3 /src/a /dst/a 0 1"},
       "ok"},
      {"a retry asked for is made",
       true,
       1,
       {-1},
       {"0 /src - 0 1", "3 /src/a /dst/a 0 1", "3 /src/a /dst/a 112 1"},
       "ok"},
      {"retries go on while asked",
       true,
       2,
       {-1, -1},
       {"0 /src - 0 1", "3 /src/a /dst/a 0 1", "3 /src/a /dst/a 112 1", "3 /src/a /dst/a 112 1"},
       "ok"},
      {"any other reply ends the attempts",
       true,
       1,
       {0},
       {"0 /src - 0 1", "3 /src/a /dst/a 0 1", "3 /src/a /dst/a 112 1"},
       "failed"},
      {"-2 ends the asking",
       true,
       -1,
       {-1, -2, -1},
       {"0 /src - 0 1", "3 /src/a /dst/a 0 1", "3 /src/a /dst/a 112 1", "3 /src/a /dst/a 112 1"},
       "failed"},
      {"without the failure-report flag nothing is retried",
       false,
       1,
       {-1},
       {"0 /src - 0 0", "3 /src/a /dst/a 0 0", "3 /src/a /dst/a 112 0"},
       "failed"},
  };
  for (const ProgressCase& c : cases) {
    SCOPED_TRACE(c.label);
    LayTimed("src/a=hello@0");
    task_.bFailReport = c.fail_report;
    FakeSink sink(tmp_.str());
    sink.replies.assign(c.replies.begin(), c.replies.end());
    FailCopiesTo("dst/a", c.failures);
    NewRows();
    Passes("s", &sink);
    os::SetFileFaultForTest({});
    EXPECT_EQ(sink.calls, c.reports);
    EXPECT_EQ(NewRows(), Rows(c.rows));
    const bool copied = std::string(c.rows) == "ok";
    EXPECT_EQ(counts_.listed, 1u);
    EXPECT_EQ(counts_.done, copied ? 1u : 0u);
    EXPECT_EQ(counts_.failed, copied ? 0u : 1u);
    EXPECT_EQ(counts_.bytes, copied ? 5u : 0u);
  }
}

TEST_F(FullSyncTest, MinusTwoStopsTheAskingForTheRestOfThePass) {
  LayTimed("src/a=1@0 src/b=2@0");
  task_.bFailReport = TRUE;
  os::SetFileFaultForTest(
      [](std::string_view op, const std::string&) { return op == "copy-create" ? ENOSPC : 0; });
  FakeSink sink(tmp_.str());
  sink.replies = {-2, -1};
  Passes("s", &sink);
  os::SetFileFaultForTest({});
  ASSERT_EQ(sink.calls.size(), 5u);
  const std::string first = sink.calls[1].find("/src/a") != std::string::npos ? "a" : "b";
  const std::string second = first == "a" ? "b" : "a";
  const std::vector<std::string> expected = {
      "0 /src - 0 1",
      "3 /src/" + first + " /dst/" + first + " 0 1",
      "3 /src/" + first + " /dst/" + first + " 112 1",
      "3 /src/" + second + " /dst/" + second + " 0 0",
      "3 /src/" + second + " /dst/" + second + " 112 0",
  };
  EXPECT_EQ(sink.calls, expected);
}

TEST_F(FullSyncTest, WithoutASinkAFailureIsFinal) {
  LayTimed("src/a=1@0");
  task_.bFailReport = TRUE;
  FailCopiesTo("dst/a", 1);
  NewRows();
  Passes("s");
  os::SetFileFaultForTest({});
  Expect("dst/a!");
  EXPECT_EQ(NewRows(), Rows("failed"));
}

TEST_F(FullSyncTest, AnnouncesWhatItCreatesToTheWatcher) {
  LayTimed("src/d/f=x@0");
  Passes("s");
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(P("dst/d"))));
  EXPECT_TRUE(shared_.AddFilterMap.Contains(W(P("dst/d/f"))));
}

TEST_F(FullSyncTest, StopsBeforeTheNextItemAndEndsWithTheCopiesUnderWay) {
  std::string items;
  for (int i = 0; i < 40; ++i) {
    items += " src/f" + std::to_string(i) + "=" + std::to_string(i) + "@0";
  }
  LayTimed(items);
  std::atomic<bool> stop{false};
  FakeSink sink(tmp_.str());
  int announced = 0;
  sink.on_report = [&](LONG operation, const std::wstring&, DWORD) {
    if (operation == kOpCopyFile && ++announced == 5) stop = true;
  };
  NewRows();
  Passes("s", &sink, &stop);
  // Every announced copy, and only those, is done and written down by the
  // time the pass returns.
  int copied = 0;
  for (int i = 0; i < 40; ++i) copied += fs::exists(P("dst/f" + std::to_string(i))) ? 1 : 0;
  EXPECT_EQ(announced, 5);
  EXPECT_EQ(copied, 5);
  EXPECT_EQ(counts_.done, 5u);
  EXPECT_EQ(NewRows(), Rows("ok ok ok ok ok"));
}

TEST_F(FullSyncTest, CopiesUnderWayAreReportedInTheOrderOfTheItems) {
  // Copies run ahead of their reports; some fail at once while earlier ones
  // are still writing. Each outcome must still be told and written down in
  // the order the items were announced.
  std::string items;
  std::set<std::string> failing;
  for (int d = 0; d < 3; ++d) {
    for (int f = 0; f < 40; ++f) {
      const std::string name = "d" + std::to_string(d) + "/f" + std::to_string(f);
      items += " src/" + name + "=" + std::string(static_cast<size_t>(100 + f), 'x') + "@0";
      if ((d * 40 + f) % 7 == 3) failing.insert(P("dst/" + name).string());
    }
  }
  LayTimed(items);
  os::SetFileFaultForTest([&failing](std::string_view op, const std::string& path) {
    return op == "copy-create" && failing.count(path) != 0 ? ENOSPC : 0;
  });
  FakeSink sink(tmp_.str());
  NewRows();
  Passes("s", &sink);
  os::SetFileFaultForTest({});

  std::string rows;
  std::vector<std::string> failures;
  for (const std::string& call : sink.calls) {
    std::istringstream fields(call);
    std::string operation, first, second, error;
    fields >> operation >> first >> second >> error;
    if (operation == "0" || error != "0") continue;
    const bool fails = failing.count(P(second.substr(1)).string()) != 0;
    rows += rows.empty() ? "" : " ";
    rows += fails ? "failed" : "ok";
    if (fails) failures.push_back("3 " + first + " " + second + " 112 0");
  }
  EXPECT_EQ(NewRows(), Rows(rows));
  EXPECT_EQ(sink.Failures(), failures);
  EXPECT_EQ(counts_.failed, failing.size());
  EXPECT_EQ(counts_.done, 3u + 120u - failing.size());
  for (const std::string& path : failing) EXPECT_FALSE(fs::exists(path)) << path;
}

TEST_F(FullSyncTest, WhatAnotherWriterPutsInADirectoryThePassMadeIsNeverReplaced) {
  // The pass makes dst/d and copies into it without looking first. At the
  // first copy there, someone else fills the other names: none of their
  // files may be replaced, and a copy of the very version counts as done.
  LayTimed("src/d/a=source@0 src/d/b=source@0 src/d/c=source@0 src/d/same=same@0");
  FakeSink sink(tmp_.str());
  bool planted = false;
  sink.on_report = [&](LONG operation, const std::wstring& first, DWORD error) {
    if (operation != kOpCopyFile || error != 0 || planted) return;
    planted = true;
    for (const char* name : {"a", "b", "c"}) {
      if (os::ToUtf8(first) != P(std::string("src/d/") + name).string()) {
        Write(P(std::string("dst/d/") + name), "planted");
      }
    }
    if (os::ToUtf8(first) != P("src/d/same").string()) {
      fs::copy_file(P("src/d/same"), P("dst/d/same"));
      fs::last_write_time(P("dst/d/same"), fs::last_write_time(P("src/d/same")));
    }
  };
  Passes("s", &sink);
  int kept = 0;
  for (const char* name : {"a", "b", "c"}) {
    kept += testing_support::ReadFile(P(std::string("dst/d/") + name)) == "planted" ? 1 : 0;
  }
  EXPECT_GE(kept, 2);
  EXPECT_EQ(testing_support::ReadFile(P("dst/d/same")), "same");
  EXPECT_EQ(counts_.failed, static_cast<uint64_t>(kept));
  EXPECT_EQ(sink.Failures().size(), static_cast<size_t>(kept));
}

TEST_F(FullSyncTest, ARootThatCannotBeListedFailsThePass) {
  fs::remove_all(P("src"));
  FakeSink sink(tmp_.str());
  NewRows();
  Passes("s", &sink);
  EXPECT_EQ(sink.calls, (std::vector<std::string>{"0 /src - 0 0", "0 /src - 2 0"}));
  EXPECT_EQ(counts_.failed, 1u);
  EXPECT_EQ(NewRows(), Rows("failed"));
  EXPECT_FALSE(fs::exists(P("dst/src")));
}

TEST_F(FullSyncTest, WhatTheListingCannotReadIsAFailedItemAndWhatWentIsPassedOver) {
  LayTimed("src/a=1@0 src/unreadable=2@0 src/gone=3@0 src/d/e=4@0");
  const std::string unreadable = P("src/unreadable").string();
  const std::string gone = P("src/gone").string();
  const std::string closed = P("src/d/").string();
  os::SetFileFaultForTest([&](std::string_view op, const std::string& path) {
    if (op == "stat" && path == unreadable) return EIO;
    if (op == "stat" && path == gone) return ENOENT;
    return op == "opendir" && path == closed ? EACCES : 0;
  });
  FakeSink sink(tmp_.str());
  NewRows();
  Passes("s", &sink);
  os::SetFileFaultForTest({});
  // The listing's order is the file system's.
  std::vector<std::string> failures = sink.Failures();
  std::sort(failures.begin(), failures.end());
  EXPECT_EQ(failures, (std::vector<std::string>{"0 /src/d - 5 0", "0 /src/unreadable - 31 0"}));
  // The directory itself is still made; what it holds waits for a listing that works.
  Expect("dst/a=1 dst/unreadable! dst/gone! dst/d dst/d/e!");
  EXPECT_EQ(NewRows(), Rows("failed failed ok ok"));
  EXPECT_EQ(counts_.failed, 2u);
  EXPECT_EQ(counts_.done, 2u);
}

struct UnexaminedCase {
  const char* label;
  bool two_way;
  const char* before;
  const char* unexamined;            // its status cannot be read (EACCES)
  std::vector<std::string> reports;  // the failures told to the host
  const char* after;
  const char* rows;
};

TEST_F(FullSyncTest, ACounterpartThatCannotBeExaminedFailsTheItemUnlessACopySettlesIt) {
  const UnexaminedCase cases[] = {
      {"a directory", false, "src/d/ dst/d/", "dst/d", {"0 /dst/d - 5 0"}, "dst/d", "failed"},
      {"a file between two masters",
       true,
       "src/a=new@10 dst/a=old@0",
       "dst/a",
       {"0 /dst/a - 5 0"},
       "dst/a=old",
       "failed"},
      {"a mirror's file is copied over it",
       false,
       "src/a=new@10 dst/a=old@0",
       "dst/a",
       {},
       "dst/a=new",
       "ok"},
  };
  for (const UnexaminedCase& c : cases) {
    SCOPED_TRACE(c.label);
    LayTimed(c.before);
    task_.bBidirectional = c.two_way;
    os::SetFileFaultForTest(
        [path = P(c.unexamined).string()](std::string_view op, const std::string& p) {
          return op == "stat" && p == path ? EACCES : 0;
        });
    FakeSink sink(tmp_.str());
    NewRows();
    Passes("s", &sink);
    os::SetFileFaultForTest({});
    EXPECT_EQ(sink.Failures(), c.reports);
    Expect(c.after);
    EXPECT_EQ(NewRows(), Rows(c.rows));
  }
}

TEST_F(FullSyncTest, ASourceThatVanishesIsPassedOverOrFailsWithoutRetry) {
  // The first copy's source and the other file both vanish when the first
  // copy is announced: the copy fails for good, the other is passed over.
  LayTimed("src/a=1@0 src/b=2@0");
  task_.bFailReport = TRUE;
  FakeSink sink(tmp_.str());
  sink.replies = {-1, -1};
  sink.on_report = [&](LONG operation, const std::wstring&, DWORD error) {
    if (operation == kOpCopyFile && error == 0) {
      fs::remove(P("src/a"));
      fs::remove(P("src/b"));
    }
  };
  NewRows();
  Passes("s", &sink);
  ASSERT_EQ(sink.calls.size(), 3u);
  const std::string first = sink.calls[1].find("/src/a") != std::string::npos ? "a" : "b";
  EXPECT_EQ(sink.calls[2], "3 /src/" + first + " /dst/" + first + " 2 1");
  EXPECT_EQ(NewRows(), Rows("failed"));
  Expect("dst/a! dst/b!");
}

}  // namespace
