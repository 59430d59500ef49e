// Report.dat: private to its owner, each line tagged with its level word.
#include "platform/diag_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "test_support.h"

namespace {

TEST(Report, FileIsPrivateToItsOwnerAndLinesCarryTheLevelWord) {
  testing_support::TempDir dir;
  SetReportDirectory(dir.wstr() + L"/");
  WriteReport(ReportWarning, L"c%d", 7);
  SetReportDirectory(L"");
  const std::string report = testing_support::ReadFile(dir.path() / "Report.dat");
  EXPECT_NE(report.find("WARNNING\tc7\n"), std::string::npos) << report;
  struct stat st;
  ASSERT_EQ(stat((dir.path() / "Report.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Report, ALinkPlantedAsTheFileIsNotFollowed) {
  testing_support::TempDir dir;
  const auto outside = dir.path() / "outside";
  std::filesystem::create_directory(dir.path() / "data");
  std::filesystem::create_symlink(outside, dir.path() / "data" / "Report.dat");
  testing_support::TraceCapture trace;
  SetReportDirectory(dir.wstr() + L"/data/");
  WriteReport(ReportError, L"fault %d", 9);
  SetReportDirectory(L"");
  EXPECT_FALSE(std::filesystem::exists(outside));
  // The message still reaches the trace, bare.
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"fault 9"});
}

}  // namespace
