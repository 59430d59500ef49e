// The change handlers' fixture: two real trees, a real history, fault hooks, case tables.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "os/file_ops.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "store/cppsqlite3.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "sync/change_handlers.h"
#include "test_support.h"

// The handler a case applies.
using On = BOOL (ChangeHandlers::*)(const WatchTask&, const ChangeRecord&);
inline constexpr On kAdded = &ChangeHandlers::ApplyAdded;
inline constexpr On kAddedBack = &ChangeHandlers::ApplyAddedBack;
inline constexpr On kModified = &ChangeHandlers::ApplyModified;
inline constexpr On kModifiedBack = &ChangeHandlers::ApplyModifiedBack;
inline constexpr On kRemoved = &ChangeHandlers::ApplyRemoved;
inline constexpr On kRemovedBack = &ChangeHandlers::ApplyRemovedBack;
inline constexpr On kRenamed = &ChangeHandlers::ApplyRenamed;
inline constexpr On kRenamedBack = &ChangeHandlers::ApplyRenamedBack;

// One row of a handler's decision table. Paths are under the scratch
// directory; lists are separated by spaces. An item of before or after is
// "p=text" for a file, "p/" for a directory, and (after only) "p!" for
// nothing at p. "add:p", "modify:p", "delete:p" and "rename:p" name an echo
// map's entry: before makes it, after expects it, "!rename:p" expects none.
struct HandlerCase {
  const char* label;
  On on;
  int strategy;        // the add, delete and rename strategy alike
  const char* change;  // "a.txt", or "a.txt>b.txt" for a rename
  const char* before;
  const char* fault;  // "operation path ENOSPC|EACCES": that primitive fails there
  BOOL result;
  const char* after;
  const char* rows;  // the history rows written, "operation|error|line|info|from|to\n..."
};

inline void Write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Task "Docs" from src/ to dst/ in one scratch directory, with handlers wired
// to a real database so that each failure leaves its history row.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Failed deletes to the Trash write report lines: keep them out of the
    // directory the tests run in.
    SetReportDirectory(tmp_.wstr() + L"/");
    std::string reason;
    ASSERT_TRUE(db_.Open(&reason)) << reason;
    task_.strWatchTaskName = L"Docs";
    task_.strSourceDir = W(P("src"));
    task_.strDestDir = W(P("dst"));
    Lay("");
  }
  // The fault hook is process-wide: a test that leaves one set must not fail the next.
  void TearDown() override {
    os::SetFileFaultForTest({});
    SetReportDirectory(L"");
  }

  std::filesystem::path P(const std::string& relative) const { return tmp_.path() / relative; }
  static std::wstring W(const std::filesystem::path& path) { return os::FromUtf8(path.string()); }

  // Empties both trees and the echo maps, then makes the items listed.
  void Lay(const std::string& items) {
    for (const char* side : {"src", "dst"}) {
      std::filesystem::remove_all(P(side));
      std::filesystem::create_directories(P(side));
    }
    for (const char* map : {"add", "modify", "delete"}) Map(map).Clear();
    shared_.RenameMap.Clear();
    // One stamp for every file: whether two files count as the same then
    // depends on their bytes alone, not on whether a clock tick fell between
    // the writes.
    const auto stamp = std::filesystem::file_time_type::clock::now();
    for (const std::string& item : Split(items)) {
      const auto colon = item.find(':');
      const auto equals = item.find('=');
      if (colon < equals) {
        Map(item.substr(0, colon)).Announce(W(P(item.substr(colon + 1))), L"Docs");
      } else if (equals != std::string::npos) {
        Write(P(item.substr(0, equals)), item.substr(equals + 1));
        std::filesystem::last_write_time(P(item.substr(0, equals)), stamp);
      } else {
        std::filesystem::create_directories(P(item));
      }
    }
  }

  // Applies a change of task "Docs" to the trees as they are.
  BOOL Apply(On on, const std::string& change) {
    const auto arrow = change.find('>');
    ChangeRecord record;
    record.strFileName = os::FromUtf8(change.substr(0, arrow));
    if (arrow != std::string::npos) record.strNewFileName = os::FromUtf8(change.substr(arrow + 1));
    record.strTaskName = L"Docs";
    const bool back =
        on == kAddedBack || on == kModifiedBack || on == kRemovedBack || on == kRenamedBack;
    record.bSourceSide = back ? FALSE : TRUE;
    return (handlers_.*on)(task_, record);
  }

  void Run(const HandlerCase& c) {
    namespace fs = std::filesystem;
    SCOPED_TRACE(c.label);
    Lay(c.before);
    task_.enAddStrategy = static_cast<AddStrategy>(c.strategy);
    task_.enDelStrategy = static_cast<DelStrategy>(c.strategy);
    task_.enRenameStrategy = static_cast<RenameStrategy>(c.strategy);
    if (const std::vector<std::string> fault = Split(c.fault); !fault.empty()) {
      const std::string& name = fault.at(2);
      ASSERT_TRUE(name == "ENOSPC" || name == "EACCES") << "unknown fault " << name;
      const int err = name == "ENOSPC" ? ENOSPC : EACCES;
      os::SetFileFaultForTest(
          [=, path = P(fault[1]).string()](std::string_view op, const std::string& p) {
            return op == fault[0] && p == path ? err : 0;
          });
    }
    NewRows();
    EXPECT_EQ(Apply(c.on, c.change), c.result);
    os::SetFileFaultForTest({});

    for (const std::string& item : Split(c.after)) {
      const auto colon = item.find(':');
      const auto equals = item.find('=');
      if (colon < equals) {
        const bool absent = item[0] == '!';
        const std::string map = item.substr(absent, colon - absent);
        const std::wstring path = W(P(item.substr(colon + 1)));
        EXPECT_NE(map == "rename" ? shared_.RenameMap.Contains(path) : Map(map).Contains(path),
                  absent)
            << item;
      } else {
        ExpectItem(item);
      }
    }
    EXPECT_EQ(NewRows(), c.rows);
  }

  // "p=text" a file holding text, "p!" nothing there, "p" a directory.
  void ExpectItem(const std::string& item) {
    const auto equals = item.find('=');
    if (equals != std::string::npos) {
      const std::filesystem::path path = P(item.substr(0, equals));
      EXPECT_EQ(
          std::filesystem::is_regular_file(path) ? testing_support::ReadFile(path) : "(no file)",
          item.substr(equals + 1))
          << item;
    } else if (item.back() == '!') {
      EXPECT_FALSE(std::filesystem::exists(
          std::filesystem::symlink_status(P(item.substr(0, item.size() - 1)))))
          << item;
    } else {
      EXPECT_TRUE(std::filesystem::is_directory(std::filesystem::symlink_status(P(item)))) << item;
    }
  }

  static std::vector<std::string> Split(const std::string& list) {
    std::istringstream in(list);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
  }

  EchoMap& Map(const std::string& name) {
    if (name == "add") return shared_.AddFilterMap;
    if (name == "modify") return shared_.ModifyFilterMap;
    EXPECT_EQ(name, "delete") << "unknown echo map";
    return shared_.DeleteFilterMap;
  }

  // The history rows written since the last call, "operation|error|line|info|from|to"
  // each, with the scratch directory cut out of the paths.
  std::string NewRows() {
    recorder_.Flush();
    std::string rows;
    try {
      CppSQLite3Database raw;
      raw.open(db_.FilePath().c_str());
      const std::string sql =
          "SELECT replace(lOperation || '|' || lErrorNO || '|' || lLineNO || '|' || lInfo || '|' "
          "|| lFromFile || '|' || lToFile, '" +
          tmp_.str() + "', '') FROM SyncLog ORDER BY SN";
      for (CppSQLite3Query q = raw.query(sql.c_str()); !q.atEnd(); q.next()) {
        rows += (rows.empty() ? "" : "\n") + std::string(q.fieldText(0));
      }
      raw.execute("DELETE FROM SyncLog");
    } catch (const CppSQLite3Exception&) {
      // No entry was ever written: the table does not exist yet.
    }
    return rows;
  }

  testing_support::TempDir tmp_;
  WatchTaskMap tasks_;
  WatchShared shared_{tasks_, nullptr};
  ModuleDatabase db_{tmp_.wstr() + L"/"};
  SyncLogRecorder recorder_{db_.FilePath(), db_.Lock()};
  SyncFileOperations operations_{shared_, &recorder_};
  ChangeHandlers handlers_{operations_, shared_};
  WatchTask task_;
};
