// The watch side's two costs: decoding a completed read into change records
// (records per second on one core), and the time from a writer's close() in a
// watched tree to the change record waiting in the change queue.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "os/directory_watch.h"
#include "os/text.h"
#include "watch/read_notification.h"
#include "watch/watch_thread.h"

namespace {

// A full 32 KiB read of "added" records with typical relative names.
std::vector<char> FullRead(std::size_t* count) {
  std::vector<char> bytes(CWatchThread::kSlotSize, 0);
  std::size_t offset = 0;
  std::size_t last = 0;
  *count = 0;
  for (int i = 0;; ++i) {
    const std::wstring name = L"projects/2026/report-" + std::to_wstring(i) + L".odt";
    const std::size_t head = offsetof(FILE_NOTIFY_INFORMATION, FileName);
    const std::size_t length = (head + name.size() * sizeof(wchar_t) + 3) & ~std::size_t{3};
    if (offset + length > bytes.size()) break;
    auto* r = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes.data() + offset);
    if (*count > 0) {
      reinterpret_cast<FILE_NOTIFY_INFORMATION*>(bytes.data() + last)->NextEntryOffset =
          static_cast<DWORD>(offset - last);
    }
    r->Action = FILE_ACTION_ADDED;
    r->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    std::memcpy(r->FileName, name.data(), r->FileNameLength);
    last = offset;
    offset += length;
    ++*count;
  }
  return bytes;
}

void BM_DecodeRecords(benchmark::State& state) {
  WatchTaskMap map;
  WatchShared shared(map, nullptr);
  WatchTask task;
  task.strWatchTaskName = L"documents";
  task.strSrcWatchPath = L"/home/user/documents";
  task.strDestWatchPath = L"/media/user/backup/documents";
  task.bSyncNow = TRUE;
  std::size_t count = 0;
  const std::vector<char> read = FullRead(&count);
  for (auto _ : state) {
    DecodeNotifications(read.data(), read.size(), task, TRUE, shared);
    state.PauseTiming();
    while (shared.m_ChangeQueue.TakeFront()) {
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(count));
}
BENCHMARK(BM_DecodeRecords);

// close() to record in the queue, through the real watch thread.
void BM_CloseToQueue(benchmark::State& state) {
  const auto dir = ScratchDir();
  std::filesystem::create_directories(dir / "src");
  std::filesystem::create_directories(dir / "dst");
  WatchTaskMap map;
  WatchShared shared(map, nullptr);
  WatchTask task;
  task.strWatchTaskName = L"t";
  task.strSourceDir = os::FromUtf8((dir / "src").string());
  task.strDestDir = os::FromUtf8((dir / "dst").string());
  task.bSyncNow = TRUE;
  map.Store(task);
  shared.m_bWatchThreadRunning = true;
  {
    CWatchThread thread(shared);
    thread.Start();
    thread.PostMessage(WM_START_FILESYS_WATCH, 0, 0);
    shared.m_hWatchReady.Wait(10000);
    std::vector<double> micros;
    int n = 0;
    for (auto _ : state) {
      const std::string path = (dir / "src" / ("f" + std::to_string(n++))).string();
      const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      (void)!::write(fd, "data", 4);
      const auto start = std::chrono::steady_clock::now();
      ::close(fd);
      while (shared.m_ChangeQueue.Empty()) {
      }
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
      while (shared.m_ChangeQueue.TakeFront()) {
      }
    }
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
      state.counters["p50_us"] = micros[micros.size() / 2];
      state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    }
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_CloseToQueue)->Iterations(2000)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
