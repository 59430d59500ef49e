// A minimal host for the lifecycle tests: each scenario drives the module
// through its public surface and prints what it saw, one "key=value" a line.
#include <dirent.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "strandel/strandel.h"

namespace {

std::wstring Widen(const char* text) {
  std::wstring out;
  for (const char* p = text; *p != '\0'; ++p) out.push_back(static_cast<unsigned char>(*p));
  return out;
}

// "-" means a null directory, "" an empty one.
const wchar_t* DataDir(const char* arg, std::wstring* storage) {
  if (std::strcmp(arg, "-") == 0) return nullptr;
  *storage = Widen(arg);
  return storage->c_str();
}

int Lifecycle(const char* dir_arg) {
  std::wstring dir;
  std::printf("release_before=%d\n", ReleaseStrandel());
  InitStrandel(DataDir(dir_arg, &dir));
  IWatcherMonitor* monitor = GetWatcherMonitor();
  std::printf("monitor=%d\n", monitor != nullptr);
  std::printf("same_monitor=%d\n", GetWatcherMonitor() == monitor);
  InitStrandel(DataDir(dir_arg, &dir));
  std::printf("same_after_second_init=%d\n", GetWatcherMonitor() == monitor);
  if (monitor != nullptr) {
    LONG count = -1;
    const HRESULT hr = monitor->GetTaskCount(&count);
    std::printf("count_hr=%d count=%d\n", hr, count);
  }
  SetSyncHint(nullptr, nullptr);
  std::printf("release=%d\n", ReleaseStrandel());
  std::printf("release_again=%d\n", ReleaseStrandel());
  std::fflush(stdout);
  return 0;  // static destruction closes the module
}

int ExitWithoutRelease(const char* dir_arg) {
  std::wstring dir;
  InitStrandel(DataDir(dir_arg, &dir));
  std::printf("monitor=%d\n", GetWatcherMonitor() != nullptr);
  std::fflush(stdout);
  std::exit(0);
}

// The threads of this process that carry the name of the module's share
// connections.
int ShareThreads() {
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string comm = std::string("/proc/self/task/") + entry->d_name + "/comm";
    char name[32] = {};
    if (FILE* file = std::fopen(comm.c_str(), "r")) {
      count += std::fgets(name, sizeof name, file) != nullptr &&
               std::strcmp(name, "strandel-share\n") == 0;
      std::fclose(file);
    }
  }
  closedir(tasks);
  return count;
}

template <typename T>
T Symbol(void* lib, const char* name) {
  return reinterpret_cast<T>(dlsym(lib, name));
}

// kShareProbing: the module is released while one of its share connections
// is still probing (seen by its thread's name).
enum class UnloadMode { kReleased, kRunning, kShareProbing };

// Polls for a running share connection, for up to five seconds.
int WaitForShareThread() {
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ShareThreads() == 0 && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ShareThreads();
}

int Unload(const char* lib_path, const char* dir_arg, UnloadMode mode) {
  void* lib = dlopen(lib_path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    std::printf("dlopen=%s\n", dlerror());
    return 3;
  }
  auto init = Symbol<void (*)(const wchar_t*)>(lib, "InitStrandel");
  auto release = Symbol<BOOL (*)()>(lib, "ReleaseStrandel");
  auto get = Symbol<IWatcherMonitor* (*)()>(lib, "GetWatcherMonitor");
  std::wstring dir;
  init(DataDir(dir_arg, &dir));
  std::printf("monitor=%d\n", get() != nullptr);
  if (mode == UnloadMode::kShareProbing) std::printf("share_threads=%d\n", WaitForShareThread());
  if (mode != UnloadMode::kRunning) {
    const auto start = std::chrono::steady_clock::now();
    std::printf("release=%d\n", release());
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("release_ms=%lld\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
  }
  if (mode == UnloadMode::kShareProbing) {
    std::printf("share_threads_released=%d\n", ShareThreads());
  }
  std::printf("dlclose=%d\n", dlclose(lib));
  std::printf("unloaded=1\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "lifecycle") == 0) return Lifecycle(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) return ExitWithoutRelease(argv[2]);
  const std::pair<const char*, UnloadMode> unloads[] = {
      {"unload", UnloadMode::kReleased},
      {"unload-running", UnloadMode::kRunning},
      {"unload-share-probing", UnloadMode::kShareProbing},
  };
  for (const auto& [name, mode] : unloads) {
    if (argc >= 4 && std::strcmp(argv[1], name) == 0) return Unload(argv[2], argv[3], mode);
  }
  std::fprintf(stderr,
               "usage: host_probe lifecycle|exit DIR | "
               "unload|unload-running|unload-share-probing LIB DIR\n");
  return 2;
}
