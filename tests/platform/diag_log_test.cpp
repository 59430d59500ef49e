// The debug trace's size budget, and the line format and privacy of Report.dat.
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

using testing_support::TraceCapture;

TEST(Report, LinesCarryTheHeadAndLevelWordInAFilePrivateToItsOwner) {
  testing_support::TempDir dir;
  SetReportDirectory(dir.wstr() + L"/");
  WriteReport(ReportError, L"no main frame");
  WriteReport(ReportWarning, L"c%d", 7);
  WriteReport(-1, L"e%ls", L"\u00E9");
  SetReportDirectory(L"");
  const std::string report = testing_support::ReadFile(dir.path() / "Report.dat");
  const std::string head = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )" +
                           os::CurrentUserName() + R"(\()" + std::to_string(getpid()) +
                           R"(\)\t\[Strandel\]          )";
  const std::string lines =
      head + "ERROR\tno main frame\n" + head + "WARNNING\tc7\n" + head + "e\xC3\xA9\n";
  EXPECT_TRUE(std::regex_match(report, std::regex(lines))) << report;
  struct stat st;
  ASSERT_EQ(stat((dir.path() / "Report.dat").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Trace, MessagesUpTo490CharactersPassWithALineEndLongerOnesNotAtAll) {
  TraceCapture trace;
  const std::string fits(490 - 10, 'x');
  const std::wstring wide_fits(490 - 10, L'\u00E9');
  DebugTrace("[Strandel]%s", fits.c_str());
  DebugTrace("[Strandel]%s", std::string(491 - 10, 'y').c_str());
  DebugTraceW(L"[Strandel]%ls", wide_fits.c_str());
  DebugTraceW(L"[Strandel]%ls", std::wstring(491 - 10, L'z').c_str());
  EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"[Strandel]" + fits + "\n",
                                                     "[Strandel]" + os::ToUtf8(wide_fits) + "\n"}));
}

}  // namespace
