#include "os/temp_name.h"

#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "os/text.h"

namespace os {
namespace {

const std::string& PrefixBytes() {
  static const std::string prefix = ToUtf8(kTempNamePrefix);
  return prefix;
}

}  // namespace

bool IsTempName(std::string_view name) { return name.starts_with(PrefixBytes()); }

std::string TempName() {
  uint64_t bits = 0;
  if (::getrandom(&bits, sizeof(bits), GRND_NONBLOCK) != sizeof(bits)) {
    static std::atomic<uint64_t> counter{0};
    bits = (static_cast<uint64_t>(::getpid()) << 32) ^ counter.fetch_add(1) ^
           reinterpret_cast<uintptr_t>(&bits);
  }
  char suffix[17];
  std::snprintf(suffix, sizeof(suffix), "%016llx", static_cast<unsigned long long>(bits));
  return PrefixBytes() + suffix;
}

std::wstring TempNameIn(const std::wstring& directory) {
  return directory + kPathSeparator + FromUtf8(TempName());
}

}  // namespace os
