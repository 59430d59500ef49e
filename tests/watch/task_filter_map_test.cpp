#include "watch/task_filter_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

WatchTask FilteredTask(const std::wstring& name, const wchar_t* include, const wchar_t* exclude) {
  WatchTask task;
  task.strWatchTaskName = name;
  task.bSetInclude = include != nullptr;
  task.bSetExclude = exclude != nullptr;
  task.strIncludeFilter = include ? include : L"*.never";
  task.strExcludeFilter = exclude ? exclude : L"*";
  return task;
}

TEST(TaskFilterEntry, PatternsComeOnlyFromTheFlagsThatAreSet) {
  const auto both = MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt;*.md", L"a*"));
  EXPECT_EQ(both.task_name, L"t");
  EXPECT_EQ(both.include_patterns, (std::vector<std::wstring>{L"*.txt", L"*.md"}));
  EXPECT_EQ(both.exclude_patterns, std::vector<std::wstring>{L"a*"});

  // The unset side's text is ignored, so a stale filter string does not act.
  const auto include_only = MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr));
  EXPECT_TRUE(include_only.exclude_patterns.empty());
  EXPECT_TRUE(PassesFilterEntry(include_only, L"b.txt"));
  const auto exclude_only = MakeTaskFilterEntry(FilteredTask(L"t", nullptr, L"*.tmp"));
  EXPECT_TRUE(exclude_only.include_patterns.empty());
  EXPECT_TRUE(PassesFilterEntry(exclude_only, L"b.doc"));
  EXPECT_FALSE(PassesFilterEntry(exclude_only, L"b.TMP"));
}

TEST(TaskFilterMap, ExclusionWinsAndUnknownTasksPass) {
  TaskFilterMap map;
  map.Insert(MakeTaskFilterEntry(FilteredTask(L"docs", L"*.txt", L"a*")));
  EXPECT_FALSE(map.Passes(L"docs", L"a.txt"));
  EXPECT_TRUE(map.Passes(L"docs", L"b.txt"));
  EXPECT_FALSE(map.Passes(L"docs", L"b.doc"));
  EXPECT_TRUE(map.Passes(L"other", L"a.doc"));
  EXPECT_TRUE(map.Passes(L"Docs", L"a.doc"));  // names compare exactly
}

TEST(TaskFilterMap, InsertReplacesAndClearEmpties) {
  TaskFilterMap map;
  map.Insert(MakeTaskFilterEntry(FilteredTask(L"t", L"*.txt", nullptr)));
  map.Insert(MakeTaskFilterEntry(FilteredTask(L"t", L"*.doc", nullptr)));
  EXPECT_EQ(map.Size(), 1u);
  EXPECT_FALSE(map.Passes(L"t", L"a.txt"));
  EXPECT_TRUE(map.Passes(L"t", L"a.doc"));
  map.Clear();
  EXPECT_FALSE(map.Find(L"t").has_value());
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
