#include "duration.h"

#include <cctype>
#include <limits>

namespace host {

std::optional<uint32_t> ParseDuration(const std::string& text) {
  uint64_t total_ms = 0;
  size_t at = 0;
  if (text.empty()) return std::nullopt;
  while (at < text.size()) {
    uint64_t amount = 0;
    const size_t digits = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      amount = amount * 10 + static_cast<uint64_t>(text[at++] - '0');
      if (amount > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    }
    if (at == digits || at == text.size()) return std::nullopt;  // a number needs its unit
    uint64_t unit_ms = 0;
    switch (text[at++]) {
      case 's':
        unit_ms = 1000;
        break;
      case 'm':
        unit_ms = 60 * 1000;
        break;
      case 'h':
        unit_ms = 3600 * 1000;
        break;
      case 'd':
        unit_ms = 86400 * 1000;
        break;
      default:
        return std::nullopt;
    }
    total_ms += amount * unit_ms;
    if (total_ms > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  }
  return static_cast<uint32_t>(total_ms);
}

}  // namespace host
