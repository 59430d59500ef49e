#include "platform/diag_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "os/text.h"
#include "os/thread_identity.h"
#include "test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempDir;
using testing_support::TraceCapture;

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { SetReportDirectory(dir_.wstr() + L"/"); }
  void TearDown() override { SetReportDirectory(L""); }
  std::string Report() { return ReadFile(dir_.path() / "Report.dat"); }
  TempDir dir_;
};

TEST_F(ReportTest, LineHasTheHeadTagAndLevelWord) {
  WriteReport(ReportError, L"ReleaseStrandel failed, no main frame");
  const std::string head = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )" +
                           os::CurrentUserName() + R"(\()" + std::to_string(getpid()) +
                           R"(\)\t\[Strandel\]          )";
  EXPECT_TRUE(std::regex_match(Report(),
                               std::regex(head + "ERROR\tReleaseStrandel failed, no main frame\n")))
      << Report();
}

TEST_F(ReportTest, EachLevelWritesItsWordAndOthersNone) {
  WriteReport(0, L"a");
  WriteReport(1, L"b");
  WriteReport(2, L"c%d", 7);
  WriteReport(3, L"d");
  WriteReport(-1, L"e%ls", L"\u00E9");
  const std::string report = Report();
  EXPECT_NE(report.find("]          INFO\ta\n"), std::string::npos);
  EXPECT_NE(report.find("]          WARNNING\tb\n"), std::string::npos);
  EXPECT_NE(report.find("]          ERROR\tc7\n"), std::string::npos);
  EXPECT_NE(report.find("]          d\n"), std::string::npos);
  EXPECT_NE(report.find("]          e\xC3\xA9\n"), std::string::npos);
}

TEST_F(ReportTest, FileIsPrivateToItsOwner) {
  WriteReport(ReportInfo, L"x");
  struct stat st;
  ASSERT_EQ(stat((dir_.path() / "Report.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Report, UnopenableFileSendsTheBareMessageToTheTrace) {
  TraceCapture trace;
  SetReportDirectory(L"/nonexistent-dir-for-strandel/");
  WriteReport(ReportError, L"GetUserToken failed:0x%08X", 5u);
  SetReportDirectory(L"");
  EXPECT_EQ(trace.Lines(), std::vector<std::string>{"GetUserToken failed:0x00000005"});
}

TEST(Report, EmptyDirectoryMeansTheCurrentDirectory) {
  TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.str().c_str()), 0);
  SetReportDirectory(L"");
  WriteReport(ReportInfo, L"here");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_NE(ReadFile(dir.path() / "Report.dat").find("INFO\there\n"), std::string::npos);
}

TEST(Trace, MessagesUpTo490CharactersPassWithALineEnd) {
  TraceCapture trace;
  const std::string fits(490 - 10, 'x');
  const std::string too_long(491 - 10, 'y');
  DebugTrace("[Strandel]%s", fits.c_str());
  DebugTrace("[Strandel]%s", too_long.c_str());
  const std::wstring wide_fits(490 - 10, L'\u00E9');
  const std::wstring wide_too_long(491 - 10, L'z');
  DebugTraceW(L"[Strandel]%ls", wide_fits.c_str());
  DebugTraceW(L"[Strandel]%ls", wide_too_long.c_str());
  const auto lines = trace.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "[Strandel]" + fits + "\n");
  EXPECT_EQ(lines[1], "[Strandel]" + os::ToUtf8(wide_fits) + "\n");
}

}  // namespace
