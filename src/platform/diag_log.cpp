#include "platform/diag_log.h"

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "os/append_file.h"
#include "os/system_info.h"
#include "os/text.h"
#include "os/thread_identity.h"
#include "os/trace_sink.h"

namespace {

constexpr int kTraceBufferChars = 500;
constexpr int kTraceLimitChars = 490;
// The user name buffer of a report line holds 128 characters with its terminator.
constexpr std::size_t kUserNameChars = 127;

std::mutex g_report_mutex;
std::wstring& ReportDirectory() {
  static auto* directory = new std::wstring;  // leaked: reports may come during exit
  return *directory;
}

}  // namespace

void DebugTrace(const char* format, ...) {
  if (!os::TraceEnabled()) return;
  char buffer[kTraceBufferChars] = {};
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, kTraceLimitChars + 1, format, args);
  va_end(args);
  // A message that does not fit is dropped whole rather than cut.
  if (n < 0 || n > kTraceLimitChars) return;
  buffer[n] = '\n';
  os::TraceOutput(std::string_view(buffer, static_cast<std::size_t>(n) + 1));
}

void DebugTraceW(const wchar_t* format, ...) {
  if (!os::TraceEnabled()) return;
  wchar_t buffer[kTraceBufferChars] = {};
  va_list args;
  va_start(args, format);
  const int n = std::vswprintf(buffer, kTraceLimitChars + 1, format, args);
  va_end(args);
  if (n < 0 || n > kTraceLimitChars) return;
  std::string line = os::ToUtf8(std::wstring_view(buffer, static_cast<std::size_t>(n)));
  line += '\n';
  os::TraceOutput(line);
}

void SetReportDirectory(const std::wstring& data_dir) {
  std::lock_guard<std::mutex> guard(g_report_mutex);
  ReportDirectory() = data_dir;
}

void WriteReport(int32_t level, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  WriteReportV(level, format, args);
  va_end(args);
}

void WriteReportV(int32_t level, const wchar_t* format, va_list args) {
  va_list message_args;
  va_copy(message_args, args);
  std::wstring message(256, L'\0');
  for (;;) {
    va_list attempt;
    va_copy(attempt, message_args);
    const int n = std::vswprintf(message.data(), message.size(), format, attempt);
    va_end(attempt);
    if (n >= 0) {
      message.resize(static_cast<std::size_t>(n));
      break;
    }
    // vswprintf cannot say how much room it needs; an encoding error would
    // make it fail at any size, so stop growing somewhere sensible.
    if (message.size() >= (1u << 20)) {
      message = format;
      break;
    }
    message.resize(message.size() * 2);
  }
  va_end(message_args);

  // Formed before the file is opened, so the time stamps the moment of the fault.
  const os::LocalTime t = os::LocalTimeNow();
  std::string user = os::CurrentUserName();
  if (user.size() > kUserNameChars) user.resize(kUserNameChars);
  char head[512];
  std::snprintf(head, sizeof head, "%04d/%02d/%02d %02d:%02d:%02d.%03d %s(%lu)\t%-20s", t.year,
                t.month, t.day, t.hour, t.minute, t.second, t.millisecond, user.c_str(),
                static_cast<unsigned long>(os::ProcessId()), "[Strandel]");
  std::string line = head;
  switch (level) {
    case ReportInfo:
      line += "INFO\t";
      break;
    case ReportWarning:
      line += "WARNNING\t";
      break;
    case ReportError:
      line += "ERROR\t";
      break;
    default:
      break;
  }
  const std::string text = os::ToUtf8(message);
  line += text;
  line += '\n';
  std::string path;
  {
    std::lock_guard<std::mutex> guard(g_report_mutex);
    path = os::ToUtf8(ReportDirectory()) + "Report.dat";
  }
  if (os::AppendToFile(path, line) == os::AppendResult::kCannotOpen) os::TraceOutput(text);
}
