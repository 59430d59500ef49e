// Task filters: the include and exclude lists a task's settings give, and the
// per-task store the sync worker consults while the watch thread rebuilds it.
#include "watch/task_filter_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "test_support.h"

namespace {

// nullptr leaves that filter unset, with stale text that must not act.
WatchTask FilteredTask(const std::wstring& name, const wchar_t* include, const wchar_t* exclude) {
  WatchTask task;
  task.strWatchTaskName = name;
  task.bSetInclude = include != nullptr;
  task.bSetExclude = exclude != nullptr;
  task.strIncludeFilter = include ? include : L"*.never";
  task.strExcludeFilter = exclude ? exclude : L"*";
  return task;
}

TEST(TaskFilters, IncludeAndExcludeLists) {
  struct Case {
    const wchar_t* include;
    const wchar_t* exclude;
    const wchar_t* name;
    bool is_directory;
    bool passes;
  };
  const Case cases[] = {
      {nullptr, nullptr, L"any", false, true},
      {L"*.doc;*.txt", nullptr, L"B.TXT", false, true},
      {L"*.txt", nullptr, L"b.doc", false, false},
      // "*.*" first accepts even names without a dot, unlike "*.*" elsewhere.
      {L"*.*;*.never", nullptr, L"README", false, true},
      {L"*.txt;*.*", nullptr, L"README", false, false},
      {L"*.txt;*.*", nullptr, L"notes.md", false, true},
      {L"*.txt;;*.doc", nullptr, L"a.doc", false, false},  // the first empty piece ends the list
      {L"*.doc; *.txt", nullptr, L"a.txt", false, false},  // blanks belong to the pattern
      {nullptr, L"a*;*.tmp", L"b.tmp", false, false},
      {nullptr, L"a*;*.tmp", L"b.doc", false, true},
      {L"*.txt", L"a*", L"a.txt", false, false},  // exclusion wins
      {L"*.txt", L"a*", L"b.txt", false, true},
      // Patterns see the name behind the last separator, never a directory part.
      {L"*.txt", L"a*", L"a-dir/b.txt", false, true},
      {L"*.txt", L"a*", L"b-dir/a.txt", false, false},
      {L"*.txt", nullptr, L"x.txt/readme", false, false},
      // Directories always pass.
      {L"*.txt", L"a*", L"a.doc", true, true},
      {L"*.txt", L"a*", L"in/a.doc", true, true},
  };
  for (const Case& c : cases) {
    const TaskFilterEntry entry = MakeTaskFilterEntry(FilteredTask(L"t", c.include, c.exclude));
    EXPECT_EQ(PassesFilterEntry(entry, testing_support::NativePath(c.name), c.is_directory),
              c.passes)
        << "row " << (&c - cases);
  }
}

TEST(TaskFilterMap, AReplacementDropsEveryOldEntryAndUnknownTasksPass) {
  TaskFilterMap map;
  map.Replace({MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr)),
               MakeTaskFilterEntry(FilteredTask(L"u", L"*.txt", nullptr))});
  EXPECT_FALSE(map.Passes(L"t", L"a.doc", false));
  EXPECT_TRUE(map.Passes(L"T", L"a.doc", false));  // names compare exactly
  map.Replace({MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr)),
               MakeTaskFilterEntry(FilteredTask(L"t", L"*.doc", nullptr))});
  EXPECT_EQ(map.Size(), 1u);
  EXPECT_FALSE(map.Passes(L"t", L"a.txt", false));  // the later entry of a name wins
  EXPECT_TRUE(map.Passes(L"t", L"a.doc", false));
  EXPECT_TRUE(map.Passes(L"u", L"a.doc", false));
  map.Replace({});
  EXPECT_TRUE(map.Passes(L"t", L"a.txt", false));
}

TEST(TaskFilterMap, AReaderNeverSeesTheMapBetweenTwoSets) {
  // Every set the writer puts in filters task t: a reader that ever finds t
  // unfiltered has seen a map half rebuilt. Also run under ThreadSanitizer.
  TaskFilterMap map;
  const std::vector<TaskFilterEntry> one = {
      MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr))};
  const std::vector<TaskFilterEntry> two = {
      MakeTaskFilterEntry(FilteredTask(L"s", nullptr, L"*.tmp")),
      MakeTaskFilterEntry(FilteredTask(L"t", nullptr, L"*.doc"))};
  map.Replace(one);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) {
      map.Replace(two);
      map.Replace(one);
    }
  });
  long unfiltered = 0;
  for (int i = 0; i < 300000; ++i) unfiltered += map.Passes(L"t", L"a.doc", false) ? 1 : 0;
  stop = true;
  writer.join();
  EXPECT_EQ(unfiltered, 0);
}

}  // namespace
