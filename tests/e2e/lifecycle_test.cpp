// The module's life as a host sees it, each case in a process of its own:
// start, stop, a second start, unloading, and a host that never says goodbye.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "store/module_database.h"
#include "test_support.h"

namespace {

using testing_support::ProcessResult;
using testing_support::ReadFile;
using testing_support::RunProcess;
using testing_support::TempDir;

void ExpectCleanEnd(const ProcessResult& run) {
  EXPECT_FALSE(run.timed_out) << run.output;
  EXPECT_EQ(run.signal, 0) << run.output;
  EXPECT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.output.find("Sanitizer"), std::string::npos) << run.output;
  EXPECT_EQ(run.output.find("runtime error"), std::string::npos) << run.output;
}

bool Has(const ProcessResult& run, const std::string& line) {
  return run.output.find(line + "\n") != std::string::npos;
}

// The number after "key=" in the output; -1 when there is none.
long Value(const ProcessResult& run, const std::string& key) {
  const auto at = run.output.find(key + "=");
  return at == std::string::npos ? -1 : std::stol(run.output.substr(at + key.size() + 1));
}

TEST(Lifecycle, StartStopAndRepeatedCallsWithADataDirectory) {
  TempDir cwd, data;
  const auto run = RunProcess(STRANDEL_HOST_PROBE, {"lifecycle", data.str()}, cwd.str());
  ExpectCleanEnd(run);
  EXPECT_TRUE(Has(run, "release_before=0"));
  EXPECT_TRUE(Has(run, "monitor=1"));
  EXPECT_TRUE(Has(run, "same_monitor=1"));
  EXPECT_TRUE(Has(run, "same_after_second_init=1"));
  EXPECT_TRUE(Has(run, "count_hr=0 count=0"));
  EXPECT_TRUE(Has(run, "release=1"));
  EXPECT_TRUE(Has(run, "release_again=1"));
  // The database and its lock hold share passwords' neighbourhood: owner only.
  for (const char* name : {"Strandel.db", "Strandel.db.lock"}) {
    struct stat st;
    ASSERT_EQ(stat((data.path() / name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  // Before the start there is no data directory: the report lands in the
  // current directory, at error level.
  const std::string report = ReadFile(cwd.path() / "Report.dat");
  EXPECT_NE(report.find("ERROR\tReleaseStrandel failed, no main frame\n"), std::string::npos)
      << report;
}

TEST(Lifecycle, NullEmptyAndMissingDataDirectoriesStillStart) {
  TempDir cwd;
  for (const std::string dir : {"-", "", "/nonexistent-dir-for-strandel/data"}) {
    const auto run = RunProcess(STRANDEL_HOST_PROBE, {"lifecycle", dir}, cwd.str());
    ExpectCleanEnd(run);
    EXPECT_TRUE(Has(run, "monitor=1")) << dir;
    EXPECT_TRUE(Has(run, "release=1")) << dir;
  }
}

// A directory others could change, or one whose files are links, is refused
// before anything is written there: the host finds no monitor, and the trace
// says why. Once put right, the module starts.
TEST(Lifecycle, TheModuleStartsOnlyOnAPrivateDataDirectory) {
  namespace fs = std::filesystem;
  TempDir cwd, dir;
  const fs::path outside = dir.path() / "outside";
  const fs::path data = dir.path() / "data";
  fs::create_directory(data);
  const auto start = [&] {
    return RunProcess("/bin/sh",
                      {"-c", "STRANDEL_TRACE=stderr exec \"$0\" lifecycle \"$1\"",
                       STRANDEL_HOST_PROBE, data.string() + "/"},
                      cwd.str());
  };
  const struct {
    mode_t mode;
    const char* link;  // planted as a link to outside, or null
    std::string says;
  } refused[] = {
      {0770, nullptr, data.string() + " is writable by its group (mode 0770)"},
      {0700, "Strandel.db.lock", (data / "Strandel.db.lock").string() + " is a symbolic link"},
      {0700, "Report.dat", (data / "Report.dat").string() + " is a symbolic link"},
  };
  for (const auto& c : refused) {
    ::chmod(data.c_str(), c.mode);
    if (c.link != nullptr) fs::create_symlink(outside, data / c.link);
    const auto run = start();
    ExpectCleanEnd(run);
    EXPECT_TRUE(Has(run, "monitor=0")) << run.output;
    EXPECT_TRUE(Has(run, "[Strandel]InitStrandel refused the data directory: " + c.says))
        << run.output;
    EXPECT_FALSE(fs::exists(outside)) << c.says;
    EXPECT_EQ(std::distance(fs::directory_iterator(data), fs::directory_iterator()),
              c.link != nullptr ? 1 : 0)
        << c.says;
    if (c.link != nullptr) fs::remove(data / c.link);
  }
  ::chmod(data.c_str(), 0700);
  const auto run = start();
  ExpectCleanEnd(run);
  EXPECT_TRUE(Has(run, "monitor=1")) << run.output;
  EXPECT_TRUE(fs::exists(data / "Strandel.db"));
}

TEST(Lifecycle, HostThatExitsWithoutReleasingEndsPromptly) {
  TempDir data;
  const auto run =
      RunProcess(STRANDEL_HOST_PROBE, {"exit", data.str()}, "", std::chrono::seconds(20));
  ExpectCleanEnd(run);
  EXPECT_TRUE(Has(run, "monitor=1"));
}

TEST(Lifecycle, UnloadingTheLibraryStopsItsThreads) {
  TempDir data;
  for (const char* scenario : {"unload", "unload-running"}) {
    const auto run = RunProcess(STRANDEL_HOST_PROBE, {scenario, STRANDEL_LIBRARY, data.str()}, "",
                                std::chrono::seconds(20));
    ExpectCleanEnd(run);
    EXPECT_TRUE(Has(run, "dlclose=0")) << scenario;
    EXPECT_TRUE(Has(run, "unloaded=1")) << scenario;
  }
}

// A data directory with one stored task from a real directory to dest (by
// default a real one too): the module starts its watch thread for it.
void StoreWatchedTask(const TempDir& data, std::wstring dest = L"") {
  std::filesystem::create_directories(data.path() / "src");
  std::filesystem::create_directories(data.path() / "dst");
  ModuleDatabase db(data.wstr() + L"/");
  std::string reason;
  ASSERT_TRUE(db.Open(&reason)) << reason;
  WatchTask task;
  task.strWatchTaskName = L"docs";
  task.strSourceDir = data.wstr() + L"/src";
  task.strDestDir = dest.empty() ? data.wstr() + L"/dst" : std::move(dest);
  task.bSyncNow = TRUE;
  task.dwTaskIndex = 20000;
  db.AddTask(task);
}

TEST(Lifecycle, ARunningWatchStopsOnReleaseExitAndUnload) {
  for (const char* scenario : {"lifecycle", "exit", "unload", "unload-running"}) {
    TempDir data;
    StoreWatchedTask(data);
    const bool by_library = std::string(scenario).rfind("unload", 0) == 0;
    std::vector<std::string> args = {scenario};
    if (by_library) args.push_back(STRANDEL_LIBRARY);
    args.push_back(data.str());
    const auto run = RunProcess(STRANDEL_HOST_PROBE, args, data.str(), std::chrono::seconds(20));
    ExpectCleanEnd(run);
    EXPECT_TRUE(Has(run, "monitor=1")) << scenario;
    if (std::string(scenario) == "lifecycle") {
      EXPECT_TRUE(Has(run, "count_hr=0 count=1"));
      EXPECT_TRUE(Has(run, "release=1"));
    }
  }
}

// A destination on a network share that never answers keeps its connect
// thread probing for seconds; a host may release and unload the library at
// any moment of that, so the release ends that thread.
TEST(Lifecycle, ReleaseCutsAShareProbeShortAndEndsItsThread) {
  TempDir data;
  // Written as a network path, it is data/blocker/dst to Linux: under a file,
  // so neither the module nor its probe can ever create anything there.
  std::ofstream(data.path() / "blocker") << "a file";
  StoreWatchedTask(data, L"/" + data.wstr() + L"/blocker/dst");
  const auto run =
      RunProcess(STRANDEL_HOST_PROBE, {"unload-share-probing", STRANDEL_LIBRARY, data.str()},
                 data.str(), std::chrono::seconds(20));
  ExpectCleanEnd(run);
  EXPECT_TRUE(Has(run, "release=1")) << run.output;
  EXPECT_TRUE(Has(run, "share_threads=1")) << "no connect thread for the network destination\n"
                                           << run.output;
  EXPECT_TRUE(Has(run, "share_threads_released=0")) << run.output;
  // Probing gives up only after six seconds.
  EXPECT_LT(Value(run, "release_ms"), 3000) << run.output;
}

TEST(Library, ExportsExactlyTheHostFunctions) {
  const auto run = RunProcess("/usr/bin/nm", {"-D", "--defined-only", STRANDEL_LIBRARY});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  std::set<std::string> names;
  std::istringstream lines(run.output);
  std::string line;
  while (std::getline(lines, line)) {
    const auto cut = line.find_last_of(' ');
    if (cut != std::string::npos) names.insert(line.substr(cut + 1));
  }
  EXPECT_EQ(names, (std::set<std::string>{"InitStrandel", "ReleaseStrandel", "GetWatcherMonitor",
                                          "SetSyncHint", "SysAllocString", "SysFreeString",
                                          "SysStringLen"}));
}

// The registration scripts are carried byte for byte, and name the same
// identities the header gives hosts.
std::string GuidText(const GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

TEST(Library, CarriesTheRegistrationScripts) {
  const std::string library = ReadFile(STRANDEL_LIBRARY);
  const std::string class_script = ReadFile(STRANDEL_RESOURCES "/WatcherMonitor.rgs");
  const std::string app_script = ReadFile(STRANDEL_RESOURCES "/Strandel.rgs");
  EXPECT_NE(library.find(class_script + '\0'), std::string::npos);
  EXPECT_NE(library.find(app_script + '\0'), std::string::npos);
  for (const char* expected : {"Strandel.WatcherMonitor.1 = s 'WatcherMonitor Class'", "'%MODULE%'",
                               "ForceRemove", "'Programmable'", "CurVer"}) {
    EXPECT_NE(class_script.find(expected), std::string::npos) << expected;
  }
  EXPECT_NE(class_script.find("ForceRemove " + GuidText(CLSID_WatcherMonitor)), std::string::npos);
  EXPECT_NE(class_script.find("'TypeLib' = s '" + GuidText(LIBID_StrandelLib)), std::string::npos);
}

}  // namespace
