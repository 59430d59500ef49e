// Schedule lengths as people write them: "10m", "1h", "1h30m", "2d".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace host {

// Milliseconds, or nullopt when the text is not a duration or does not fit.
std::optional<uint32_t> ParseDuration(const std::string& text);

}  // namespace host
