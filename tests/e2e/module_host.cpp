#include "module_host.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "os/text.h"
#include "store/cppsqlite3.h"

namespace module_host {

namespace fs = std::filesystem;
using testing_support::ReadFile;
using testing_support::TempDir;

Module g_module;
TempDir* g_data = nullptr;

namespace {

class ModuleEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_data = new TempDir;
#ifdef _WIN32
    // A Windows host loads the DLL by its wide path; BSTRs are the system's.
    HMODULE library = LoadLibraryW(os::FromUtf8(STRANDEL_LIBRARY).c_str());
    ASSERT_NE(library, nullptr) << "LoadLibraryW: " << GetLastError();
    g_module.library = library;
    auto symbol = [library](const char* name) {
      return reinterpret_cast<void*>(GetProcAddress(library, name));
    };
    g_module.AllocString = &SysAllocString;
    g_module.FreeString = &SysFreeString;
#else
    g_module.library = dlopen(STRANDEL_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(g_module.library, nullptr) << dlerror();
    auto symbol = [](const char* name) { return dlsym(g_module.library, name); };
    g_module.AllocString = reinterpret_cast<BSTR (*)(const OLECHAR*)>(symbol("SysAllocString"));
    g_module.FreeString = reinterpret_cast<void (*)(BSTR)>(symbol("SysFreeString"));
#endif
    g_module.Init = reinterpret_cast<void (*)(const wchar_t*)>(symbol("InitStrandel"));
    g_module.Release = reinterpret_cast<BOOL (*)()>(symbol("ReleaseStrandel"));
    g_module.Monitor = reinterpret_cast<IWatcherMonitor* (*)()>(symbol("GetWatcherMonitor"));
    g_module.Init((g_data->wstr() + os::kPathSeparator).c_str());
  }
  // The library stays loaded until exit, as most hosts keep it; unloading is
  // tested on its own in child processes.
  void TearDown() override {
    EXPECT_EQ(g_module.Release(), TRUE);
    delete g_data;
  }
};

const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new ModuleEnvironment);

}  // namespace

TaskInfo::TaskInfo(const std::wstring& name, const fs::path& source, const fs::path& dest) {
  info_.strWatchTaskName = Keep(name);
  info_.strSourceDir = Keep(os::FromUtf8(source.string()));
  info_.strDestDir = Keep(os::FromUtf8(dest.string()));
  info_.bSyncNow = TRUE;
}

TaskInfo::~TaskInfo() {
  for (BSTR s : owned_) g_module.FreeString(s);
}

BSTR TaskInfo::Keep(const std::wstring& text) {
  owned_.push_back(g_module.AllocString(text.c_str()));
  return owned_.back();
}

LONG DeleteTask(const std::wstring& name) {
  // The method frees the name.
  return CHostDeleteTask(g_module.Monitor(), g_module.AllocString(name.c_str()));
}

LONG AddTaskOver(const std::wstring& name, const fs::path& source, const fs::path& dest,
                 Ways ways) {
  fs::create_directories(source);
  fs::create_directories(dest);
  TaskInfo info(name, source, dest);
  info->bBidirectional = ways == Ways::kTwo ? TRUE : FALSE;
  return CHostAddTask(g_module.Monitor(), info.get());
}

void Write(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

bool HasContent(const fs::path& path, const std::string& content) {
  // The size first: reading opens the file, and Windows cannot replace a file
  // that is open, so a test reading it all the time would stand in the way of
  // the very copy it waits for.
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return !error && size == content.size() && ReadFile(path) == content;
}

void WriteAll(const fs::path& dir, const Files& files) {
  for (const auto& [name, content] : files) {
    fs::create_directories((dir / name).parent_path());
    Write(dir / name, content);
  }
}

bool ArriveIn(const fs::path& dir, const Files& files) {
  return testing_support::PollUntil(
      [&] {
        for (const auto& [name, content] : files) {
          if (!HasContent(dir / name, content)) return false;
        }
        return true;
      },
      std::chrono::seconds(30));
}

std::vector<std::string> Rows(const std::string& sql) {
  CppSQLite3Database db;
  db.open((g_data->str() + "/Strandel.db").c_str());
  // The history writer adds its columns to the table with its first row: a
  // query just before that finds them missing for a moment, a wrong name
  // for good.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    try {
      std::vector<std::string> rows;
      for (CppSQLite3Query q = db.query(sql.c_str()); !q.atEnd(); q.next()) {
        std::string row;
        for (int c = 0; c < q.fieldCount(); ++c) {
          row += (c ? "|" : "") + std::string(q.fieldText(c));
        }
        rows.push_back(row);
      }
      return rows;
    } catch (const CppSQLite3Exception& e) {
      if (std::string(e.errorMessage()).find("no such column") == std::string::npos ||
          std::chrono::steady_clock::now() >= give_up) {
        throw;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
}

// History is written behind the worker's back: a table or column that is not
// there yet counts as no row.
int SyncFinishRows(const std::string& task) {
  try {
    return static_cast<int>(
        Rows("SELECT SN FROM SyncLog WHERE lOperation='SyncFinish' AND lAction>=0 AND "
             "lTaskName='" +
             task + "'")
            .size());
  } catch (const CppSQLite3Exception&) {
    return 0;
  }
}

}  // namespace module_host
