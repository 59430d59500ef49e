// The smallest useful host: starts the module over a data directory, adds a
// one-way task, mirrors for a while and stops.
//   embed_host DATA_DIR SOURCE DEST [SECONDS]
#include <strandel/strandel.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// Plain ASCII paths keep the example short; real hosts convert from UTF-8.
std::wstring Wide(const char* text) {
  return std::wstring(text, text + std::char_traits<char>::length(text));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s DATA_DIR SOURCE DEST [SECONDS]\n", argv[0]);
    return 2;
  }
  InitStrandel(Wide(argv[1]).c_str());
  IWatcherMonitor* monitor = GetWatcherMonitor();
  if (monitor == nullptr) return 1;

  WatchTaskInfo task{};
  task.strWatchTaskName = SysAllocString(L"example");
  task.strSourceDir = SysAllocString(Wide(argv[2]).c_str());
  task.strDestDir = SysAllocString(Wide(argv[3]).c_str());
  task.bSyncNow = TRUE;  // follow changes as they happen
  task.enDelStrategy = DelToRecycleBin;
  const LONG index = monitor->AddWatchTask(&task);  // -3: the name is taken, -2: the pair loops
  SysFreeString(task.strWatchTaskName);
  SysFreeString(task.strSourceDir);
  SysFreeString(task.strDestDir);
  std::printf("AddWatchTask: %d\n", static_cast<int>(index));

  LONG count = 0;
  monitor->GetTaskCount(&count);
  std::printf("%d task(s); mirroring\n", static_cast<int>(count));
  std::this_thread::sleep_for(std::chrono::seconds(argc > 4 ? std::atoi(argv[4]) : 10));
  return ReleaseStrandel() ? 0 : 1;
}
