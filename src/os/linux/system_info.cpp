#include "os/system_info.h"

#include <sys/random.h>
#include <unistd.h>

#include <ctime>

namespace os {

LocalTime LocalTimeNow() {
  timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm local;
  ::localtime_r(&now.tv_sec, &local);
  return LocalTime{local.tm_year + 1900,
                   local.tm_mon + 1,
                   local.tm_mday,
                   local.tm_hour,
                   local.tm_min,
                   local.tm_sec,
                   static_cast<int>(now.tv_nsec / 1000000)};
}

std::string UtcTimestampNow() {
  const time_t now = ::time(nullptr);
  tm utc;
  ::gmtime_r(&now, &utc);
  char text[32];
  ::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

uint32_t ProcessId() { return static_cast<uint32_t>(::getpid()); }

bool SystemRandom(void* buffer, std::size_t size) {
  return ::getrandom(buffer, size, GRND_NONBLOCK) == static_cast<ssize_t>(size);
}

}  // namespace os
