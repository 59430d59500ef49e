// A minimal host for the lifecycle tests: each scenario drives the module
// through its public surface and prints what it saw, one "key=value" a line.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

template <typename T>
T Symbol(void* lib, const char* name) {
  return reinterpret_cast<T>(dlsym(lib, name));
}

int Unload(const char* lib_path, const char* dir_arg, bool release_first) {
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
  if (release_first) std::printf("release=%d\n", release());
  std::printf("dlclose=%d\n", dlclose(lib));
  std::printf("unloaded=1\n");
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "lifecycle") == 0) return Lifecycle(argv[2]);
  if (argc >= 3 && std::strcmp(argv[1], "exit") == 0) return ExitWithoutRelease(argv[2]);
  if (argc >= 4 && std::strcmp(argv[1], "unload") == 0) return Unload(argv[2], argv[3], true);
  if (argc >= 4 && std::strcmp(argv[1], "unload-running") == 0) {
    return Unload(argv[2], argv[3], false);
  }
  std::fprintf(stderr, "usage: host_probe lifecycle|exit DIR | unload|unload-running LIB DIR\n");
  return 2;
}
