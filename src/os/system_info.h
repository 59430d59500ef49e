// Facts about the running process and the wall clock, for log lines, and
// the system's random source.
// Thread-safe.
#pragma once

#include <cstddef>
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

// Fills buffer with size bytes from the system's random source without
// blocking; false when it cannot.
bool SystemRandom(void* buffer, std::size_t size);

}  // namespace os
