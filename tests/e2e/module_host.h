// The library as a host loads it, shared by the end-to-end suites of one test
// program: dlopen once, the exports, task descriptions whose strings belong to
// the test, and reading Strandel.db as another process would.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "c_host.h"
#include "strandel/strandel.h"
#include "test_support.h"

namespace module_host {

struct Module {
  void* library = nullptr;
  void (*Init)(const wchar_t*) = nullptr;
  BOOL (*Release)() = nullptr;
  IWatcherMonitor* (*Monitor)() = nullptr;
  BSTR (*AllocString)(const OLECHAR*) = nullptr;
  void (*FreeString)(BSTR) = nullptr;
};

// Loaded and started before the first test, released after the last.
extern Module g_module;
extern testing_support::TempDir* g_data;

// A task description whose strings belong to the test.
class TaskInfo {
 public:
  TaskInfo(const std::wstring& name, const std::filesystem::path& source,
           const std::filesystem::path& dest);
  ~TaskInfo();
  TaskInfo(const TaskInfo&) = delete;
  TaskInfo& operator=(const TaskInfo&) = delete;
  WatchTaskInfo* operator->() { return &info_; }
  WatchTaskInfo* get() { return &info_; }
  BSTR Keep(const std::wstring& text);

 private:
  WatchTaskInfo info_{};
  std::vector<BSTR> owned_;
};

// A test that drives the module on directories of its own.
class HostTest : public ::testing::Test {
 protected:
  IWatcherMonitor* monitor() { return g_module.Monitor(); }
  LONG Add(TaskInfo& info) { return CHostAddTask(monitor(), info.get()); }
  testing_support::TempDir dir_;
};

// Deletes the task through the monitor; 0 on success.
LONG DeleteTask(const std::wstring& name);

// Makes both directories and adds a task over them, one way or both ways,
// through the monitor; what the add returned (the index on success).
enum class Ways { kOne, kTwo };
LONG AddTaskOver(const std::wstring& name, const std::filesystem::path& source,
                 const std::filesystem::path& dest, Ways ways);

void Write(const std::filesystem::path& path, const std::string& content);
bool HasContent(const std::filesystem::path& path, const std::string& content);

using Files = std::map<std::string, std::string>;  // relative name -> content
// Writes each file under dir, making the folders it needs.
void WriteAll(const std::filesystem::path& dir, const Files& files);
// Waits until every file stands in dir with its content, with a deadline that
// covers a retry period, a volume's settling pause and a full sync.
bool ArriveIn(const std::filesystem::path& dir, const Files& files);

// The rows of a query on the module's Strandel.db, columns joined with "|".
std::vector<std::string> Rows(const std::string& sql);

// The task's "SyncFinish" rows of synchronised changes; 0 while the history
// table does not exist yet.
int SyncFinishRows(const std::string& task);

}  // namespace module_host
