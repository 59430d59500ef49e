// The task map's two writers: the controller and the watch thread each write
// their own fields, so a stale copy of one never undoes the other's write.
#include "store/watch_task_map.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

WatchTask Task(UINT timer_id) {
  WatchTask task;
  task.strWatchTaskName = L"docs";
  task.strSourceDir = L"/src/docs";
  task.strDestDir = L"/dst/docs";
  task.bEnableTimer = TRUE;
  task.nTimerId = timer_id;
  return task;
}

// The watch thread copies the task, the controller gives it a timer, then the
// watch thread writes back what it found: the timer stays.
TEST(WatchTaskMap, WhatTheWatchFoundNeverUndoesALaterTimerId) {
  WatchTaskMap map;
  map.Store(Task(0));
  WatchTask watched = *map.Lookup(L"docs");
  ASSERT_TRUE(map.SetTimerId(L"docs", 12));
  watched.strSrcFileSystem = L"UNKNOW/";
  watched.strSrcWatchPath = L"/src/docs";
  watched.bDestIsDrive = TRUE;
  ASSERT_TRUE(map.NoteWatchState(watched));
  const WatchTask now = *map.Lookup(L"docs");
  EXPECT_EQ(now.nTimerId, 12u);
  EXPECT_EQ(now.strSrcFileSystem, L"UNKNOW/");
  EXPECT_EQ(now.strSrcWatchPath, L"/src/docs");
  EXPECT_EQ(now.bDestIsDrive, TRUE);
  // A task deleted meanwhile is not brought back by either writer.
  ASSERT_TRUE(map.Erase(L"docs"));
  EXPECT_FALSE(map.NoteWatchState(watched));
  EXPECT_FALSE(map.SetTimerId(L"docs", 13));
  EXPECT_EQ(map.Count(), 0u);
}

// The same two writers at full speed, as the threads run them: the watch
// thread writes for as long as the controller hands out timer ids.
TEST(WatchTaskMap, ConcurrentWritersLoseNoTimerId) {
  WatchTaskMap map;
  map.Store(Task(0));
  std::atomic<bool> started{false};
  std::atomic<bool> done{false};
  std::thread watch([&] {
    WatchTask watched = Task(0);
    for (UINT i = 0; !done; ++i) {
      watched.strDestFileSystem = L"round " + std::to_wstring(i);
      map.NoteWatchState(watched);
      started = true;
    }
  });
  while (!started) std::this_thread::yield();
  UINT lost = 0;
  for (UINT id = 10; id < 500010; ++id) {
    map.SetTimerId(L"docs", id);
    lost += map.Lookup(L"docs")->nTimerId != id;
  }
  done = true;
  watch.join();
  EXPECT_EQ(lost, 0u);
}

}  // namespace
