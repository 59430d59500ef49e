// The command line's schedule lengths (--every) and history start times
// (log --since) from any text. A length that parses is shown by `list` in a
// form that parses back to the same whole seconds.
#include <cstdint>

#include "duration.h"
#include "history.h"
#include "task_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  if (const auto ms = host::ParseDuration(text)) {
    if (host::ParseDuration(host::DurationText(*ms)) != *ms / 1000 * 1000) __builtin_trap();
  }
  host::SinceToUtc(text);
  return 0;
}
