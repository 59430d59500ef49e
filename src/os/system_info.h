// Facts about the running process and the wall clock, for log lines.
// Thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace os {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

LocalTime LocalTimeNow();
// The current time in UTC as "YYYY-MM-DD HH:MM:SS", the text form SQLite's
// datetime() produces, so that stored times compare with it as text.
std::string UtcTimestampNow();
uint32_t ProcessId();

}  // namespace os
