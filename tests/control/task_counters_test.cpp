#include "control/task_counters.h"

#include <gtest/gtest.h>

#include "store/watch_task_map.h"

namespace {

TEST(TaskCounters, LoadingSetsTheNextIndexAboveTheLargest) {
  TaskIndexCounter counter;
  EXPECT_EQ(counter.TakeNext(), 20000u);
  for (DWORD index : {20003u, 20010u, 20005u}) counter.NoteLoaded(index);
  counter.FinishLoad();
  EXPECT_EQ(counter.Next(), 20011u);
  counter.FinishLoad();  // a second load with no new rows
  EXPECT_EQ(counter.Next(), 20012u);
  EXPECT_EQ(counter.TakeNext(), 20012u);
  EXPECT_EQ(counter.TakeNext(), 20013u);
}

TEST(TaskCounters, LoadMayLowerTheNextIndex) {
  TaskIndexCounter counter;
  for (int i = 0; i < 50; ++i) counter.TakeNext();
  counter.NoteLoaded(20001);
  counter.FinishLoad();
  EXPECT_EQ(counter.Next(), 20002u);
}

TEST(TaskCounters, TimerIdsReuseFreedOnesFirstAndResetToTen) {
  TimerIdPool pool;
  EXPECT_EQ(pool.Acquire(), 10u);
  EXPECT_EQ(pool.Acquire(), 11u);
  EXPECT_EQ(pool.Acquire(), 12u);
  pool.Release(11);
  pool.Release(10);
  EXPECT_EQ(pool.Acquire(), 11u);
  EXPECT_EQ(pool.AcquireFresh(), 13u);  // loading ignores the free list
  EXPECT_EQ(pool.Acquire(), 10u);
  EXPECT_EQ(pool.Acquire(), 14u);
  pool.Release(0);  // "holds no id" is never a free id
  EXPECT_EQ(pool.Acquire(), 15u);
  pool.Reset();
  EXPECT_EQ(pool.NextFresh(), 10u);
  EXPECT_EQ(pool.Acquire(), 10u);
}

TEST(WatchTaskMap, NamesAreCaseSensitiveAndIterationIsInNameOrder) {
  WatchTaskMap map;
  for (const wchar_t* name : {L"beta", L"Alpha", L"alpha"}) {
    WatchTask task;
    task.strWatchTaskName = name;
    map.Store(task);
  }
  EXPECT_EQ(map.Count(), 3u);
  std::vector<std::wstring> names;
  for (const auto& task : map.Snapshot()) names.push_back(task.strWatchTaskName);
  EXPECT_EQ(names, (std::vector<std::wstring>{L"Alpha", L"alpha", L"beta"}));
  WatchTask replaced;
  replaced.strWatchTaskName = L"alpha";
  replaced.dwTaskIndex = 9;
  map.Store(replaced);
  EXPECT_EQ(map.Count(), 3u);
  EXPECT_EQ(map.Lookup(L"alpha")->dwTaskIndex, 9u);
  EXPECT_TRUE(map.Erase(L"Alpha"));
  EXPECT_FALSE(map.Erase(L"Alpha"));
  EXPECT_FALSE(map.Lookup(L"Alpha").has_value());
}

}  // namespace
