// Task filters: the include and exclude lists a task's settings give, and the
// per-task store the sync worker consults while the watch thread rebuilds it.
#include "watch/task_filter_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

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
    bool passes;
  };
  const Case cases[] = {
      {nullptr, nullptr, L"any", true},
      {L"*.doc;*.txt", nullptr, L"B.TXT", true},
      {L"*.txt", nullptr, L"b.doc", false},
      // "*.*" first accepts even names without a dot, unlike "*.*" elsewhere.
      {L"*.*;*.never", nullptr, L"README", true},
      {L"*.txt;*.*", nullptr, L"README", false},
      {L"*.txt;*.*", nullptr, L"notes.md", true},
      {L"*.txt;;*.doc", nullptr, L"a.doc", false},  // the first empty piece ends the list
      {L"*.doc; *.txt", nullptr, L"a.txt", false},  // blanks belong to the pattern
      {nullptr, L"a*;*.tmp", L"b.tmp", false},
      {nullptr, L"a*;*.tmp", L"b.doc", true},
      {L"*.txt", L"a*", L"a.txt", false},  // exclusion wins
      {L"*.txt", L"a*", L"b.txt", true},
  };
  for (const Case& c : cases) {
    const TaskFilterEntry entry = MakeTaskFilterEntry(FilteredTask(L"t", c.include, c.exclude));
    EXPECT_EQ(PassesFilterEntry(entry, c.name), c.passes) << "row " << (&c - cases);
  }
}

TEST(TaskFilterMap, AnEntryReplacesItsTaskAndUnknownTasksPass) {
  TaskFilterMap map;
  map.Insert(MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr)));
  map.Insert(MakeTaskFilterEntry(FilteredTask(L"t", L"*.doc", nullptr)));
  EXPECT_FALSE(map.Passes(L"t", L"a.txt"));
  EXPECT_TRUE(map.Passes(L"t", L"a.doc"));
  EXPECT_TRUE(map.Passes(L"T", L"a.txt"));  // names compare exactly
  map.Clear();
  EXPECT_TRUE(map.Passes(L"t", L"a.txt"));
}

TEST(TaskFilterMap, RebuildWhileTheWorkerReads) {
  // Run under ThreadSanitizer in CI; the answer must only ever be one of the
  // two states the writer leaves the map in.
  TaskFilterMap map;
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) {
      map.Clear();
      map.Insert(MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr)));
    }
    stop = true;
  });
  while (!stop) EXPECT_TRUE(map.Passes(L"t", L"a.txt"));
  writer.join();
  EXPECT_FALSE(map.Passes(L"t", L"a.doc"));
}

}  // namespace
