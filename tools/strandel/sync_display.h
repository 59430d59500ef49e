// What `strandel sync` shows of the syncs it asked for: one live line on a
// terminal (items and bytes checked of the listed total, the rate, the
// current path), a line per failed item, a summary per task, or one JSON
// summary at the end; and, for a task that asks about failures, the
// retry / skip / skip-all question.
//
// Threads: Show is called for one sync at a time, on whichever thread
// delivers the reports; Finish after the last.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "sync_router.h"

namespace host {

struct SyncDisplayOptions {
  bool quiet = false;     // prints nothing, asks nothing
  bool json = false;      // one summary at the end instead of text
  bool live = false;      // the live line (stderr is a terminal)
  bool can_ask = false;   // the user can answer (stdin and stderr are a terminal)
  int stop_fd = -1;       // readable when a question must be given up
  FILE* answers = stdin;  // where the answers come from
};

class SyncDisplay {
 public:
  explicit SyncDisplay(SyncDisplayOptions options) : options_(options) {}

  // The reply to the module for this report.
  LRESULT Show(const SyncReport& report);
  // Prints the JSON summary when asked for; 0, or 1 when anything failed.
  int Finish();

 private:
  using Clock = std::chrono::steady_clock;
  struct Outcome {
    std::string task;
    SyncReport end;
    double seconds = 0;
    bool ended = false;
    std::vector<std::string> failures;
  };

  Outcome& Current(const std::string& task);
  LRESULT Failed(const SyncReport& report);
  LRESULT Ask(const std::string& question);
  void Draw(const SyncReport& report);
  void ClearLine();

  SyncDisplayOptions options_;
  std::vector<Outcome> outcomes_;
  Clock::time_point started_{};
  Clock::time_point drawn_{};
  bool line_shown_ = false;
};

}  // namespace host
