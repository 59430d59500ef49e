#include "os/system_info.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

namespace os {

LocalTime LocalTimeNow() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

std::string UtcTimestampNow() {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond);
  return text;
}

uint32_t ProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

bool SystemRandom(void* buffer, std::size_t size) {
  return BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer),
                                          static_cast<ULONG>(size),
                                          BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

}  // namespace os
