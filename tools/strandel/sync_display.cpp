#include "sync_display.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <nlohmann/json.hpp>

#include "os/last_error.h"

namespace host {
namespace {

constexpr auto kRedraw = std::chrono::milliseconds(100);
constexpr size_t kDefaultWidth = 80;

std::string Size(uint64_t bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024 && unit + 1 < std::size(units)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
  return text;
}

const char* Verb(LONG operation) {
  switch (operation) {
    case kListing:
      return "list";
    case 1:
      return "create";
    case 2:
      return "remove";
    case kCopy:
      return "copy";
    case 4:
      return "delete";
    default:
      return "move to the Trash";
  }
}

size_t TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultWidth;
}

// The end of text in at most width bytes, cut at a character boundary.
std::string Tail(const std::string& text, size_t width) {
  if (text.size() <= width) return text;
  if (width < 4) return std::string();
  size_t start = text.size() - (width - 3);
  while (start < text.size() && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) ++start;
  return "..." + text.substr(start);
}

// One line from fd, or nothing when stop_fd becomes readable first or the
// input ends.
std::optional<std::string> ReadAnswer(int fd, int stop_fd) {
  std::string line;
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    if (::poll(fds, stop_fd >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (fds[1].revents != 0) return std::nullopt;
    char c = 0;
    if (::read(fd, &c, 1) != 1) return std::nullopt;
    if (c == '\n') return line;
    line.push_back(c);
  }
}

}  // namespace

SyncDisplay::Outcome& SyncDisplay::Current(const std::string& task) {
  if (outcomes_.empty() || outcomes_.back().task != task || outcomes_.back().ended) {
    outcomes_.emplace_back();
    outcomes_.back().task = task;
    started_ = Clock::now();
  }
  return outcomes_.back();
}

LRESULT SyncDisplay::Show(const SyncReport& report) {
  Outcome& outcome = Current(report.task);
  const bool text = !options_.quiet && !options_.json;
  if (report.operation == kSyncEnd) {
    outcome.end = report;
    outcome.ended = true;
    outcome.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    ClearLine();
    if (text) {
      std::printf("%s: %" PRIu64 " of %" PRIu64 " items checked, %" PRIu64
                  " synchronised (%s), %" PRIu64 " failed, %.1f s\n",
                  report.task.c_str(), report.checked, report.listed, report.done,
                  Size(report.copied_bytes).c_str(), report.failed, outcome.seconds);
      std::fflush(stdout);
    }
    return 0;
  }
  if (report.error != 0) return Failed(report);
  const auto now = Clock::now();
  if (text && options_.live && (report.operation == kListing || now - drawn_ >= kRedraw)) {
    Draw(report);
    drawn_ = now;
  }
  return 0;
}

LRESULT SyncDisplay::Failed(const SyncReport& report) {
  std::string what = report.task + ": cannot " + Verb(report.operation) + " " + report.first;
  if (!report.second.empty()) what += " to " + report.second;
  what += ": " + os::DescribeError(report.error);
  if (report.ask && options_.can_ask && !options_.quiet) {
    const LRESULT reply = Ask(what);
    if (reply != -1) outcomes_.back().failures.push_back(what);
    return reply;
  }
  outcomes_.back().failures.push_back(what);
  if (!options_.quiet && !options_.json) {
    ClearLine();
    std::fprintf(stderr, "strandel: %s\n", what.c_str());
  }
  return 0;
}

LRESULT SyncDisplay::Ask(const std::string& question) {
  ClearLine();
  std::fprintf(stderr, "strandel: %s\n  [r]etry, [s]kip, skip [a]ll of this task? ",
               question.c_str());
  std::fflush(stderr);
  const auto answer = ReadAnswer(fileno(options_.answers), options_.stop_fd);
  if (!answer) std::fputc('\n', stderr);
  const size_t first = answer ? answer->find_first_not_of(" \t") : std::string::npos;
  const char choice = first != std::string::npos ? (*answer)[first] : 's';
  if (choice == 'r' || choice == 'R') return -1;
  if (choice == 'a' || choice == 'A') return -2;
  return 0;
}

void SyncDisplay::Draw(const SyncReport& report) {
  const double seconds = std::chrono::duration<double>(Clock::now() - started_).count();
  const uint64_t rate = seconds > 0 ? static_cast<uint64_t>(report.copied_bytes / seconds) : 0;
  char counts[160];
  std::snprintf(counts, sizeof counts, "%s: %" PRIu64 "/%" PRIu64 " items, %s/%s, %s/s  ",
                report.task.c_str(), report.checked, report.listed,
                Size(report.checked_bytes).c_str(), Size(report.listed_bytes).c_str(),
                Size(rate).c_str());
  const size_t width = TerminalWidth() - 1;
  std::string line = counts;
  line = line.size() < width ? line + Tail(report.first, width - line.size()) : Tail(line, width);
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  std::fflush(stderr);
  line_shown_ = true;
}

void SyncDisplay::ClearLine() {
  if (!line_shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  line_shown_ = false;
}

int SyncDisplay::Finish() {
  ClearLine();
  bool failed = false;
  nlohmann::json tasks = nlohmann::json::array();
  for (const Outcome& o : outcomes_) {
    failed |= !o.ended || o.end.failed > 0;
    tasks.push_back({{"task", o.task},
                     {"completed", o.ended},
                     {"listed", o.end.listed},
                     {"checked", o.end.checked},
                     {"synchronised", o.end.done},
                     {"failed", o.end.failed},
                     {"bytes_copied", o.end.copied_bytes},
                     {"seconds", o.seconds},
                     {"failures", o.failures}});
  }
  if (options_.json) {
    const nlohmann::json summary{{"tasks", tasks}, {"ok", !failed}};
    std::fputs(
        (summary.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n").c_str(),
        stdout);
    std::fflush(stdout);
  }
  return failed ? 1 : 0;
}

}  // namespace host
