// What the change handlers' tests share: a source and a target directory in
// one scratch directory, handlers wired to a real database so each failure
// leaves its history row, and faults injected through the platform layer.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "os/file_ops.h"
#include "os/text.h"
#include "platform/diag_log.h"
#include "store/cppsqlite3.h"
#include "store/module_database.h"
#include "store/sync_log_recorder.h"
#include "sync/change_handlers.h"
#include "test_support.h"

// Writes text at path, making the missing directories first.
inline void Write(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// One task "Docs" from src_ to dst_.
class HandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Failed deletes to the Trash write report lines: keep them out of the
    // directory the tests run in.
    SetReportDirectory(tmp_.wstr() + L"/");
    std::filesystem::create_directories(src_);
    std::filesystem::create_directories(dst_);
    std::string reason;
    ASSERT_TRUE(db_.Open(&reason)) << reason;
    recorder_ = std::make_unique<SyncLogRecorder>(db_.FilePath(), db_.Lock());
    operations_ = std::make_unique<SyncFileOperations>(shared_, recorder_.get());
    handlers_ = std::make_unique<ChangeHandlers>(*operations_, shared_);
    task_.strWatchTaskName = L"Docs";
    task_.strSourceDir = W(src_);
    task_.strDestDir = W(dst_);
  }
  // The fault hook is process-wide: a test that leaves one set must not fail the next.
  void TearDown() override {
    os::SetFileFaultForTest({});
    SetReportDirectory(L"");
  }

  static std::wstring W(const std::filesystem::path& path) { return os::FromUtf8(path.string()); }
  // A change of task "Docs"; new_name only for a rename.
  static ChangeRecord Record(DWORD action, const std::wstring& name, bool source_side,
                             const std::wstring& new_name = L"") {
    ChangeRecord record;
    record.dwAction = action;
    record.strFileName = name;
    record.strNewFileName = new_name;
    record.strTaskName = L"Docs";
    record.bSourceSide = source_side ? TRUE : FALSE;
    return record;
  }
  // Fails the named primitive with err for exactly this path.
  static void FailOn(const std::string& operation, const std::filesystem::path& path, int err) {
    os::SetFileFaultForTest([=](std::string_view op, const std::string& p) {
      return op == operation && p == path.string() ? err : 0;
    });
  }
  // "operation|error|line|message|from|to", paths relative to the scratch directory.
  std::vector<std::string> History() {
    recorder_->Flush();
    std::vector<std::string> rows;
    try {
      CppSQLite3Database raw;
      raw.open(db_.FilePath().c_str());
      for (CppSQLite3Query q = raw.query(
               "SELECT lOperation, lErrorNO, lLineNO, lInfo, lFromFile, lToFile FROM SyncLog "
               "ORDER BY SN");
           !q.atEnd(); q.next()) {
        std::string row;
        for (int c = 0; c < q.fieldCount(); ++c) {
          if (c > 0) row += '|';
          row += q.isNull(c) ? "" : q.fieldText(c);
        }
        for (auto at = row.find(tmp_.str()); at != std::string::npos; at = row.find(tmp_.str())) {
          row.erase(at, tmp_.str().size());
        }
        rows.push_back(row);
      }
    } catch (const CppSQLite3Exception&) {
      // No entry was ever written: the table does not exist yet.
    }
    return rows;
  }

  testing_support::TempDir tmp_;
  std::filesystem::path src_ = tmp_.path() / "src";
  std::filesystem::path dst_ = tmp_.path() / "dst";
  WatchTaskMap tasks_;
  WatchShared shared_{tasks_, nullptr};
  ModuleDatabase db_{tmp_.wstr() + L"/"};
  std::unique_ptr<SyncLogRecorder> recorder_;
  std::unique_ptr<SyncFileOperations> operations_;
  std::unique_ptr<ChangeHandlers> handlers_;
  WatchTask task_;
};
