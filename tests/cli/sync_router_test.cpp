// Which requested sync a progress report belongs to, among the module's own
// syncs (timers, volumes) that report to the same window.
#include "sync_router.h"

#include <gtest/gtest.h>

namespace {

using host::SyncReport;

class Recorder final : public host::SyncChannel {
 public:
  LRESULT Deliver(const SyncReport& report) override {
    seen.push_back(report.task + ":" + std::to_string(report.operation) + ":" + report.first);
    return reply;
  }
  std::vector<std::string> seen;
  LRESULT reply = 0;
};

SyncReport Report(LONG operation, const std::string& first) {
  SyncReport report;
  report.operation = operation;
  report.first = first;
  return report;
}

TEST(SyncRouter, ReportsReachTheSyncThatAskedForThemAndNoOther) {
  host::SyncRouter router;
  auto docs = std::make_shared<Recorder>();
  auto photos = std::make_shared<Recorder>();
  router.Expect("docs", "/s", docs);
  router.Expect("photos", "/p", photos);
  docs->reply = -1;

  const std::pair<SyncReport, LRESULT> stream[] = {
      // A timer's sync of another task, begun before ours.
      {Report(0, "/t"), 0},
      {Report(3, "/t/x"), 0},
      {Report(6, "timed"), 0},
      // Another task over the same source: taken for docs until its end says otherwise.
      {Report(0, "/s"), -1},
      {Report(6, "twin"), 0},
      // docs itself, both passes; the channel's reply goes back to the module.
      {Report(0, "/s"), -1},
      {Report(3, "/s/a"), -1},
      {Report(0, "/d"), -1},
      {Report(6, "docs"), -1},
      {Report(0, "/p"), 0},
      {Report(6, "photos"), 0},
      // Nobody waits any more.
      {Report(0, "/s"), 0},
      {Report(6, "docs"), 0},
  };
  for (const auto& [report, reply] : stream) {
    EXPECT_EQ(router.Route(report), reply) << report.operation << " " << report.first;
  }
  EXPECT_EQ(docs->seen, (std::vector<std::string>{"docs:0:/s", "docs:0:/s", "docs:3:/s/a",
                                                  "docs:0:/d", "docs:6:docs"}));
  EXPECT_EQ(photos->seen, (std::vector<std::string>{"photos:0:/p", "photos:6:photos"}));
}

}  // namespace
