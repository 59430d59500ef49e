// How fast the sync history takes entries on a real file: a burst of changes
// must not be slowed by its history. Each iteration records a burst and waits
// until all of it is on disk.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_support.h"
#include "os/text.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "store/sync_log_retention.h"

namespace {

SyncLogEntry Entry(int i) {
  SyncLogEntry e;
  e.strTaskName = L"documents";
  e.strChangedFile = L"projects/report-" + std::to_wstring(i) + L".odt";
  e.nAction = 1;
  e.bSourceSide = TRUE;
  e.strFromFile = L"/home/user/documents/" + e.strChangedFile;
  e.strToFile = L"/media/user/backup/documents/" + e.strChangedFile;
  e.strOperation = L"SyncFinish";
  e.nLineNo = 1899;
  e.strInfo = L"Sync source to destination SUCCESS";
  return e;
}

void BM_RecordBurst(benchmark::State& state) {
  const auto dir = ScratchDir();
  ModuleDatabase database(os::FromUtf8(dir.string() + "/"));
  std::string reason;
  if (!database.Open(&reason)) {
    state.SkipWithError(reason.c_str());
    return;
  }
  RunSyncLogRetention(database);
  const int burst = static_cast<int>(state.range(0));
  {
    SyncLogRecorder recorder(database.FilePath(), database.Lock());
    int n = 0;
    for (auto _ : state) {
      for (int i = 0; i < burst; ++i) recorder.Record(Entry(n++));
      recorder.Flush();
    }
    if (recorder.Dropped() != 0) state.SkipWithError("entries were dropped");
  }
  state.SetItemsProcessed(state.iterations() * burst);
  database.Close();
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_RecordBurst)
    ->Arg(1)
    ->Arg(100)
    ->Arg(10000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
