// Shared by the benchmarks: a scratch directory, commands run and waited
// for, paths in the module's wide form, this process's status figures, and
// the module loaded and driven as a host does.
#pragma once

#include <dlfcn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "strandel/strandel.h"

// A path in the module's wide form; a path that is not valid text ends the
// benchmark.
inline std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const size_t n = std::mbstowcs(out.data(), text.c_str(), out.size());
  if (n == static_cast<size_t>(-1)) {
    std::fprintf(stderr, "path is not valid text: %s\n", text.c_str());
    std::exit(1);
  }
  out.resize(n);
  return out;
}

// An export of the loaded module; a missing one ends the benchmark.
template <typename T>
T Symbol(void* library, const char* name) {
  void* address = dlsym(library, name);
  if (address == nullptr) {
    std::fprintf(stderr, "missing export %s\n", name);
    std::exit(1);
  }
  return reinterpret_cast<T>(address);
}

inline std::filesystem::path ScratchDirIn(const std::string& base) {
  std::string pattern = base + "/strandel-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

inline std::filesystem::path ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  return ScratchDirIn(base && *base ? base : "/tmp");
}

// In memory where the machine offers it, so that the disk does not pace the
// benchmark.
inline std::filesystem::path MemoryScratchDir() {
  return std::filesystem::is_directory("/dev/shm") ? ScratchDirIn("/dev/shm") : ScratchDir();
}

// A "Name:  value kB" figure of /proc/self/status (also plain counts such as
// Threads); -1 when absent.
inline long ProcStatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line[n] == ':') return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

// Runs a program (found on PATH, no shell) and waits for it; a failure ends
// the benchmark, whose figures would mean nothing.
inline void RunCommand(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s failed\n", args[0].c_str());
    std::exit(1);
  }
}

// The module as a host holds it: loaded with dlopen, started on a data
// directory, released and unloaded when this goes. Its host window counts
// the ends of full syncs; the window procedure runs on the module's threads,
// so what it records is guarded by mutex_.
class HostedModule {
 public:
  static constexpr UINT kProgressMessage = 0x0400 + 7;
  static constexpr LONG kOpSyncEnd = 6;

  struct SyncEnds {
    uint64_t count = 0;
    std::wstring last_task;
    uint64_t last_failed = 0;
  };

  HostedModule(const char* path, const std::filesystem::path& data) {
    library_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
      std::fprintf(stderr, "dlopen: %s\n", dlerror());
      std::exit(1);
    }
    release_ = Symbol<BOOL (*)()>(library_, "ReleaseStrandel");
    alloc_ = Symbol<BSTR (*)(const OLECHAR*)>(library_, "SysAllocString");
    free_ = Symbol<void (*)(BSTR)>(library_, "SysFreeString");
    Symbol<void (*)(const wchar_t*)>(library_,
                                     "InitStrandel")((Wide(data.string()) + L"/").c_str());
    monitor_ = Symbol<IWatcherMonitor* (*)()>(library_, "GetWatcherMonitor")();
    monitor_->SetNotifyWindow(&window_, kProgressMessage);
  }
  ~HostedModule() {
    window_.bAlive = 0;
    if (release_() != TRUE) std::fprintf(stderr, "ReleaseStrandel: not every thread stopped\n");
    dlclose(library_);
  }
  HostedModule(const HostedModule&) = delete;
  HostedModule& operator=(const HostedModule&) = delete;

  IWatcherMonitor* monitor() const { return monitor_; }

  // A task's form with its three strings allocated by the module; FreeInfo
  // gives them back.
  WatchTaskInfo Info(const std::wstring& name, const std::filesystem::path& src,
                     const std::filesystem::path& dst) const {
    WatchTaskInfo info{};
    info.strWatchTaskName = alloc_(name.c_str());
    info.strSourceDir = alloc_(Wide(src.string()).c_str());
    info.strDestDir = alloc_(Wide(dst.string()).c_str());
    return info;
  }
  void FreeInfo(WatchTaskInfo& info) const {
    for (BSTR s : {info.strWatchTaskName, info.strSourceDir, info.strDestDir}) free_(s);
  }

  // Adds the task and frees its strings; a refusal ends the benchmark.
  void AddTask(WatchTaskInfo info) const {
    const LONG index = monitor_->AddWatchTask(&info);
    FreeInfo(info);
    if (index == 1 || index < 0) {
      std::fprintf(stderr, "AddWatchTask refused the task: %d\n", index);
      std::exit(1);
    }
  }

  SyncEnds Ends() {
    std::lock_guard<std::mutex> guard(mutex_);
    return ends_;
  }

  // Waits until more than `seen` full syncs have ended; false on time-out.
  template <typename Duration>
  bool WaitForEnd(uint64_t seen, Duration timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_cv_.wait_for(lock, timeout, [&] { return ends_.count > seen; });
  }

 private:
  static LRESULT Proc(HWND hWnd, UINT, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<HostedModule*>(hWnd->pContext);
    if (static_cast<LONG>(wParam) == kOpSyncEnd) {
      const auto* info = reinterpret_cast<const SyncProgressInfo*>(lParam);
      {
        std::lock_guard<std::mutex> guard(self->mutex_);
        ++self->ends_.count;
        self->ends_.last_task = info->pszFirstPath != nullptr ? info->pszFirstPath : L"";
        self->ends_.last_failed = info->nItemsFailed;
      }
      self->ended_cv_.notify_all();
    }
    return 0;
  }

  void* library_ = nullptr;
  BOOL (*release_)() = nullptr;
  BSTR (*alloc_)(const OLECHAR*) = nullptr;
  void (*free_)(BSTR) = nullptr;
  IWatcherMonitor* monitor_ = nullptr;
  HWND__ window_{sizeof(HWND__), 1, &Proc, this};
  std::mutex mutex_;
  std::condition_variable ended_cv_;
  SyncEnds ends_;  // guarded by mutex_
};
