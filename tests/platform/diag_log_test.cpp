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

}  // namespace
