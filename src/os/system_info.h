// Facts about the running process and the wall clock, for log lines.
// Thread-safe.
#pragma once

#include <cstdint>

namespace os {

struct LocalTime {
  int year, month, day, hour, minute, second, millisecond;
};

LocalTime LocalTimeNow();
uint32_t ProcessId();

}  // namespace os
