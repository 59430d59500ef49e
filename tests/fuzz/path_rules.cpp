// The loop guard and the add and reset checks over random task sets: paths
// drawn mostly from a few overlapping names (with repeated, trailing, "." and
// ".." separators and letter case that differs) so that chains and cycles of
// tasks are common. It must answer, quickly, for every set.
#include "watch/path_rules.h"

#include <cstdint>
#include <string>
#include <vector>

#include "control/task_rules.h"
#include "fuzz_support.h"

namespace {

const wchar_t* const kComponents[] = {L"a", L"b", L"A", L"c", L"", L".", L"..", L"a b"};

std::wstring ConsumePath(FuzzedDataProvider& data) {
  if (data.ConsumeIntegralInRange(0, 7) == 0) return fuzz::ConsumeWide(data, 32);
  std::wstring path;
  for (int depth = data.ConsumeIntegralInRange(0, 3); depth >= 0; --depth) {
    path += L'/';
    path += data.PickValueInArray(kComponents);
  }
  return path;
}

WatchTask ConsumeTask(FuzzedDataProvider& data) {
  WatchTask task;
  task.dwTaskIndex = data.ConsumeIntegralInRange<DWORD>(20000, 20004);
  task.strWatchTaskName = fuzz::ConsumeWide(data, 4);
  task.strSourceDir = ConsumePath(data);
  task.strDestDir = ConsumePath(data);
  task.bBidirectional = data.ConsumeBool();
  return task;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  std::vector<WatchTask> tasks(data.ConsumeIntegralInRange<std::size_t>(0, kMaxTasks));
  for (WatchTask& task : tasks) task = ConsumeTask(data);
  const WatchTask candidate = ConsumeTask(data);

  IsLegalSyncPath(candidate.strSourceDir, candidate.strDestDir, tasks,
                  data.ConsumeIntegralInRange<DWORD>(20000, 20004),
                  data.ConsumeIntegralInRange(-1, static_cast<int>(tasks.size())));

  // As a module started over these tasks would check an add and a reset.
  WatchTaskMap map;
  TaskIndexCounter indexes;
  LoadTaskMap(tasks, map, indexes);
  CheckAddedTask(candidate, map);
  CheckResetTask(candidate.dwTaskIndex, candidate, map);
  return 0;
}
